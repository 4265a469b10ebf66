#include "appconfig.h"
#include "serviceaddresses.h"
#include "stationprofile.h"

#include <QTest>
#include <QUrl>
#include <QUrlQuery>

using namespace serviceaddress;

class TestServiceAddresses : public QObject {
    Q_OBJECT

    AppConfig config() const
    {
        AppConfig c;
        c.serviceHost = QStringLiteral("radio.example.net");
        c.secondServiceHost = QStringLiteral("alt.example.net");
        c.youtubeHome = QStringLiteral("www.youtube.it");
        return c;
    }
    StationProfile profile() const
    {
        StationProfile p;
        p.stationName = QStringLiteral("Radio Blu");
        p.port = QStringLiteral("10012");
        return p;
    }

private slots:
    void everyRowAsWritten()
    {
        const AppConfig c = config();
        const StationProfile p = profile();
        QCOMPARE(playerPage(c, p),
                 QStringLiteral("HTTPS://radio.example.net/radiosito/player.asp?n=Radio%20Blu"));
        QCOMPARE(secondPlayerPage(c, p),
                 QStringLiteral("https://www.alt.example.net/RADIOSITO/PLAYZUNVARI?N=Radio%20Blu"));
        QCOMPARE(streamingServerPage(c, p), QStringLiteral("HTTPS://radio.example.net:10012"));
        QCOMPARE(youtubeHome(c, p), QStringLiteral("httpS://www.youtube.it"));
        QCOMPARE(youtubeHomeParameters(c, p), QStringLiteral("https://www.youtube.it"));
        QCOMPARE(publishingPoint(c, p),
                 QStringLiteral("https://radio.example.net:11113/Radio Blu"));
        QCOMPARE(castServer(c, p), QStringLiteral("radio.example.net:10012"));
        QCOMPARE(castUrl(c, p), QStringLiteral("http://radio.example.net"));
        QCOMPARE(setupPage(c, p), QStringLiteral("http://radio.example.net/CREASHOUT3.asp"));
    }

    // The player pages get the exact name as their query value, whatever it holds; the
    // publishing point's path keeps it as it is.
    void playerPagesEncodeTheName()
    {
        const AppConfig c = config();
        StationProfile p = profile();
        p.stationName = QStringLiteral("Rock & Roll #1 + 100% Città");
        const QString encoded =
            QStringLiteral("Rock%20%26%20Roll%20%231%20%2B%20100%25%20Citt%C3%A0");
        QVERIFY2(playerPage(c, p).endsWith(QStringLiteral("?n=") + encoded),
                 qPrintable(playerPage(c, p)));
        QVERIFY(secondPlayerPage(c, p).endsWith(QStringLiteral("?N=") + encoded));
        const QUrl url(playerPage(c, p));
        QCOMPARE(QUrlQuery(url).queryItemValue(QStringLiteral("n"), QUrl::FullyDecoded),
                 p.stationName);
        QVERIFY(publishingPoint(c, p).endsWith(QStringLiteral(":11113/") + p.stationName));
    }

    // Each address reads the profile when it is built, not when the program started.
    void builtAtTheMomentOfUse()
    {
        const AppConfig c = config();
        StationProfile p;
        QCOMPARE(castServer(c, p), QStringLiteral("radio.example.net:"));
        QCOMPARE(publishingPoint(c, p), QStringLiteral("https://radio.example.net:11113/"));
        p.port = QStringLiteral("8000");
        p.stationName = QStringLiteral("Nuova");
        QCOMPARE(castServer(c, p), QStringLiteral("radio.example.net:8000"));
        QCOMPARE(streamingServerPage(c, p), QStringLiteral("HTTPS://radio.example.net:8000"));
        QCOMPARE(publishingPoint(c, p), QStringLiteral("https://radio.example.net:11113/Nuova"));
    }
};

QTEST_APPLESS_MAIN(TestServiceAddresses)
#include "tst_serviceaddresses.moc"
