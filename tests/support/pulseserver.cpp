#include "pulseserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <random>
#include <unistd.h>

PulseServer::PulseServer(QList<Sink> sinks) : m_kind(kindFromEnvironment())
{
    m_hadPulseServer = qEnvironmentVariableIsSet("PULSE_SERVER");
    m_oldPulseServer = qgetenv("PULSE_SERVER");
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    const QString d = m_dir.path();
    QDir().mkpath(d + QStringLiteral("/xdg"));
    QDir().mkpath(d + QStringLiteral("/home"));
    QFile::setPermissions(d + QStringLiteral("/xdg"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (sinks.isEmpty())
        sinks.append({QStringLiteral("s1"), QStringLiteral("Test sink")});
    m_sinks = sinks;
    m_firstSink = sinks.first().name;
    m_defaultSink = m_firstSink;

    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), d + QStringLiteral("/xdg"));
    m_env.insert(QStringLiteral("HOME"), d + QStringLiteral("/home"));
    m_env.insert(QStringLiteral("PULSE_SERVER"), serverAddress());
    m_env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    m_env.remove(QStringLiteral("PIPEWIRE_REMOTE"));
    m_env.remove(QStringLiteral("PIPEWIRE_RUNTIME_DIR"));

    if (m_kind == Kind::PipeWire) {
        // WirePlumber wants a session bus; this one lives as long as the fixture, across
        // kill() and restart(), as a desktop's bus outlives a restart of its sound server.
        const QString bus = QStringLiteral("unix:path=") + d + QStringLiteral("/xdg/bus");
        m_bus = std::make_unique<QProcess>();
        m_bus->setProcessEnvironment(m_env);
        m_bus->setStandardOutputFile(QProcess::nullDevice());
        m_bus->setStandardErrorFile(d + QStringLiteral("/dbus.log"));
        m_bus->start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--nofork"),
                      QStringLiteral("--nopidfile"), QStringLiteral("--address=") + bus});
        if (!m_bus->waitForStarted(5000)) {
            m_error = QStringLiteral("dbus-daemon did not start: ") + m_bus->errorString();
            return;
        }
        const QDeadlineTimer deadline(5000);
        while (!QFile::exists(d + QStringLiteral("/xdg/bus")) && !deadline.hasExpired() &&
               m_bus->state() == QProcess::Running)
            QThread::msleep(10);
        if (!QFile::exists(d + QStringLiteral("/xdg/bus"))) {
            m_error = QStringLiteral("dbus-daemon made no socket");
            return;
        }
        m_env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
    }
    if (!startServer())
        return;
    qputenv("PULSE_SERVER", serverAddress().toLocal8Bit());
    m_running = true;
    noteBack();
}

void PulseServer::noteBack()
{
    QElapsedTimer now;
    now.start();
    m_backAtMs = now.msecsSinceReference();
}

bool PulseServer::keepSinksAwake()
{
    // An idle null sink of PulseAudio's sleeps for up to two seconds at a time, and a new
    // recording from its monitor waits for it to wake; a real device runs all the time. A
    // low-latency recording of each monitor, for as long as the server runs, keeps the sinks
    // awake like one.
    for (const Sink& s : m_sinks) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(m_env);
        p->setStandardOutputFile(QProcess::nullDevice());
        p->setStandardErrorFile(QProcess::nullDevice());
        p->start(QStringLiteral("parec"),
                 {QStringLiteral("-d"), s.name + QStringLiteral(".monitor"),
                  QStringLiteral("--latency-msec=20"), QStringLiteral("--raw"),
                  QStringLiteral("--client-name=fixture-keeper")});
        if (!p->waitForStarted(5000)) {
            m_error = QStringLiteral("parec did not start: ") + p->errorString();
            return false;
        }
        m_keepers.push_back(std::move(p));
    }
    // Awake once a recording gets its first audio at once.
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QProcess p;
        p.setProcessEnvironment(m_env);
        p.setStandardErrorFile(QProcess::nullDevice());
        p.start(QStringLiteral("parec"),
                {QStringLiteral("-d"), m_defaultSink + QStringLiteral(".monitor"),
                 QStringLiteral("--latency-msec=20"), QStringLiteral("--raw")});
        QElapsedTimer t;
        t.start();
        while (p.waitForStarted(5000) && p.bytesAvailable() < 4608 && t.elapsed() < 3000 &&
               p.state() == QProcess::Running)
            p.waitForReadyRead(50);
        const bool quick = p.bytesAvailable() >= 4608 && t.elapsed() < 300;
        p.kill();
        p.waitForFinished(2000);
        if (quick)
            return true;
    }
    m_error = QStringLiteral("the sinks do not wake");
    return false;
}

