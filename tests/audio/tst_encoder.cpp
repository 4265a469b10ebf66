// The encoder process fed by a capture: start from the search path, end with the capture,
// death notice when it dies, and nothing left behind.
#include "audiotesthelpers.h"
#include "bass.h"
#include "bassenc.h"
#include "encoderprocess.h"
#include "encodetest.h"
#include "pulseserver.h"

#include <QtTest>
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

using namespace audiotest;

namespace {

struct Output {
    std::atomic<qint64> bytes{0};
    std::mutex mutex;
    QByteArray data;
};

void encodeProc(HENCODE, DWORD, const void* buffer, DWORD length, void* user)
{
    auto* o = static_cast<Output*>(user);
    o->bytes += length;
    std::lock_guard lock(o->mutex);
    if (o->data.size() < 200000)
        o->data.append(static_cast<const char*>(buffer), length);
}

} // namespace

class TestEncoder : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void commandLineSplitting();
    void encodesTheCaptureAndEndsWithIt();
    void missingProgramGivesNoEncoder();
    void killedEncoderIsRestartedThenGivenUp();
    void stoppedEncoderDoesNotHangTheStop();

private:
    std::unique_ptr<PulseServer> m_pulse;
};

void TestEncoder::initTestCase()
{
    m_pulse = std::make_unique<PulseServer>();
    QVERIFY2(m_pulse->isRunning(), qPrintable(m_pulse->error()));
    QVERIFY(m_pulse->playTone());
    QCOMPARE(BASS_RecordInit(-1), BASS_TRUE);
}

void TestEncoder::cleanupTestCase()
{
    BASS_RecordFree();
    m_pulse.reset();
}

void TestEncoder::commandLineSplitting()
{
    using V = std::vector<std::string>;
    QCOMPARE(EncoderProcess::splitCommandLine("lame -r -s 44100 -b 128 -"),
             (V{"lame", "-r", "-s", "44100", "-b", "128", "-"}));
    QCOMPARE(EncoderProcess::splitCommandLine("  a   \"b c\"  d"), (V{"a", "b c", "d"}));
    QCOMPARE(EncoderProcess::splitCommandLine("   "), V{});
}

void TestEncoder::encodesTheCaptureAndEndsWithIt()
{
    // Warm the layer up once, so that the counts below see only this cast's own resources.
    BASS_ChannelStop(BASS_RecordStart(44100, 2, 0, nullptr, nullptr));
    const int fds = openDescriptors();
    const int threads = threadCount();

    const HRECORD ch = BASS_RecordStart(44100, 2, 0, nullptr, nullptr);
    QVERIFY(ch != 0);
    Output out;
    const HENCODE enc = BASS_Encode_Start(
        ch, lameCommand, BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, encodeProc, &out);
    QVERIFY2(enc != 0, BASS_LastErrorText());
    QVERIFY(BASS_Encode_IsActive(enc) != 0);
    QVERIFY(BASS_Encode_IsActive(ch) != 0);
    const QList<pid_t> lames = childProcesses("lame");
    QCOMPARE(lames.size(), 1);
    // 128 kbit/s is 16000 bytes a second.
    QVERIFY(waitFor([&] { return out.bytes.load() > 24000; }, 5000));
    // The encoder holds its input, output and error, and none of our descriptors. (Counted
    // once it is encoding: while it starts, the loader briefly holds its libraries open.)
    QCOMPARE(QDir(QStringLiteral("/proc/%1/fd").arg(lames.first()))
                 .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                 .size(),
             3);
    {
        std::lock_guard lock(out.mutex);
        const Mp3Header h = firstMp3Frame(out.data);
        QVERIFY(h.valid);
        QCOMPARE(h.bitrateKbps, 128);
        QCOMPARE(h.sampleRate, 44100);
        QVERIFY(h.stereo);
        const QByteArray pcm = decodeMp3(out.data);
        QVERIFY(pcm.size() > 44100 * 4);
        QVERIFY2(medianToneLevel(pcm.mid(44100), 1000) > 0.15, "the 1 kHz tone is missing");
        QVERIFY(medianToneLevel(pcm.mid(44100), 1700) < 0.02);
    }

    QCOMPARE(BASS_ChannelStop(ch), BASS_TRUE);
    QCOMPARE(BASS_Encode_IsActive(enc), DWORD(0));
    QCOMPARE(BASS_Encode_IsActive(ch), DWORD(0));
    // Reaped, not a zombie: no child of ours is left.
    QVERIFY(childProcesses("lame").isEmpty());
    QCOMPARE(::kill(lames.first(), 0), -1);
    QCOMPARE(openDescriptors(), fds);
    QVERIFY(waitFor([&] { return threadCount() == threads; }, 2000));
}

