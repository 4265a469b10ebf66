#include "audiotesthelpers.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <unistd.h>
#include <vector>

namespace audiotest {

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                   .size());
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

QList<pid_t> childProcesses(const QByteArray& comm, bool withZombies)
{
    QList<pid_t> out;
    const pid_t me = ::getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& e : entries) {
        bool ok = false;
        const pid_t pid = e.toInt(&ok);
        if (!ok)
            continue;
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = f.readAll();
        const qsizetype open = stat.indexOf('('), close = stat.lastIndexOf(')');
        if (open < 0 || close < 0)
            continue;
        const QByteArray name = stat.mid(open + 1, close - open - 1);
        const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
        if (rest.size() < 2 || rest[1].toInt() != me || (!withZombies && rest[0] == "Z"))
            continue;
        if (comm.isEmpty() || name == comm)
            out.append(pid);
    }
    return out;
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    do {
        if (cond())
            return true;
        QThread::msleep(10);
    } while (!deadline.hasExpired());
    return cond();
}

namespace {
Mp3Header parseHeader(const unsigned char* p, int* frameLength)
{
    Mp3Header h;
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return h;
    const int versionBits = (p[1] >> 3) & 3; // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5
    const int layerBits = (p[1] >> 1) & 3;   // 1 = layer III
    const int brIndex = p[2] >> 4;
    const int srIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (versionBits == 1 || layerBits != 1 || brIndex == 0 || brIndex == 15 || srIndex == 3)
        return h;
    static const int br1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int br2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int sr1[] = {44100, 48000, 32000};
    h.version = versionBits == 3 ? 1 : 2;
    h.layer = 3;
    h.bitrateKbps = h.version == 1 ? br1[brIndex] : br2[brIndex];
    h.sampleRate = sr1[srIndex] / (versionBits == 3 ? 1 : versionBits == 2 ? 2 : 4);
    h.stereo = (p[3] >> 6) != 3;
    *frameLength = (h.version == 1 ? 144 : 72) * h.bitrateKbps * 1000 / h.sampleRate + padding;
    h.valid = *frameLength > 4;
    return h;
}
} // namespace

Mp3Header firstMp3Frame(const QByteArray& data)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
    for (qsizetype i = 0; i + 4 <= data.size(); ++i) {
        int len = 0;
        const Mp3Header h = parseHeader(p + i, &len);
        if (!h.valid || i + len + 4 > data.size())
            continue;
        int len2 = 0;
        const Mp3Header next = parseHeader(p + i + len, &len2);
        if (next.valid && next.sampleRate == h.sampleRate)
            return h;
    }
    return {};
}

QByteArray decodeMp3(const QByteArray& mp3)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                  QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("mp3"),
                  QStringLiteral("-i"), QStringLiteral("pipe:0"), QStringLiteral("-f"),
                  QStringLiteral("s16le"), QStringLiteral("-ac"), QStringLiteral("2"),
                  QStringLiteral("-ar"), QStringLiteral("44100"), QStringLiteral("pipe:1")});
    if (!ffmpeg.waitForStarted(5000))
        return {};
    ffmpeg.write(mp3);
    ffmpeg.closeWriteChannel();
    QByteArray out;
    while (ffmpeg.state() != QProcess::NotRunning) {
        ffmpeg.waitForReadyRead(1000);
        out += ffmpeg.readAllStandardOutput();
        if (ffmpeg.waitForFinished(10))
            break;
    }
    out += ffmpeg.readAllStandardOutput();
    return out;
}

double toneLevel(const QByteArray& pcm, double frequency, int rate)
{
    const auto* s = reinterpret_cast<const qint16*>(pcm.constData());
    const qsizetype frames = pcm.size() / 4;
    if (frames == 0)
        return 0;
    const double w = 2.0 * M_PI * frequency / rate;
    const double coeff = 2.0 * std::cos(w);
    double q1 = 0, q2 = 0;
    for (qsizetype i = 0; i < frames; ++i) {
        const double q0 = coeff * q1 - q2 + s[2 * i] / 32768.0;
        q2 = q1;
        q1 = q0;
    }
    const double power = q1 * q1 + q2 * q2 - coeff * q1 * q2;
    return 2.0 * std::sqrt(std::max(0.0, power)) / static_cast<double>(frames);
}

double medianToneLevel(const QByteArray& pcm, double frequency)
{
    constexpr qsizetype window = 4410 * 4;
    std::vector<double> levels;
    for (qsizetype at = 0; at + window <= pcm.size(); at += window)
        levels.push_back(toneLevel(pcm.mid(at, window), frequency));
    if (levels.empty())
        return 0;
    std::sort(levels.begin(), levels.end());
    return levels[levels.size() / 2];
}

} // namespace audiotest
