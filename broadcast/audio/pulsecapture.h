#pragma once
// Capture from PulseAudio's default source: 44.1 kHz, 2 channels, s16le, on a thread of its
// own (a threaded main loop per capture), in blocks of 1152 sample frames (an MP3 frame, about
// 26 ms at 44.1 kHz), each handed on as soon as it is complete.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

class PulseCapture {
public:
    // Called on the capture thread for each block; false ends the capture.
    using BlockFn = std::function<bool(const void* data, std::size_t bytes)>;
    // Called on the capture thread once, when the capture ended by itself (the block function
    // said false, or the stream failed). Not called after stop().
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
    static void contextState(pa_context* c, void* self);
    static void streamState(pa_stream* s, void* self);
    static void streamRead(pa_stream* s, std::size_t bytes, void* self);
    void endByItself();

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
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
