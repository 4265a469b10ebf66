#include "pulsecapture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <pulse/pulseaudio.h>

namespace {

// Blocks are whole MP3 frames (1152 samples each).
constexpr std::size_t framesPerBlock = 1152;
// Shorter waits for the rest of a block are not worth a timer.
constexpr std::uint64_t pauseAtLeastNs = 2000000;

// Threads created while this lives start with SIGPIPE blocked: a capture thread writes into
// the encoder's pipe, whose reader may be gone.
struct SigpipeBlockedHere {
    sigset_t old;
    SigpipeBlockedHere()
    {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &s, &old);
    }
    ~SigpipeBlockedHere() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

struct WaitState {
    pa_threaded_mainloop* loop;
    bool timedOut = false;
};

void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user)
{
    auto* w = static_cast<WaitState*>(user);
    w->timedOut = true;
    pa_threaded_mainloop_signal(w->loop, 0);
}

// Waits, with the loop locked, until done() holds or timeoutMs pass. False on time-out.
template <typename Done>
bool waitLocked(pa_threaded_mainloop* loop, pa_context* ctx, int timeoutMs, Done done)
{
    WaitState w{loop};
    pa_time_event* t = pa_context_rttime_new(
        ctx, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutMs) * 1000, onTimeout, &w);
    while (!done() && !w.timedOut)
        pa_threaded_mainloop_wait(loop);
    if (t)
        pa_threaded_mainloop_get_api(loop)->time_free(t);
    return !w.timedOut || done();
}

bool contextSettled(pa_context* c)
{
    const pa_context_state_t s = pa_context_get_state(c);
    return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
}

} // namespace

PulseCapture::~PulseCapture()
{
    stop();
}

void PulseCapture::contextState(pa_context*, void* self)
{
    pa_threaded_mainloop_signal(static_cast<PulseCapture*>(self)->m_loop, 0);
}

void PulseCapture::streamState(pa_stream* s, void* self)
{
    auto* me = static_cast<PulseCapture*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s)) && me->m_active.load())
        me->endByItself();
    pa_threaded_mainloop_signal(me->m_loop, 0);
}