PulseServer::~PulseServer()
{
    stopPlayer();
    stopProcesses(true);
    if (m_hadPulseServer)
        qputenv("PULSE_SERVER", m_oldPulseServer);
    else
        qunsetenv("PULSE_SERVER");
}

QProcess* PulseServer::startProcess(const QString& program, const QStringList& arguments,
                                    const QProcessEnvironment& env)
{
    auto p = std::make_unique<QProcess>();
    p->setProcessEnvironment(env);
    p->setStandardOutputFile(QProcess::nullDevice());
    p->setStandardErrorFile(m_dir.path() + QLatin1Char('/') + program + QStringLiteral(".log"),
                            QIODevice::Append);
    p->start(program, arguments);
    if (!p->waitForStarted(5000)) {
        m_error = program + QStringLiteral(" did not start: ") + p->errorString();
        return nullptr;
    }
    m_processes.push_back(std::move(p));
    return m_processes.back().get();
}

bool PulseServer::waitForAnswer(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        bool ok = false;
        pactl({QStringLiteral("info")}, &ok);
        if (ok)
            return true;
        for (const auto& p : m_processes) {
            if (p->state() != QProcess::Running) {
                m_error = p->program() + QStringLiteral(" ended at start");
                return false;
            }
        }
        QThread::msleep(20);
    }
    m_error = kindName() + QStringLiteral(" does not answer");
    return false;
}

bool PulseServer::startServer()
{
    if (!(m_kind == Kind::PipeWire ? startPipeWire() : startPulseAudio())) {
        stopProcesses(false);
        return false;
    }
    // (PipeWire may not know a sink just made for a moment.)
    bool ok = false;
    const QDeadlineTimer deadline(5000);
    while (!ok && !deadline.hasExpired()) {
        pactl({QStringLiteral("set-default-sink"), m_firstSink}, &ok);
        if (!ok)
            QThread::msleep(50);
    }
    if (!ok || !setDefaultSource(m_defaultSink)) {
        m_error = QStringLiteral("no default source");
        stopProcesses(false);
        return false;
    }
    if (m_kind == Kind::PulseAudio && !keepSinksAwake()) {
        stopProcesses(false);
        return false;
    }
    return true;
}

bool PulseServer::startPulseAudio()
{
    const QString d = m_dir.path();
    QStringList args{QStringLiteral("-n"),
                     QStringLiteral("--daemonize=no"),
                     QStringLiteral("--exit-idle-time=-1"),
                     QStringLiteral("--system=false"),
                     QStringLiteral("--disallow-exit"),
                     QStringLiteral("--use-pid-file=no"),
                     QStringLiteral("--log-target=newfile:") + d + QStringLiteral("/pulse.log")};
    // The sinks first: the server answers only once they are there.
    for (const Sink& s : m_sinks) {
        args << QStringLiteral("-L")
             << QStringLiteral("module-null-sink sink_name=%1 rate=44100 channels=2 "
                               "sink_properties='device.description=\"%2\"'")
                    .arg(s.name, s.description);
    }
    args << QStringLiteral("-L")
         << QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + d +
                QStringLiteral("/native");
    if (!startProcess(QStringLiteral("pulseaudio"), args, m_env))
        return false;
    return waitForAnswer(15000);
}

