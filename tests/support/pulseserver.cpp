#include "pulseserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <random>
#include <unistd.h>

PulseServer::PulseServer(QList<Sink> sinks)
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

    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), d + QStringLiteral("/xdg"));
    m_env.insert(QStringLiteral("HOME"), d + QStringLiteral("/home"));
    m_env.insert(QStringLiteral("PULSE_SERVER"), serverAddress());
    m_env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));

    QStringList args{QStringLiteral("-n"),
                     QStringLiteral("--daemonize=no"),
                     QStringLiteral("--exit-idle-time=-1"),
                     QStringLiteral("--system=false"),
                     QStringLiteral("--disallow-exit"),
                     QStringLiteral("--use-pid-file=no"),
                     QStringLiteral("--log-target=newfile:") + d + QStringLiteral("/pulse.log"),
                     QStringLiteral("-L"),
                     QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + d +
                         QStringLiteral("/native")};
    if (sinks.isEmpty())
        sinks.append({QStringLiteral("s1"), QStringLiteral("Test sink")});
    m_firstSink = sinks.first().name;
    for (const Sink& s : sinks) {
        args << QStringLiteral("-L")
             << QStringLiteral("module-null-sink sink_name=%1 rate=44100 channels=2 "
                               "sink_properties='device.description=\"%2\"'")
                    .arg(s.name, s.description);
    }
    m_server.setProcessEnvironment(m_env);
    m_server.setStandardOutputFile(QProcess::nullDevice());
    m_server.setStandardErrorFile(d + QStringLiteral("/pulse.stderr"));
    m_server.start(QStringLiteral("pulseaudio"), args);
    if (!m_server.waitForStarted(5000)) {
        m_error = QStringLiteral("pulseaudio did not start: ") + m_server.errorString();
        return;
    }
    const QDeadlineTimer deadline(15000);
    bool ok = false;
    while (!deadline.hasExpired()) {
        pactl({QStringLiteral("info")}, &ok);
        if (ok)
            break;
        if (m_server.state() != QProcess::Running)
            break;
        QThread::msleep(50);
    }
    if (!ok) {
        m_error = QStringLiteral("pulseaudio does not answer");
        return;
    }
    pactl({QStringLiteral("set-default-sink"), m_firstSink});
    pactl({QStringLiteral("set-default-source"), m_firstSink + QStringLiteral(".monitor")}, &ok);
    if (!ok) {
        m_error = QStringLiteral("no default source");
        return;
    }
    qputenv("PULSE_SERVER", serverAddress().toLocal8Bit());
    m_running = true;
}

PulseServer::~PulseServer()
{
    stopPlaying();
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000)) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }
    if (m_hadPulseServer)
        qputenv("PULSE_SERVER", m_oldPulseServer);
    else
        qunsetenv("PULSE_SERVER");
}

QString PulseServer::serverAddress() const
{
    return QStringLiteral("unix:") + m_dir.path() + QStringLiteral("/native");
}

qint64 PulseServer::pid() const
{
    return m_server.processId();
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

// (Placeholders: the PipeWire server and the restart land next.)
PulseServer::Kind PulseServer::kindFromEnvironment()
{
    return qgetenv("WL_SOUND_SERVER") == "pipewire" ? Kind::PipeWire : Kind::PulseAudio;
}
QString PulseServer::kindName() const
{
    return m_kind == Kind::PipeWire ? QStringLiteral("PipeWire") : QStringLiteral("PulseAudio");
}
bool PulseServer::kill() { return false; }
bool PulseServer::restart() { return false; }
bool PulseServer::setDefaultSource(const QString& sink)
{
    bool ok = false;
    pactl({QStringLiteral("set-default-source"), sink + QStringLiteral(".monitor")}, &ok);
    return ok;
}
