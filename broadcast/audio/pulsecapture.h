#pragma once
// Capture from the sound server's default source (PulseAudio, or PipeWire through its
// PulseAudio server): 44.1 kHz, 2 channels, s16le, on a thread of its own (a threaded main
// loop per capture), in blocks of 1152 sample frames (an MP3 frame, about 26 ms at 44.1 kHz),
// each handed on as soon as it is complete.
//
// Once started, the capture outlives its server: when the connection or the stream fails, or
// no audio comes for a while, it is "lost" and reconnects by itself (a try every 300 ms), and
// meanwhile hands on blocks of silence at the pace of the clock, so that what it feeds (an
// encoder, a cast) keeps running. It records from whatever source is the default, and follows
// the default when it changes.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_time_event;

class PulseCapture {
public:
    // Called on the capture thread for each block; false ends the capture.
    using BlockFn = std::function<bool(const void* data, std::size_t bytes)>;
    // Called on the capture thread once, when the block function said false. Not called after
    // stop(), nor for a lost server (the capture goes on, see above).
    using EndFn = std::function<void()>;

    PulseCapture() = default;
    ~PulseCapture(); // stop()
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    // Connects and starts recording. False, with error() set, when no server answers within
    // timeoutMs or the source refuses the stream.
    bool start(std::uint32_t rate, std::uint32_t channels, BlockFn onBlock, EndFn onEnd,
               int timeoutMs = 5000);
    // Ends the capture and its thread. Must not be called on the capture thread.
    void stop();
    // True on the capture's own thread (from inside the block function).
    bool onCaptureThread() const;

    bool isActive() const { return m_active.load(); }
    // True while the capture has lost its server or device and is reconnecting; it stays
    // active meanwhile.
    bool isLost() const { return m_lost.load(); }
    // Peak levels of the most recent block, 0..32768: left low 16 bits, right high.
    std::uint32_t level() const { return m_level.load(); }
    const std::string& error() const { return m_error; }

    // Whether a PulseAudio server answers (connects and disconnects a context).
    static bool serverAnswers(std::string* error, int timeoutMs = 3000);

private:
    // All of these run with the loop locked, on the capture thread but for start() and stop().
    struct Hooks; // libpulse's callbacks
    static void streamRead(pa_stream* s, std::size_t bytes, void* self);
    bool openContext();
    bool openStream();
    void dropStream();
    void dropContext();
    void recover();                    // one step towards a running stream
    void lose(const std::string& why); // the capture is lost: log, silence from now on
    void feedSilence(std::uint64_t now);
    void arm(pa_time_event* event, std::uint64_t delayNs);
    void endByItself();

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_retryTimer = nullptr; // recover() while not capturing
    pa_time_event* m_paceTimer = nullptr;  // no-audio watch, then the silence's pace
    std::uint32_t m_rate = 44100;
    bool m_recovering = false;        // start() is done: failures are recovered from
    std::uint64_t m_contextSince = 0; // monotonic ns
    std::uint64_t m_streamSince = 0;
    bool m_streamHeard = false;    // the stream brought audio
    std::uint64_t m_lastAudio = 0; // when audio from the server was last handed on
    std::uint64_t m_lostSince = 0;
    bool m_feeding = false; // silence is being handed on
    std::uint64_t m_silenceFrom = 0;
    std::uint64_t m_silenceBlocks = 0;
    bool m_renewStream = false; // the default source changed
    std::string m_followed;     // the default source last followed
    std::vector<unsigned char> m_silence;
    BlockFn m_onBlock;
    EndFn m_onEnd;
    std::uint32_t m_channels = 2;
    std::vector<unsigned char> m_block; // used on the capture thread only
    std::size_t m_blockBytes = 4608;
    std::uint64_t m_bytesPerSecond = 176400;
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_lost{false};
    std::atomic<std::uint32_t> m_level{0};
    std::string m_error;
};
