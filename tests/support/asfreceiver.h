#pragma once
// A receiving end for a pushed ASF stream: FFmpeg itself listening on 127.0.0.1, over HTTP or
// HTTPS (with a certificate made for the test), writing what it receives to a file.
//
//   AsfReceiver rx(AsfReceiver::Https, "Radio Uno");
//   QVERIFY2(rx.isListening(), qPrintable(rx.error()));
//   ... push to rx.url() ...
//   QVERIFY(rx.waitFinished());
//   auto p = rx.probe();                 // format "asf", codec "wmav2", 44100, 2
//   QByteArray pcm = rx.decode();        // s16le stereo 44.1 kHz of what arrived
//
// Every outcome stops the process (destructor).
#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class AsfReceiver {
public:
    enum Scheme { Http, Https };
    explicit AsfReceiver(Scheme scheme = Http, const QString& name = QStringLiteral("radio"));
    ~AsfReceiver();
    AsfReceiver(const AsfReceiver&) = delete;
    AsfReceiver& operator=(const AsfReceiver&) = delete;

    bool isListening() const { return m_listening; }
    QString error() const { return m_error; }
    quint16 port() const { return m_port; }
    // The address to push to: scheme, 127.0.0.1, port, "/" and the name as given (unescaped).
    QString url() const;
    QString certificateFile() const; // the PEM certificate of an Https receiver
    QString outputFile() const;
    QString log() const;

    bool waitFinished(int ms = 30000);
    void kill(); // SIGKILL, as a crash or a pulled cable would end it

    struct Probe {
        QString format;
        QString codec;
        int sampleRate = 0;
        int channels = 0;
        double duration = 0;
        QMap<QString, QString> tags; // keys as the prober gives them
    };
    Probe probe() const;
    QByteArray decode() const;

    // Helpers on s16le stereo PCM: RMS of the left channel, and its frequency from zero crossings.
    static double rms(const QByteArray& pcm);
    static double frequency(const QByteArray& pcm, int sampleRate = 44100);
    // A tone of freq Hz, amplitude of 32767, seconds long, s16le stereo 44.1 kHz.
    static QByteArray tone(double freq, double seconds, int amplitude = 10000);

private:
    QTemporaryDir m_dir;
    QProcess m_ffmpeg;
    Scheme m_scheme;
    QString m_name;
    quint16 m_port = 0;
    bool m_listening = false;
    QString m_error;
};
