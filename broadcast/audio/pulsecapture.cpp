#include "pulsecapture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <pthread.h>
#include <pulse/pulseaudio.h>

#include "wllog.h"

namespace {

// Blocks are whole MP3 frames (1152 samples each).
constexpr std::size_t framesPerBlock = 1152;
// Shorter waits for the rest of a block are not worth a timer.
constexpr std::uint64_t pauseAtLeastNs = 2000000;
constexpr std::uint64_t ms = 1000000; // in ns
// While lost, a try to reconnect this often.
constexpr std::uint64_t retryNs = 300 * ms;
// No audio for this long while the stream runs counts as lost (a server that hangs, a stream
// that the server left unconnected).
// (A new stream from a monitor source may take half a second for its first audio.)
constexpr std::uint64_t silentServerNs = 1000 * ms;
constexpr std::uint64_t firstAudioNs = 2500 * ms; // for a new stream
// A shorter gap is left to the encoder's buffer; a longer one is filled with silence.
constexpr std::uint64_t gapNs = 150 * ms;
// A connection or a stream not ready after this long is given up and made anew; so is a
// stream that has brought no audio for this long.
constexpr std::uint64_t giveUpNs = 3000 * ms;
constexpr std::uint64_t renewSilentStreamNs = 2000 * ms;
// Silence that fell this far behind the clock (the thread did not run) is not caught up.
constexpr std::uint64_t catchUpAtMostNs = 1000 * ms;

std::uint64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(t.tv_nsec);
}

std::string paError(pa_context* c)
{
    return c ? std::string(pa_strerror(pa_context_errno(c))) : std::string("no context");
}

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

struct PulseCapture::Hooks {
    static void contextState(pa_context* c, void* self)
    {
        auto* me = static_cast<PulseCapture*>(self);
        pa_threaded_mainloop_signal(me->m_loop, 0);
        if (c != me->m_context)
            return;
        const pa_context_state_t state = pa_context_get_state(c);
        if (state == PA_CONTEXT_READY) {
            pa_context_set_subscribe_callback(c, serverChanged, me);
            if (pa_operation* o =
                    pa_context_subscribe(c, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr))
                pa_operation_unref(o);
            if (me->m_recovering)
                me->arm(me->m_retryTimer, 0);
        } else if (!PA_CONTEXT_IS_GOOD(state) && me->m_recovering) {
            me->lose("the connection to the sound server failed: " + paError(c));
            me->arm(me->m_retryTimer, retryNs);
        }
    }

    static void streamState(pa_stream* s, void* self)
    {
        auto* me = static_cast<PulseCapture*>(self);
        pa_threaded_mainloop_signal(me->m_loop, 0);
        if (s != me->m_stream)
            return;
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (state == PA_STREAM_READY) {
            // The default may have changed while the stream was being made.
            if (pa_operation* o = pa_context_get_server_info(me->m_context, serverInfo, me))
                pa_operation_unref(o);
        } else if (!PA_STREAM_IS_GOOD(state) && me->m_recovering) {
            me->lose("the recording stream failed: " + paError(me->m_context));
            me->arm(me->m_retryTimer, retryNs);
        }
    }

    static void serverChanged(pa_context* c, pa_subscription_event_type_t type, std::uint32_t,
                              void* self)
    {
        auto* me = static_cast<PulseCapture*>(self);
        if (c != me->m_context ||
            (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER)
            return;
        if (pa_operation* o = pa_context_get_server_info(c, serverInfo, me))
            pa_operation_unref(o);
    }

    static void serverInfo(pa_context* c, const pa_server_info* info, void* self)
    {
        auto* me = static_cast<PulseCapture*>(self);
        if (c != me->m_context || !info || !info->default_source_name || !me->m_stream ||
            pa_stream_get_state(me->m_stream) != PA_STREAM_READY || !me->m_recovering)
            return;
        const std::string wanted = info->default_source_name;
        const char* device = pa_stream_get_device_name(me->m_stream);
        if (device && wanted == device) {
            me->m_followed = wanted;
            return;
        }
        // Once for each new default: should the server put the stream elsewhere, it stays
        // there rather than being made anew for ever.
        if (wanted == me->m_followed)
            return;
        me->m_followed = wanted;
        qCInfo(lcAudio, "capture: the default source is now %s (was %s), recording from it",
               wanted.c_str(), device ? device : "?");
        me->m_renewStream = true;
        me->arm(me->m_retryTimer, 0);
    }

    static void timer(pa_mainloop_api*, pa_time_event* e, const struct timeval*, void* self)
    {
        auto* me = static_cast<PulseCapture*>(self);
        if (e == me->m_retryTimer)
            me->recover();
        else
            me->feedSilence(nowNs());
    }
};

PulseCapture::~PulseCapture()
{
    stop();
}

void PulseCapture::arm(pa_time_event* event, std::uint64_t delayNs)
{
    if (!event)
        return;
    timeval tv{};
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, static_cast<pa_usec_t>(delayNs / 1000));
    // A wall-clock time is taken as that far from now on the monotonic clock.
    pa_threaded_mainloop_get_api(m_loop)->time_restart(event, &tv);
}

