#pragma once
// A private sound server for tests, on a unix socket in its own temporary folder: PulseAudio,
// or PipeWire with its PulseAudio server (pipewire, wireplumber, pipewire-pulse and a session
// bus of their own) when WL_SOUND_SERVER=pipewire is in the environment. libpulse clients
// cannot tell them apart but for their behaviour.
//
//   PulseServer pulse;                 // starts it, with one null sink "s1"
//   QVERIFY(pulse.isRunning());
//   pulse.playTone();                  // 1 kHz tone over a faint noise bed into the sink
//
// While it lives, PULSE_SERVER in this process's environment points at it (the old value comes
// back in the destructor), and the default source is the monitor of the first sink, so every
// libpulse client of the test records what is played into that sink. The destructor stops the
// player and every process of the server.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <vector>

class PulseServer {
public:
    struct Sink {
        QString name;        // e.g. "s1"
        QString description; // device.description, e.g. "Altoparlanti di prova"
    };
    enum class Kind { PulseAudio, PipeWire };
    // PipeWire when WL_SOUND_SERVER is "pipewire", PulseAudio otherwise.
    static Kind kindFromEnvironment();

    explicit PulseServer(QList<Sink> sinks = {{QStringLiteral("s1"), QStringLiteral("Test sink")}});
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    Kind kind() const { return m_kind; }
    QString kindName() const; // "PulseAudio", "PipeWire"

    bool isRunning() const { return m_running; }

    // Kills the server with SIGKILL, as a crash would (for PipeWire the whole stack), and
    // waits until it is gone. Every client's connection fails.
    bool kill();
    // Starts it again on the same address with the same sinks and default source, and resumes
    // what was playing. Waits until it answers.
    bool restart();
    // Makes the monitor of sink the default source.
    bool setDefaultSource(const QString& sink);
    QString error() const { return m_error; }
    // "unix:<folder>/native" (PulseAudio), "unix:<folder>/xdg/pulse/native" (PipeWire)
    QString serverAddress() const;
    QString folder() const { return m_dir.path(); }
    // The process that serves the PulseAudio protocol (pulseaudio, pipewire-pulse).
    qint64 pid() const;
    // When the server was last back (started or restarted, with its sinks, default source
    // and player): msecsSinceReference() of a QElapsedTimer started then.
    qint64 backAtMs() const { return m_backAtMs; }

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
    bool startServer();
    bool startPulseAudio();
    bool startPipeWire();
    // Starts program as one process of the server; its standard error goes to <name>.log.
    QProcess* startProcess(const QString& program, const QStringList& arguments,
                           const QProcessEnvironment& env);
    bool waitForAnswer(int timeoutMs);
    bool keepSinksAwake();
    void noteBack();
    void stopPlayer();
    void stopProcesses(bool withBus);

    Kind m_kind = Kind::PulseAudio;
    QList<Sink> m_sinks;
    QString m_playingFile, m_playingSink;
    QString m_defaultSink; // whose monitor is the default source
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_bus; // PipeWire's private session bus
    // The server's processes in start order; the last one serves the PulseAudio protocol.
    std::vector<std::unique_ptr<QProcess>> m_processes;
    std::vector<std::unique_ptr<QProcess>> m_keepers; // see keepSinksAwake()
    std::unique_ptr<QProcess> m_player;
    qint64 m_backAtMs = 0;
    QProcessEnvironment m_env;
    QByteArray m_oldPulseServer;
    bool m_hadPulseServer = false;
    bool m_running = false;
    QString m_error;
    QString m_firstSink;
};