void TestEncoder::missingProgramGivesNoEncoder()
{
    const QByteArray path = qgetenv("PATH");
    QTemporaryDir empty;
    qputenv("PATH", empty.path().toLocal8Bit());
    const HRECORD ch = BASS_RecordStart(44100, 2, 0, whileEncoding, nullptr);
    QVERIFY(ch != 0);
    const int fds = openDescriptors();
    const HENCODE enc = BASS_Encode_Start(
        ch, lameCommand, BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    qputenv("PATH", path);
    QCOMPARE(enc, HENCODE(0));
    QVERIFY(QByteArray(BASS_LastErrorText()).contains("lame"));
    QCOMPARE(openDescriptors(), fds);
    QVERIFY(childProcesses().isEmpty() || childProcesses("lame").isEmpty());
    // With no encoder the engine's kind of callback ends the capture at its next block.
    QVERIFY(waitFor([&] { return BASS_ChannelIsActive(ch) == 0; }, 2000));
    BASS_ChannelStop(ch);
}

void TestEncoder::killedEncoderIsRestartedThenGivenUp()
{
    const HRECORD ch = BASS_RecordStart(44100, 2, 0, whileEncoding, nullptr);
    QVERIFY(ch != 0);
    const HENCODE enc = BASS_Encode_Start(
        ch, lameCommand, BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    QVERIFY(enc != 0);
    Notices notices;
    QCOMPARE(BASS_Encode_SetNotify(enc, notifyProc, &notices), BASS_TRUE);
    const QList<pid_t> lames = childProcesses("lame");
    QCOMPARE(lames.size(), 1);
    QTest::qWait(200);
    ::kill(lames.first(), SIGKILL);
    // A new one runs at once, the old one is reaped, and nobody is told.
    QVERIFY(waitFor(
        [&] {
            const QList<pid_t> now = childProcesses("lame");
            return now.size() == 1 && now.first() != lames.first();
        },
        1000));
    const pid_t second = childProcesses("lame").first();
    QCOMPARE(BASS_Encode_GetRestarts(enc), DWORD(1));
    QVERIFY(BASS_Encode_IsActive(enc) != 0);
    QVERIFY(BASS_ChannelIsActive(ch) != 0);
    QVERIFY(notices.get().empty());
    // Dying again right after its restart, it is given up: one notice, off the test's thread.
    ::kill(second, SIGKILL);
    QVERIFY(waitFor([&] { return !notices.get().empty(); }, 3000));
    QCOMPARE(notices.get(), std::vector<DWORD>{BASS_ENCODE_NOTIFY_ENCODER});
    QVERIFY(notices.offMainThread.load());
    QCOMPARE(BASS_Encode_IsActive(enc), DWORD(0));
    // The capture callback saw the encoder gone and ended the capture; the child is reaped.
    QVERIFY(waitFor([&] { return BASS_ChannelIsActive(ch) == 0; }, 2000));
    QVERIFY(childProcesses("lame").isEmpty());
    BASS_ChannelStop(ch);
    BASS_Layer_WaitForNotifications();
    QCOMPARE(notices.get().size(), size_t(1));
}

void TestEncoder::stoppedEncoderDoesNotHangTheStop()
{
    const HRECORD ch = BASS_RecordStart(44100, 2, 0, nullptr, nullptr);
    const HENCODE enc = BASS_Encode_Start(
        ch, lameCommand, BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    QVERIFY(enc != 0);
    Notices notices;
    BASS_Encode_SetNotify(enc, notifyProc, &notices);
    const QList<pid_t> lames = childProcesses("lame");
    QCOMPARE(lames.size(), 1);
    ::kill(lames.first(), SIGSTOP);
    QTest::qWait(500); // the pipe fills; the capture must go on regardless
    QVERIFY(BASS_ChannelIsActive(ch) != 0);
    QCOMPARE(BASS_ChannelStop(ch), BASS_TRUE);
    QVERIFY(childProcesses("lame").isEmpty());
    BASS_Layer_WaitForNotifications();
    QVERIFY(notices.get().empty()); // a stop is no death
}

QTEST_GUILESS_MAIN(TestEncoder)
#include "tst_encoder.moc"
