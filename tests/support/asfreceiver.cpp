#include "asfreceiver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QThread>
#include <cmath>

namespace {

quint16 pickPort()
{
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0))
        return 0;
    return s.serverPort();
}

bool listeningOn(quint16 port)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local =
        QStringLiteral("0100007F:%1").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> cols = line.simplified().split(' ');
        if (cols.size() > 3 && cols[1] == local && cols[3] == "0A")
            return true;
    }
    return false;
}

bool run(const QString& program, const QStringList& args, QByteArray* out, QString* error)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted() || !p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        if (error)
            *error = program + QStringLiteral(" did not run");
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    if (p.exitCode() != 0 && error)
        *error = QString::fromUtf8(p.readAllStandardError());
    return p.exitCode() == 0;
}

} // namespace

AsfReceiver::AsfReceiver(Scheme scheme, const QString& name) : m_scheme(scheme), m_name(name)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    QStringList args{QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"),
                     QStringLiteral("-y")};
    if (scheme == Https) {
        const QString key = m_dir.filePath(QStringLiteral("key.pem"));
        if (!run(QStringLiteral("openssl"),
                 {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                  QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                  key, QStringLiteral("-out"), certificateFile(), QStringLiteral("-days"),
                  QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                  QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1")},
                 nullptr, &m_error))
            return;
        args << QStringLiteral("-cert_file") << certificateFile() << QStringLiteral("-key_file")
             << key;
    }
    for (int attempt = 0; attempt < 5 && !m_listening; ++attempt) {
        m_port = pickPort();
        QStringList a = args;
        // The listener's own address: the path is not checked, so it needs no escaping rules.
        a << QStringLiteral("-listen") << QStringLiteral("1") << QStringLiteral("-i")
          << QStringLiteral("%1://127.0.0.1:%2/listen")
                 .arg(scheme == Https ? QStringLiteral("https") : QStringLiteral("http"))
                 .arg(m_port)
          << QStringLiteral("-c") << QStringLiteral("copy") << outputFile();
        m_ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
        m_ffmpeg.setStandardOutputFile(m_dir.filePath(QStringLiteral("ffmpeg.log")));
        m_ffmpeg.start(QStringLiteral("ffmpeg"), a);
        if (!m_ffmpeg.waitForStarted()) {
            m_error = QStringLiteral("ffmpeg did not start");
            return;
        }
        QElapsedTimer t;
        t.start();
        while (m_ffmpeg.state() == QProcess::Running && t.elapsed() < 10000) {
            if (listeningOn(m_port)) {
                m_listening = true;
                break;
            }
            QThread::msleep(10);
        }
        if (!m_listening) {
            m_ffmpeg.kill();
            m_ffmpeg.waitForFinished();
            m_error = QStringLiteral("ffmpeg did not listen: ") + log();
        }
    }
}

AsfReceiver::~AsfReceiver()
{
    kill();
}

QString AsfReceiver::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2/%3")
        .arg(m_scheme == Https ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port)
        .arg(m_name);
}

QString AsfReceiver::certificateFile() const
{
    return m_dir.filePath(QStringLiteral("cert.pem"));
}
QString AsfReceiver::outputFile() const
{
    return m_dir.filePath(QStringLiteral("out.asf"));
}

QString AsfReceiver::log() const
{
    QFile f(m_dir.filePath(QStringLiteral("ffmpeg.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool AsfReceiver::waitFinished(int ms)
{
    if (m_ffmpeg.state() == QProcess::NotRunning)
        return true;
    return m_ffmpeg.waitForFinished(ms);
}

void AsfReceiver::kill()
{
    if (m_ffmpeg.state() != QProcess::NotRunning) {
        m_ffmpeg.kill();
        m_ffmpeg.waitForFinished();
    }
}

AsfReceiver::Probe AsfReceiver::probe() const
{
    Probe p;
    QByteArray out;
    if (!run(QStringLiteral("ffprobe"),
             {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_format"),
              QStringLiteral("-show_streams"), QStringLiteral("-of"), QStringLiteral("json"),
              outputFile()},
             &out, nullptr))
        return p;
    const QJsonObject root = QJsonDocument::fromJson(out).object();
    const QJsonObject format = root.value(QStringLiteral("format")).toObject();
    p.format = format.value(QStringLiteral("format_name")).toString();
    p.duration = format.value(QStringLiteral("duration")).toString().toDouble();
    const QJsonObject tags = format.value(QStringLiteral("tags")).toObject();
    for (auto it = tags.begin(); it != tags.end(); ++it)
        p.tags.insert(it.key(), it.value().toString());
    const QJsonArray streams = root.value(QStringLiteral("streams")).toArray();
    if (!streams.isEmpty()) {
        const QJsonObject s = streams.first().toObject();
        p.codec = s.value(QStringLiteral("codec_name")).toString();
        p.sampleRate = s.value(QStringLiteral("sample_rate")).toString().toInt();
        p.channels = s.value(QStringLiteral("channels")).toInt();
    }
    return p;
}

QByteArray AsfReceiver::decode() const
{
    QByteArray out;
    run(QStringLiteral("ffmpeg"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), outputFile(),
         QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ac"), QStringLiteral("2"),
         QStringLiteral("-ar"), QStringLiteral("44100"), QStringLiteral("-")},
        &out, nullptr);
    return out;
}

double AsfReceiver::rms(const QByteArray& pcm)
{
    const auto* s = reinterpret_cast<const qint16*>(pcm.constData());
    const qsizetype frames = pcm.size() / 4;
    if (frames == 0)
        return 0;
    double sum = 0;
    for (qsizetype i = 0; i < frames; ++i)
        sum += double(s[2 * i]) * s[2 * i];
    return std::sqrt(sum / frames);
}

double AsfReceiver::frequency(const QByteArray& pcm, int sampleRate)
{
    const auto* s = reinterpret_cast<const qint16*>(pcm.constData());
    const qsizetype frames = pcm.size() / 4;
    qsizetype crossings = 0;
    for (qsizetype i = 1; i < frames; ++i)
        if ((s[2 * (i - 1)] < 0) != (s[2 * i] < 0))
            ++crossings;
    return frames ? crossings / 2.0 * sampleRate / frames : 0;
}

QByteArray AsfReceiver::tone(double freq, double seconds, int amplitude)
{
    const int frames = int(seconds * 44100);
    QByteArray pcm(frames * 4, Qt::Uninitialized);
    auto* s = reinterpret_cast<qint16*>(pcm.data());
    for (int i = 0; i < frames; ++i) {
        const auto v = qint16(std::lround(amplitude * std::sin(2 * M_PI * freq * i / 44100.0)));
        s[2 * i] = v;
        s[2 * i + 1] = v;
    }
    return pcm;
}
