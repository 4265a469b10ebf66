// The copy of the show: files cut at frame boundaries, and a full disk that ends the
// recording by itself.
#include "audiotesthelpers.h"
#include "pulseserver.h"
#include "showrecorder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <sys/mount.h>

using namespace std::chrono_literals;

class TestRecorder : public QObject {
    Q_OBJECT

    QByteArray mp3Of(int seconds)
    {
        const QString raw = m_dir.filePath(QStringLiteral("tone.raw"));
        if (!PulseServer::writeTestSignal(raw, 8000))
            return {};
        QFile f(raw);
        f.open(QIODevice::ReadOnly);
        const QByteArray second = f.readAll();
        QProcess lame;
        lame.start(QStringLiteral("lame"),
                   {QStringLiteral("-r"), QStringLiteral("-s"), QStringLiteral("44100"),
                    QStringLiteral("-b"), QStringLiteral("128"), QStringLiteral("-"),
                    QStringLiteral("-")});
        if (!lame.waitForStarted())
            return {};
        for (int i = 0; i < seconds; ++i)
            lame.write(second);
        lame.closeWriteChannel();
        lame.waitForFinished(30000);
        return lame.readAllStandardOutput();
    }

    QTemporaryDir m_dir;

private slots:
    void filesAreCutBetweenFrames()
    {
        const QByteArray mp3 = mp3Of(4);
        QVERIFY(mp3.size() > 50000);
        ShowRecorder rec;
        ShowRecorder::Options o;
        o.folder = m_dir.filePath(QStringLiteral("Radio Prova")).toStdString();
        o.rotateEvery = 150ms;
        QVERIFY(rec.start(o));
        // Pieces of any size, as a pipe hands them over, for about a second.
        for (qsizetype at = 0; at < mp3.size();) {
            const qsizetype n =
                std::min<qsizetype>(mp3.size() - at, QRandomGenerator::global()->bounded(1, 3000));
            rec.write(reinterpret_cast<const unsigned char*>(mp3.constData() + at),
                      static_cast<std::size_t>(n));
            at += n;
            QThread::msleep(20);
        }
        rec.stop();
        const auto files = rec.files();
        QVERIFY2(files.size() >= 3, "the recording was not rotated");
        QByteArray joined;
        for (const auto& path : files) {
            QFile f(QString::fromStdString(path));
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray data = f.readAll();
            QVERIFY(!data.isEmpty());
            // Every file starts on a frame, so each plays from its first byte.
            QCOMPARE(static_cast<unsigned char>(data[0]), static_cast<unsigned char>(0xFF));
            QVERIFY(audiotest::firstMp3Frame(data.left(2000)).valid);
            joined += data;
        }
        QCOMPARE(joined, mp3); // nothing lost, nothing doubled
        QVERIFY(!audiotest::decodeMp3(joined).isEmpty());
    }

    void aFullDiskEndsTheRecordingOnly()
    {
        const QString mnt = m_dir.filePath(QStringLiteral("small"));
        QDir().mkpath(mnt);
        if (::mount("tmpfs", mnt.toLocal8Bit().constData(), "tmpfs", 0, "size=32k") != 0)
            QSKIP("cannot mount a small file system here");
        const QByteArray mp3 = mp3Of(4);
        std::atomic<int> failures{0};
        std::string reason;
        {
            ShowRecorder rec;
            ShowRecorder::Options o;
            o.folder = (mnt + QStringLiteral("/Radio")).toStdString();
            o.onFailure = [&](const std::string& why) {
                reason = why;
                ++failures;
            };
            QVERIFY(rec.start(o));
            for (qsizetype at = 0; at < mp3.size(); at += 4096)
                rec.write(reinterpret_cast<const unsigned char*>(mp3.constData() + at),
                          static_cast<std::size_t>(std::min<qsizetype>(4096, mp3.size() - at)));
            QVERIFY(audiotest::waitFor([&] { return !rec.isRecording(); }, 5000));
            // Later data is refused quietly.
            rec.write(reinterpret_cast<const unsigned char*>(mp3.constData()), 1000);
            rec.stop();
        }
        ::umount(mnt.toLocal8Bit().constData());
        QCOMPARE(failures.load(), 1);
        QVERIFY2(reason.find("space") != std::string::npos, reason.c_str());
    }
};

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_recorder.moc"
