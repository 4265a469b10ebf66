#pragma once
// A private PulseAudio server for tests, on a unix socket in its own temporary folder.
//
//   PulseServer pulse;                 // starts it, with one null sink "s1"
//   QVERIFY(pulse.isRunning());
//   pulse.playTone();                  // 1 kHz tone over a faint noise bed into the sink
//
// While it lives, PULSE_SERVER in this process's environment points at it (the old value comes
// back in the destructor), and the default source is the monitor of the first sink, so every
// libpulse client of the test records what is played into that sink. The destructor stops the
// player and the server.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

class PulseServer {
public:
    struct Sink {
        QString name;        // e.g. "s1"
        QString description; // device.description, e.g. "Altoparlanti di prova"
    };
    explicit PulseServer(QList<Sink> sinks = {{QStringLiteral("s1"), QStringLiteral("Test sink")}});
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool isRunning() const { return m_running; }
    QString error() const { return m_error; }
    QString serverAddress() const; // "unix:<folder>/native"
    QString folder() const { return m_dir.path(); }
    qint64 pid() const;

    // Plays raw s16le stereo 44.1 kHz PCM from file in a loop into sink (the first when empty),
    // replacing what was playing. Returns false when the player did not start.
    bool playLoop(const QString& file, const QString& sink = QString());
    // playLoop of a one-second 1 kHz tone at amplitude (of 32767) over a noise bed at -60 dBFS.
    bool playTone(int amplitude = 8000, const QString& sink = QString());
    void stopPlaying();

    // Runs pactl against this server; returns its standard output ("" on failure).
    QString pactl(const QStringList& arguments, bool* ok = nullptr) const;

    // Writes one second of the tone (or, with clickEveryMs > 0, a click train over the bed).
    static bool writeTestSignal(const QString& file, int amplitude, int clickEveryMs = 0);

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    std::unique_ptr<QProcess> m_player;
    QProcessEnvironment m_env;
    QByteArray m_oldPulseServer;
    bool m_hadPulseServer = false;
    bool m_running = false;
    QString m_error;
    QString m_firstSink;
};
