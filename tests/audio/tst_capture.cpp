// Capture from a private PulseAudio server: blocks, levels, ending, freeing; and the layer's
// answers when there is no server at all.
#include "audiotesthelpers.h"
#include "bass.h"
#include "bassenc.h"
#include "pulseserver.h"

#include <QtTest>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace audiotest;

namespace {

struct Blocks {
    std::atomic<int> count{0};
    std::atomic<int> offMainThread{0};
    std::atomic<int> stopAfter{-1}; // return FALSE at this block
    std::mutex mutex;
    std::vector<DWORD> sizes;
    std::thread::id main = std::this_thread::get_id();
};

BOOL recordProc(HRECORD, const void*, DWORD length, void* user)
{
    auto* b = static_cast<Blocks*>(user);
    const int n = ++b->count;
    if (std::this_thread::get_id() != b->main)
        ++b->offMainThread;
    {
        std::lock_guard lock(b->mutex);
        b->sizes.push_back(length);
    }
    return b->stopAfter.load() == n ? BASS_FALSE : BASS_TRUE;
}

} // namespace

class TestCapture : public QObject {
    Q_OBJECT
private slots:
    void noServerFailsCleanly();
    void versionWord();
    void blocksAndLevelsOffTheGuiThread();
    void callbackFalseEndsTheCapture();
    void stopAndFreeEndEveryCapture();
};

void TestCapture::noServerFailsCleanly()
{
    const QByteArray old = qgetenv("PULSE_SERVER");
    QTemporaryDir dir;
    qputenv("PULSE_SERVER", ("unix:" + dir.path() + "/nothing-here").toLocal8Bit());
    const int fds = openDescriptors();
    const int threads = threadCount();
    QElapsedTimer t;
    t.start();
    QCOMPARE(BASS_RecordInit(-1), BASS_FALSE);
    QVERIFY(t.elapsed() < 3000);
    QVERIFY(QByteArray(BASS_LastErrorText()).size() > 0);
    QCOMPARE(BASS_RecordStart(44100, 2, 0, recordProc, nullptr), HRECORD(0));
    QCOMPARE(BASS_ChannelGetLevel(12345), 0xFFFFFFFFu);
    QCOMPARE(BASS_ChannelIsActive(12345), DWORD(0));
    QCOMPARE(BASS_Encode_IsActive(12345), DWORD(0));
    QCOMPARE(BASS_Encode_Start(12345, "lame -r -s 44100 -b 128 -", 0x40001, nullptr, nullptr),
             HENCODE(0));
    QCOMPARE(BASS_Encode_CastGetStats(12345, BASS_ENCODE_STATS_ICE, nullptr), nullptr);
    QCOMPARE(BASS_ChannelStop(12345), BASS_FALSE);
    QCOMPARE(BASS_RecordFree(), BASS_TRUE);
    QCOMPARE(openDescriptors(), fds);
    QVERIFY(waitFor([&] { return threadCount() <= threads + 1; }, 2000)); // + the layer's own
    qputenv("PULSE_SERVER", old);
}

void TestCapture::versionWord()
{
    QCOMPARE(BASS_GetVersion() >> 16, DWORD(0x0204));
    BASS_SetReportedVersionForTesting(0x02030000);
    QCOMPARE(BASS_GetVersion() >> 16, DWORD(0x0203));
    BASS_SetReportedVersionForTesting(0);
    QCOMPARE(BASS_GetVersion() >> 16, DWORD(0x0204));
}