void PulseCapture::streamRead(pa_stream* s, std::size_t, void* self)
{
    auto* me = static_cast<PulseCapture*>(self);
    timespec arrived{};
    clock_gettime(CLOCK_MONOTONIC, &arrived);
    // The server hands the audio over in pieces as small as its busiest client asks for
    // (a player with 20 ms of latency makes them 5 ms). They are gathered into blocks of whole
    // MP3 frames: an MP3 encoder can do nothing with less, so nothing is gained by waking it
    // (or this thread) more often.
    std::vector<unsigned char>& block = me->m_block;
    while (pa_stream_readable_size(s) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
            break;
        if (data)
            block.insert(block.end(), static_cast<const unsigned char*>(data),
                         static_cast<const unsigned char*>(data) + bytes);
        pa_stream_drop(s);
    }
    if (!me->m_active.load()) {
        block.clear();
        return;
    }
    const std::size_t blockBytes = me->m_blockBytes;
    if (block.size() < blockBytes)
        return;
    const std::size_t bytes = block.size() - block.size() % blockBytes;
    const auto* p = reinterpret_cast<const std::int16_t*>(block.data());
    const std::size_t frames = bytes / (2 * me->m_channels);
    std::int32_t l = 0, r = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        l = std::max<std::int32_t>(l, std::abs(static_cast<std::int32_t>(p[0])));
        if (me->m_channels > 1)
            r = std::max<std::int32_t>(r, std::abs(static_cast<std::int32_t>(p[1])));
        p += me->m_channels;
    }
    if (me->m_channels == 1)
        r = l;
    me->m_level.store(static_cast<std::uint32_t>(l) | (static_cast<std::uint32_t>(r) << 16));
    const bool goOn = me->m_onBlock(block.data(), bytes);
    block.erase(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(bytes));
    if (!goOn) {
        me->endByItself();
        return;
    }
    // The next block cannot be complete before its missing audio has been played: until then
    // the pieces may wait in the socket, and are read at once, in one wake-up instead of one
    // each. (stop() waits for this pause, a block at most.)
    const std::uint64_t missingNs = static_cast<std::uint64_t>(blockBytes - block.size()) *
                                    1000000000ull / me->m_bytesPerSecond;
    if (missingNs < pauseAtLeastNs)
        return;
    std::uint64_t until = static_cast<std::uint64_t>(arrived.tv_sec) * 1000000000ull +
                          static_cast<std::uint64_t>(arrived.tv_nsec) + missingNs;
    const timespec t{static_cast<time_t>(until / 1000000000ull),
                     static_cast<long>(until % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

void PulseCapture::endByItself()
{
    if (!m_active.exchange(false))
        return;
    if (m_stream)
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    if (m_onEnd)
        m_onEnd();
}

bool PulseCapture::start(std::uint32_t rate, std::uint32_t channels, BlockFn onBlock, EndFn onEnd,
                         int timeoutMs)
{
    stop();
    m_onBlock = std::move(onBlock);
    m_onEnd = std::move(onEnd);
    m_channels = channels == 1 ? 1 : 2;
    m_level.store(0);
    m_block.clear();
    m_blockBytes = framesPerBlock * 2 * m_channels;
    m_bytesPerSecond = static_cast<std::uint64_t>(rate) * 2 * m_channels;
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop) {
        m_error = "no main loop";
        return false;
    }
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "capture");
    if (!m_context) {
        m_error = "no context";
        stop();
        return false;
    }
    pa_context_set_state_callback(m_context, contextState, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        m_error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(m_context));
        stop();
        return false;
    }
    pa_threaded_mainloop_lock(m_loop);
    {
        SigpipeBlockedHere blocked;
        if (pa_threaded_mainloop_start(m_loop) < 0) {
            pa_threaded_mainloop_unlock(m_loop);
            m_error = "cannot start the capture thread";
            stop();
            return false;
        }
    }
    bool ok = waitLocked(m_loop, m_context, timeoutMs, [&] { return contextSettled(m_context); });
    if (!ok || pa_context_get_state(m_context) != PA_CONTEXT_READY) {
        m_error = ok ? std::string("PulseAudio: ") + pa_strerror(pa_context_errno(m_context))
                     : std::string("PulseAudio: no answer");
        pa_threaded_mainloop_unlock(m_loop);
        stop();
        return false;
    }
    pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, rate, static_cast<std::uint8_t>(m_channels)};
    m_stream = pa_stream_new(m_context, "capture", &sampleSpec, nullptr);
    if (!m_stream) {
        m_error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(m_context));
        pa_threaded_mainloop_unlock(m_loop);
        stop();
        return false;
    }
    pa_stream_set_state_callback(m_stream, streamState, this);
    pa_stream_set_read_callback(m_stream, streamRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(20000, &sampleSpec));
    m_active.store(true);
    if (pa_stream_connect_record(m_stream, nullptr, &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        m_active.store(false);
        m_error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(m_context));
        pa_threaded_mainloop_unlock(m_loop);
        stop();
        return false;
    }
    ok = waitLocked(m_loop, m_context, timeoutMs, [&] {
        const pa_stream_state_t s = pa_stream_get_state(m_stream);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    });
    if (!ok || pa_stream_get_state(m_stream) != PA_STREAM_READY) {
        m_active.store(false);
        m_error = ok ? std::string("PulseAudio: ") + pa_strerror(pa_context_errno(m_context))
                     : std::string("PulseAudio: the source does not answer");
        pa_threaded_mainloop_unlock(m_loop);
        stop();
        return false;
    }
    pa_threaded_mainloop_unlock(m_loop);
    return true;
}

bool PulseCapture::onCaptureThread() const
{
    return m_loop && pa_threaded_mainloop_in_thread(m_loop);
}

void PulseCapture::stop()
{
    m_active.store(false);
    if (!m_loop)
        return;
    pa_threaded_mainloop_lock(m_loop);
    if (m_stream) {
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
    }
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
    m_loop = nullptr;
    m_level.store(0);
}

bool PulseCapture::serverAnswers(std::string* error, int timeoutMs)
{
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    if (!loop)
        return false;
    pa_context* ctx = pa_context_new(pa_threaded_mainloop_get_api(loop), "probe");
    bool ok = false;
    if (ctx && pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        pa_context_set_state_callback(
            ctx,
            [](pa_context*, void* l) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0);
            },
            loop);
        pa_threaded_mainloop_lock(loop);
        if (pa_threaded_mainloop_start(loop) >= 0) {
            waitLocked(loop, ctx, timeoutMs, [&] { return contextSettled(ctx); });
            ok = pa_context_get_state(ctx) == PA_CONTEXT_READY;
        }
        if (!ok && error)
            *error = std::string("PulseAudio: ") + pa_strerror(pa_context_errno(ctx));
        pa_context_set_state_callback(ctx, nullptr, nullptr);
        pa_context_disconnect(ctx);
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
    } else if (error) {
        *error = ctx ? std::string("PulseAudio: ") + pa_strerror(pa_context_errno(ctx))
                     : std::string("no context");
    }
    if (ctx)
        pa_context_unref(ctx);
    pa_threaded_mainloop_free(loop);
    return ok;
}