void PulseCapture::streamRead(pa_stream* s, std::size_t, void* self)
{
    auto* me = static_cast<PulseCapture*>(self);
    if (s != me->m_stream)
        return;
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
    const std::uint64_t now = static_cast<std::uint64_t>(arrived.tv_sec) * 1000000000ull +
                              static_cast<std::uint64_t>(arrived.tv_nsec);
    me->m_lastAudio = now;
    me->m_feeding = false;
    if (me->m_lost.exchange(false)) {
        const char* device = pa_stream_get_device_name(s);
        qCInfo(lcAudio, "capture: back, recording from %s after %.1f s without",
               device ? device : "the default source", double(now - me->m_lostSince) / 1e9);
    }
    me->m_streamHeard = true;
    me->arm(me->m_paceTimer, gapNs);
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
    std::uint64_t until = now + missingNs;
    const timespec t{static_cast<time_t>(until / 1000000000ull),
                     static_cast<long>(until % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

void PulseCapture::lose(const std::string& why)
{
    if (!m_active.load())
        return;
    if (!m_lost.exchange(true)) {
        m_lostSince = nowNs();
        m_level.store(0);
        qCWarning(lcAudio, "capture: lost (%s); reconnecting, silence meanwhile", why.c_str());
    }
    if (!m_feeding) {
        // Silence from the end of the last audio on, so that the stream keeps the clock's pace.
        m_feeding = true;
        m_silenceFrom = m_lastAudio;
        m_silenceBlocks = 0;
        m_block.clear();
        feedSilence(nowNs());
    }
}

void PulseCapture::feedSilence(std::uint64_t now)
{
    if (!m_active.load())
        return;
    // The watch: a gap in the audio is filled with silence at once; a long one is a loss.
    const std::uint64_t quiet = now - m_lastAudio;
    const std::uint64_t lostAfter = m_streamHeard ? silentServerNs : firstAudioNs;
    if (!m_lost.load() && quiet >= lostAfter) {
        lose("no audio from the sound server for " + std::to_string(quiet / ms) + " ms");
        arm(m_retryTimer, 0);
        return; // lose() fed what was due
    }
    if (!m_feeding) {
        if (quiet < gapNs) {
            arm(m_paceTimer, m_lastAudio + gapNs - now);
            return;
        }
        m_feeding = true;
        m_silenceFrom = m_lastAudio;
        m_silenceBlocks = 0;
    }
    const auto due = [&](std::uint64_t n) {
        return m_silenceFrom + n * framesPerBlock * 1000000000ull / m_rate;
    };
    if (now > due(m_silenceBlocks + 1) + catchUpAtMostNs) {
        m_silenceFrom = now;
        m_silenceBlocks = 0;
    }
    while (due(m_silenceBlocks + 1) <= now) {
        ++m_silenceBlocks;
        m_level.store(0);
        if (!m_onBlock(m_silence.data(), m_silence.size())) {
            endByItself();
            return;
        }
    }
    arm(m_paceTimer, due(m_silenceBlocks + 1) - now);
}

bool PulseCapture::openContext()
{
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "capture");
    if (!m_context) {
        if (!m_recovering)
            m_error = "no context";
        return false;
    }
    m_contextSince = nowNs();
    pa_context_set_state_callback(m_context, Hooks::contextState, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        if (!m_recovering) // only start() reports
            m_error = "PulseAudio: " + paError(m_context);
        dropContext();
        return false;
    }
    return true;
}

bool PulseCapture::openStream()
{
    pa_sample_spec sampleSpec{PA_SAMPLE_S16LE, m_rate, static_cast<std::uint8_t>(m_channels)};
    m_stream = pa_stream_new(m_context, "capture", &sampleSpec, nullptr);
    if (!m_stream) {
        if (!m_recovering) // only start() reports
            m_error = "PulseAudio: " + paError(m_context);
        return false;
    }
    m_streamSince = nowNs();
    m_streamHeard = false;
    m_renewStream = false;
    pa_stream_set_state_callback(m_stream, Hooks::streamState, this);
    pa_stream_set_read_callback(m_stream, streamRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(20000, &sampleSpec));
    // No device: the default source, which the server may move the stream along with.
    if (pa_stream_connect_record(m_stream, nullptr, &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        if (!m_recovering) // only start() reports
            m_error = "PulseAudio: " + paError(m_context);
        dropStream();
        return false;
    }
    return true;
}

void PulseCapture::dropStream()
{
    if (!m_stream)
        return;
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
        pa_stream_disconnect(m_stream);
    pa_stream_unref(m_stream);
    m_stream = nullptr;
    m_block.clear();
}

void PulseCapture::dropContext()
{
    if (!m_context)
        return;
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
}

void PulseCapture::recover()
{
    if (!m_recovering || !m_active.load())
        return;
    const std::uint64_t now = nowNs();
    const pa_context_state_t cs = m_context ? pa_context_get_state(m_context) : PA_CONTEXT_FAILED;
    const pa_stream_state_t ss = m_stream ? pa_stream_get_state(m_stream) : PA_STREAM_FAILED;
    bool anew =
        !PA_CONTEXT_IS_GOOD(cs) || (cs != PA_CONTEXT_READY && now - m_contextSince >= giveUpNs);
    bool newStream = false;
    if (!anew && cs == PA_CONTEXT_READY) {
        if (!PA_STREAM_IS_GOOD(ss) || m_renewStream)
            newStream = true;
        else {
            // A stream that never gets ready, or a ready one that brings nothing: a server
            // that hangs, or left the stream unconnected.
            const bool neverReady = ss != PA_STREAM_READY && now - m_streamSince >= giveUpNs;
            const bool silent =
                ss == PA_STREAM_READY && m_lost.load() && now - m_lastAudio >= silentServerNs &&
                now - m_streamSince >= (m_streamHeard ? renewSilentStreamNs : firstAudioNs);
            anew = neverReady || silent;
        }
    }
    if (anew) {
        dropStream();
        dropContext();
        openContext(); // on failure, the next try comes below
    } else if (newStream) {
        dropStream();
        openStream();
    }
    // Tries go on while the capture is not back; a good connection comes back sooner, by
    // its state callback.
    if (m_lost.load() || !m_stream || pa_stream_get_state(m_stream) != PA_STREAM_READY)
        arm(m_retryTimer, retryNs);
}

void PulseCapture::endByItself()
{
    if (!m_active.exchange(false))
        return;
    m_recovering = false;
    m_feeding = false;
    if (m_stream)
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    api->time_restart(m_retryTimer, nullptr);
    api->time_restart(m_paceTimer, nullptr);
    if (m_onEnd)
        m_onEnd();
}

bool PulseCapture::start(std::uint32_t rate, std::uint32_t channels, BlockFn onBlock, EndFn onEnd,
                         int timeoutMs)
{
    stop();
    m_onBlock = std::move(onBlock);
    m_onEnd = std::move(onEnd);
    m_rate = rate;
    m_channels = channels == 1 ? 1 : 2;
    m_level.store(0);
    m_lost.store(false);
    m_block.clear();
    m_blockBytes = framesPerBlock * 2 * m_channels;
    m_silence.assign(m_blockBytes, 0);
    m_bytesPerSecond = static_cast<std::uint64_t>(rate) * 2 * m_channels;
    m_recovering = false;
    m_feeding = false;
    m_renewStream = false;
    m_followed.clear();
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop) {
        m_error = "no main loop";
        return false;
    }
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    m_retryTimer = api->time_new(api, nullptr, Hooks::timer, this);
    m_paceTimer = api->time_new(api, nullptr, Hooks::timer, this);
    if (!openContext()) {
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
        m_error = ok ? "PulseAudio: " + paError(m_context) : std::string("PulseAudio: no answer");
        pa_threaded_mainloop_unlock(m_loop);
        stop();
        return false;
    }
    m_active.store(true);
    if (!openStream()) {
        m_active.store(false);
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
        m_error = ok ? "PulseAudio: " + paError(m_context)
                     : std::string("PulseAudio: the source does not answer");
        pa_threaded_mainloop_unlock(m_loop);
        stop();
        return false;
    }
    m_recovering = true;
    m_lastAudio = nowNs();
    arm(m_paceTimer, gapNs);
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
    m_recovering = false;
    m_feeding = false;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(m_loop);
    for (pa_time_event** t : {&m_retryTimer, &m_paceTimer}) {
        if (*t)
            api->time_free(*t);
        *t = nullptr;
    }
    dropStream();
    dropContext();
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
    m_loop = nullptr;
    m_level.store(0);
    m_lost.store(false);
}

bool PulseCapture::serverAnswers(std::string* error, int timeoutMs)
{
    struct LoopFree {
        void operator()(pa_threaded_mainloop* l) const { pa_threaded_mainloop_free(l); }
    };
    struct ContextUnref {
        void operator()(pa_context* c) const { pa_context_unref(c); }
    };
    // Freed in reverse order: the context, then its (stopped) loop.
    const std::unique_ptr<pa_threaded_mainloop, LoopFree> ownLoop(pa_threaded_mainloop_new());
    pa_threaded_mainloop* loop = ownLoop.get();
    if (!loop)
        return false;
    const std::unique_ptr<pa_context, ContextUnref> ownCtx(
        pa_context_new(pa_threaded_mainloop_get_api(loop), "probe"));
    pa_context* ctx = ownCtx.get();
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
    return ok;
}