bool PulseServer::startPipeWire()
{
    const QString xdg = m_dir.path() + QStringLiteral("/xdg");
    QProcessEnvironment env = m_env;
    env.remove(QStringLiteral("PULSE_SERVER"));
    // What a killed stack left behind (the lock files are free again).
    QFile::remove(xdg + QStringLiteral("/pipewire-0"));
    QFile::remove(xdg + QStringLiteral("/pulse/native"));
    QFile::remove(xdg + QStringLiteral("/pulse/pid"));
    QProcess* pw = startProcess(QStringLiteral("pipewire"), {}, env);
    if (!pw)
        return false;
    const QDeadlineTimer deadline(10000);
    while (!QFile::exists(xdg + QStringLiteral("/pipewire-0"))) {
        if (deadline.hasExpired() || pw->state() != QProcess::Running) {
            m_error = QStringLiteral("pipewire made no socket");
            return false;
        }
        QThread::msleep(10);
    }
    if (!startProcess(QStringLiteral("wireplumber"), {}, env))
        return false;
    // pipewire-pulse may fail to make its socket when the folder is not there yet.
    QDir().mkpath(xdg + QStringLiteral("/pulse"));
    QFile::setPermissions(xdg + QStringLiteral("/pulse"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!startProcess(QStringLiteral("pipewire-pulse"), {}, env))
        return false;
    if (!waitForAnswer(15000))
        return false;
    for (const Sink& s : m_sinks) {
        bool ok = false;
        pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
               QStringLiteral("sink_name=%1 rate=44100 channels=2 "
                              "sink_properties='device.description=\"%2\"'")
                   .arg(s.name, s.description)},
              &ok);
        if (!ok) {
            m_error = QStringLiteral("no null sink ") + s.name;
            return false;
        }
    }
    return true;
}

void PulseServer::stopProcesses(bool withBus)
{
    for (const auto& k : m_keepers) {
        k->kill();
        k->waitForFinished(5000);
    }
    m_keepers.clear();
    // The protocol server first, so clients see the end of their connection before the
    // graph goes; then the rest, in reverse start order.
    for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it) {
        QProcess& p = **it;
        if (p.state() == QProcess::NotRunning)
            continue;
        p.terminate();
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    m_processes.clear();
    if (withBus && m_bus) {
        if (m_bus->state() != QProcess::NotRunning) {
            m_bus->terminate();
            if (!m_bus->waitForFinished(5000)) {
                m_bus->kill();
                m_bus->waitForFinished(5000);
            }
        }
        m_bus.reset();
    }
}

QString PulseServer::serverAddress() const
{
    return m_kind == Kind::PipeWire
               ? QStringLiteral("unix:") + m_dir.path() + QStringLiteral("/xdg/pulse/native")
               : QStringLiteral("unix:") + m_dir.path() + QStringLiteral("/native");
}

qint64 PulseServer::pid() const
{
    return m_processes.empty() ? 0 : m_processes.back()->processId();
}

QString PulseServer::pactl(const QStringList& arguments, bool* ok) const
{
    QProcess p;
    p.setProcessEnvironment(m_env);
    p.start(QStringLiteral("pactl"), arguments);
    const bool done = p.waitForStarted(5000) && p.waitForFinished(10000);
    if (!done) {
        p.kill();
        p.waitForFinished(2000);
    }
    const bool good = done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (ok)
        *ok = good;
    return good ? QString::fromLocal8Bit(p.readAllStandardOutput()) : QString();
}

bool PulseServer::writeTestSignal(const QString& file, int amplitude, int clickEveryMs)
{
    constexpr int rate = 44100;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> noise(-33, 33); // about -60 dBFS
    QByteArray pcm;
    pcm.resize(rate * 4);
    auto* out = reinterpret_cast<qint16*>(pcm.data());
    const int clickLen = rate / 1000; // 1 ms
    for (int i = 0; i < rate; ++i) {
        double v = noise(rng);
        if (clickEveryMs > 0) {
            const int period = rate * clickEveryMs / 1000;
            if (i % period < clickLen)
                v += amplitude;
        } else {
            v += amplitude * std::sin(2.0 * M_PI * 1000.0 * i / rate);
        }
        const auto s = static_cast<qint16>(std::clamp(v, -32767.0, 32767.0));
        out[2 * i] = s;
        out[2 * i + 1] = s;
    }
    QFile f(file);
    return f.open(QIODevice::WriteOnly) && f.write(pcm) == pcm.size();
}