void TestCapture::blocksAndLevelsOffTheGuiThread()
{
    PulseServer pulse;
    QVERIFY2(pulse.isRunning(), qPrintable(pulse.error()));
    QVERIFY(pulse.playTone(8000));
    QCOMPARE(BASS_RecordInit(-1), BASS_TRUE);
    Blocks b;
    const HRECORD h = BASS_RecordStart(44100, 2, 0, recordProc, &b);
    QVERIFY2(h != 0, BASS_LastErrorText());
    QVERIFY(BASS_ChannelIsActive(h) != 0);
    QVERIFY(waitFor([&] { return b.count.load() >= 50; }, 5000));
    QCOMPARE(b.offMainThread.load(), b.count.load());
    {
        std::lock_guard lock(b.mutex);
        // Whole MP3 frames of 44.1 kHz stereo 16-bit (1152 frames, 4608 bytes), nearly always
        // one at a time.
        int single = 0;
        for (DWORD s : b.sizes) {
            QVERIFY(s % 4608 == 0 && s > 0);
            if (s == 4608)
                ++single;
        }
        QString all;
        for (DWORD s : b.sizes)
            all += QString::number(s) + QLatin1Char(' ');
        QVERIFY2(single * 10 >= int(b.sizes.size()) * 8, qPrintable(all));
    }
    // The tone's peak is 8000 of 32767 on both channels.
    QVERIFY(waitFor(
        [&] {
            const DWORD level = BASS_ChannelGetLevel(h);
            const int l = level & 0xFFFF, r = level >> 16;
            return level != 0xFFFFFFFFu && l > 7000 && l < 9000 && r > 7000 && r < 9000;
        },
        3000));
    // Silence now: the level follows the most recent audio.
    pulse.stopPlaying();
    QVERIFY(waitFor([&] { return (BASS_ChannelGetLevel(h) & 0xFFFF) < 100; }, 3000));
    QCOMPARE(BASS_ChannelStop(h), BASS_TRUE);
    QCOMPARE(BASS_ChannelIsActive(h), DWORD(0));
    QCOMPARE(BASS_ChannelGetLevel(h), 0xFFFFFFFFu);
    const int after = b.count.load();
    QTest::qWait(100);
    QCOMPARE(b.count.load(), after);
    BASS_RecordFree();
}

void TestCapture::callbackFalseEndsTheCapture()
{
    PulseServer pulse;
    QVERIFY2(pulse.isRunning(), qPrintable(pulse.error()));
    QVERIFY(pulse.playTone());
    QCOMPARE(BASS_RecordInit(-1), BASS_TRUE);
    Blocks b;
    b.stopAfter = 5;
    const HRECORD h = BASS_RecordStart(44100, 2, 0, recordProc, &b);
    QVERIFY(h != 0);
    QVERIFY(waitFor([&] { return BASS_ChannelIsActive(h) == 0; }, 3000));
    QCOMPARE(BASS_ChannelGetLevel(h), 0xFFFFFFFFu);
    QTest::qWait(100);
    QCOMPARE(b.count.load(), 5);
    BASS_RecordFree();
}

void TestCapture::stopAndFreeEndEveryCapture()
{
    PulseServer pulse;
    QVERIFY2(pulse.isRunning(), qPrintable(pulse.error()));
    QVERIFY(pulse.playTone());
    QCOMPARE(BASS_RecordInit(-1), BASS_TRUE);
    // Warm up once, so that the counts below see only what the captures themselves hold.
    BASS_ChannelStop(BASS_RecordStart(44100, 2, 0, nullptr, nullptr));
    const int fds = openDescriptors();
    const int threads = threadCount();
    Blocks a, b;
    const HRECORD ha = BASS_RecordStart(44100, 2, 0, recordProc, &a);
    const HRECORD hb = BASS_RecordStart(44100, 2, 0, recordProc, &b);
    QVERIFY(ha && hb && ha != hb);
    QVERIFY(waitFor([&] { return a.count > 5 && b.count > 5; }, 3000));
    QCOMPARE(BASS_RecordFree(), BASS_TRUE);
    QCOMPARE(BASS_ChannelIsActive(ha), DWORD(0));
    QCOMPARE(BASS_ChannelIsActive(hb), DWORD(0));
    // Freed means no capture starts until the device is initialised again.
    QCOMPARE(BASS_RecordStart(44100, 2, 0, recordProc, &a), HRECORD(0));
    QCOMPARE(openDescriptors(), fds);
    QVERIFY(waitFor([&] { return threadCount() == threads; }, 2000));
    // A handle is never handed out twice.
    QCOMPARE(BASS_RecordInit(-1), BASS_TRUE);
    const HRECORD hc = BASS_RecordStart(44100, 2, 0, nullptr, nullptr);
    QVERIFY(hc != 0 && hc != ha && hc != hb);
    QCOMPARE(BASS_ChannelIsActive(ha), DWORD(0));
    BASS_RecordFree();
}

QTEST_GUILESS_MAIN(TestCapture)
#include "tst_capture.moc"