bool PulseServer::playLoop(const QString& file, const QString& sink)
{
    stopPlaying();
    if (!m_running)
        return false;
    m_playingFile = file;
    m_playingSink = sink;
    m_player = std::make_unique<QProcess>();
    m_player->setProcessEnvironment(m_env);
    // Its own process group, so that stopPlaying ends the loop and pacat together.
    m_player->setChildProcessModifier([] { ::setpgid(0, 0); });
    m_player->setStandardOutputFile(QProcess::nullDevice());
    m_player->setStandardErrorFile(QProcess::nullDevice());
    const QString cmd = QStringLiteral("while :; do cat '%1'; done | pacat --playback -d '%2' "
                                       "--format=s16le --rate=44100 --channels=2 "
                                       "--latency-msec=20 --raw")
                            .arg(file, sink.isEmpty() ? m_firstSink : sink);
    m_player->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), cmd});
    return m_player->waitForStarted(5000);
}

bool PulseServer::playTone(int amplitude, const QString& sink)
{
    const QString file = m_dir.path() + QStringLiteral("/tone.raw");
    if (!writeTestSignal(file, amplitude))
        return false;
    return playLoop(file, sink);
}

void PulseServer::stopPlaying()
{
    m_playingFile.clear();
    m_playingSink.clear();
    stopPlayer();
}

void PulseServer::stopPlayer()
{
    if (!m_player)
        return;
    const qint64 pid = m_player->processId();
    if (pid > 0)
        ::kill(-static_cast<pid_t>(pid), SIGTERM);
    if (!m_player->waitForFinished(5000)) {
        ::kill(-static_cast<pid_t>(pid), SIGKILL);
        m_player->waitForFinished(5000);
    }
    m_player.reset();
}

PulseServer::Kind PulseServer::kindFromEnvironment()
{
    return qgetenv("WL_SOUND_SERVER") == "pipewire" ? Kind::PipeWire : Kind::PulseAudio;
}

QString PulseServer::kindName() const
{
    return m_kind == Kind::PipeWire ? QStringLiteral("PipeWire") : QStringLiteral("PulseAudio");
}

bool PulseServer::kill()
{
    if (!m_running)
        return false;
    // The player would only spin against a dead server; restart() starts it again.
    stopPlayer();
    for (const auto& p : m_processes) {
        if (p->state() != QProcess::NotRunning)
            p->kill();
    }
    for (const auto& k : m_keepers)
        k->waitForFinished(5000); // their server is gone
    m_keepers.clear();
    for (const auto& p : m_processes)
        p->waitForFinished(5000);
    m_processes.clear();
    m_running = false;
    return true;
}

bool PulseServer::restart()
{
    if (m_running)
        return false;
    m_error.clear();
    if (!startServer())
        return false;
    m_running = true;
    if (!m_playingFile.isEmpty()) {
        const QString file = m_playingFile, sink = m_playingSink;
        if (!playLoop(file, sink)) {
            m_error = QStringLiteral("the player did not start again");
            return false;
        }
    }
    noteBack();
    return true;
}

bool PulseServer::setDefaultSource(const QString& sink)
{
    // PipeWire's session manager applies the choice a moment later, and may overrule one made
    // while it is still starting: asked again until it holds.
    const QString source = sink + QStringLiteral(".monitor");
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        bool ok = false;
        pactl({QStringLiteral("set-default-source"), source}, &ok);
        for (int i = 0; ok && i < 50; ++i) {
            if (pactl({QStringLiteral("get-default-source")}).trimmed() == source) {
                m_defaultSink = sink;
                return true;
            }
            QThread::msleep(10);
        }
        QThread::msleep(100);
    }
    return false;
}
