#include "shoutcast.h"
#include "castsocket.h"
#include "netkit.h"
#include "wllog.h"

#include <algorithm>
#include <poll.h>
#include <shout/shout.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t maxQueue = 256 * 1024;     // ours: about 16 s at 128 kbit/s
constexpr std::size_t maxShoutQueue = 64 * 1024; // libshout's own, before we hold back
constexpr std::size_t sendChunk = 16 * 1024;
constexpr int icyConfirmMs = 600; // a SHOUTcast source refused after the greeting is closed by then
// Small enough that a server which stops taking data fills it within a second or two.
constexpr int kernelSendBuffer = 32 * 1024;
constexpr std::uint32_t windowSlack = 2048; // two steps of a scaled window

// One source connection opens at a time, so that its socket can be told from others.
std::mutex openMutex;

// Whether the peer has closed the connection (or it failed).
bool peerClosed(int fd)
{
    if (fd < 0)
        return false;
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void ensureShoutLibrary()
{
    static const bool once = [] {
        netkit::ignoreBrokenPipes();
        shout_init();
        return true;
    }();
    (void)once;
}

long long msSinceEpoch()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

QString where(const CastSettings& s)
{
    return QStringLiteral("%1:%2%3")
        .arg(QString::fromStdString(s.address.host))
        .arg(s.address.port)
        .arg(s.address.shoutcast ? QStringLiteral(" (SHOUTcast)")
                                 : QString::fromStdString(s.address.mount));
}

} // namespace

ShoutCast::ShoutCast(CastSettings settings) : m_settings(std::move(settings)) {}

ShoutCast::~ShoutCast()
{
    stop();
}

void ShoutCast::ShoutHandle::reset(shout_t* s)
{
    if (m_p)
        shout_free(m_p);
    m_p = s;
}

std::string ShoutCast::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

void ShoutCast::setError(std::string text)
{
    std::lock_guard lock(m_mutex);
    m_error = std::move(text);
}

bool ShoutCast::open(DeathFn onDeath, int timeoutMs)
{
    {
        std::lock_guard lock(m_stopMutex);
        if (m_thread.joinable())
            return false;
        ensureShoutLibrary();
        m_onDeath = std::move(onDeath);
        m_thread = std::thread([this, timeoutMs] { run(timeoutMs); });
    }
    std::unique_lock lock(m_mutex);
    // The sender thread bounds the wait itself; the margin covers a slow name look-up.
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs + icyConfirmMs + 2000),
                  [this] { return m_open != Open::Pending || m_quit; });
    const bool taken = m_open == Open::Taken && !m_quit;
    const std::string why = m_error.empty() ? "the server does not answer" : m_error;
    if (!taken && m_error.empty())
        m_error = why;
    lock.unlock();
    if (taken) {
        qCInfo(lcCast).noquote() << "on the air at" << where(m_settings);
        auto titles = std::make_unique<TitleSender>(
            m_settings.address, m_settings.password,
            [this](bool answered, Clock::time_point askedAt) { noteRequest(answered, askedAt); });
        std::lock_guard titlesLock(m_titlesMutex);
        m_titles = std::move(titles);
    } else {
        qCWarning(lcCast).noquote()
            << "source refused by" << where(m_settings) << "-" << QString::fromStdString(why);
        stop();
    }
    return taken;
}

void ShoutCast::send(const unsigned char* data, std::size_t bytes)
{
    bool live = false;
    {
        std::lock_guard lock(m_mutex);
        // Before the server answered, data waits (bounded); after a death it goes nowhere.
        if (m_quit || (m_open == Open::Refused) || (m_open == Open::Taken && !m_alive.load()))
            return;
        m_queue.insert(m_queue.end(), data, data + bytes);
        if (m_queue.size() > maxQueue) {
            const std::size_t drop = m_queue.size() - maxQueue;
            m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(drop));
            m_dropped += drop;
        }
        live = m_open == Open::Taken;
    }
    if (live) {
        // Sent from here when the connection is free; the sender thread is woken only for
        // what stays behind (or a failure).
        std::unique_lock shout(m_shoutMutex, std::try_to_lock);
        if (shout.owns_lock() && m_sendable) {
            if (pump()) {
                if (m_lastQueued <= 0) {
                    std::lock_guard lock(m_mutex);
                    if (m_queue.empty())
                        return;
                }
            } else {
                m_sendable = false;
                m_pumpFailed.store(true);
            }
        }
    }
    m_cv.notify_all();
}

void ShoutCast::noteRequest(bool answered, std::chrono::steady_clock::time_point askedAt)
{
    const long long asked =
        std::chrono::duration_cast<std::chrono::milliseconds>(askedAt.time_since_epoch()).count();
    if (answered) {
        m_httpSilentSinceMs.store(0);
        m_httpSilentCount.store(0);
        return;
    }
    long long expected = 0;
    m_httpSilentSinceMs.compare_exchange_strong(expected, asked);
    ++m_httpSilentCount;
}

void ShoutCast::setTitle(const std::string& title)
{
    std::lock_guard lock(m_titlesMutex);
    if (m_titles)
        m_titles->set(title);
}

void ShoutCast::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_cv.notify_all();
    std::unique_ptr<TitleSender> titles;
    {
        std::lock_guard lock(m_titlesMutex);
        titles.swap(m_titles);
    }
    titles.reset(); // abandons an update under way
    std::lock_guard lock(m_stopMutex);
    // The sender thread itself never stops its cast (its death notice is posted elsewhere).
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
    m_alive.store(false);
}

bool ShoutCast::connect(int timeoutMs)
{
    const CastSettings& s = m_settings;
    m_shout.reset(shout_new());
    if (!m_shout) {
        setError("out of memory");
        return false;
    }
    const unsigned format =
        s.contentType.find("ogg") != std::string::npos ? SHOUT_FORMAT_OGG : SHOUT_FORMAT_MP3;
    const std::string bitrate = std::to_string(s.bitrate);
    if (shout_set_host(m_shout, s.address.host.c_str()) != SHOUTERR_SUCCESS ||
        shout_set_port(m_shout, s.address.port) != SHOUTERR_SUCCESS ||
        shout_set_protocol(m_shout,
                           s.address.shoutcast ? SHOUT_PROTOCOL_ICY : SHOUT_PROTOCOL_HTTP) !=
            SHOUTERR_SUCCESS ||
        // Always a mount: a SHOUTcast title update without one crashes inside libshout.
        shout_set_mount(m_shout, s.address.mount.c_str()) != SHOUTERR_SUCCESS ||
        shout_set_user(m_shout, "source") != SHOUTERR_SUCCESS ||
        shout_set_password(m_shout, s.password.c_str()) != SHOUTERR_SUCCESS ||
        shout_set_content_format(m_shout, format, SHOUT_USAGE_AUDIO, nullptr) != SHOUTERR_SUCCESS ||
        shout_set_public(m_shout, s.isPublic ? 1 : 0) != SHOUTERR_SUCCESS ||
        shout_set_nonblocking(m_shout, 1) != SHOUTERR_SUCCESS) {
        setError(shout_get_error(m_shout));
        return false;
    }
    if (s.bitrate)
        (void)shout_set_audio_info(m_shout, SHOUT_AI_BITRATE, bitrate.c_str());
    (void)shout_set_audio_info(m_shout, SHOUT_AI_SAMPLERATE, "44100");
    (void)shout_set_audio_info(m_shout, SHOUT_AI_CHANNELS, "2");
    const std::pair<const char*, const std::string*> metas[] = {
        {SHOUT_META_NAME, &s.name},
        {SHOUT_META_URL, &s.url},
        {SHOUT_META_GENRE, &s.genre},
        {SHOUT_META_DESCRIPTION, &s.description}};
    for (const auto& [key, value] : metas)
        if (!value->empty())
            (void)shout_set_meta(m_shout, key, value->c_str());

    std::lock_guard opening(openMutex);
    const std::set<ino_t> before = castsocket::openSockets();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int rc = shout_open(m_shout);
    while (rc == SHOUTERR_BUSY || rc == SHOUTERR_RETRY) {
        if (Clock::now() >= deadline) {
            setError("the server does not answer");
            shout_close(m_shout);
            return false;
        }
        {
            std::unique_lock lock(m_mutex);
            if (m_cv.wait_for(lock, std::chrono::milliseconds(10), [this] { return m_quit; })) {
                m_error = "stopped";
                lock.unlock();
                shout_close(m_shout);
                return false;
            }
        }
        rc = shout_get_connected(m_shout);
    }
    if (rc != SHOUTERR_SUCCESS && rc != SHOUTERR_CONNECTED) {
        setError(shout_get_error(m_shout));
        shout_close(m_shout);
        return false;
    }
    const int port = s.address.shoutcast ? s.address.port + 1 : s.address.port;
    m_fd = castsocket::findNewSocket(before, static_cast<std::uint16_t>(port));
    if (m_fd >= 0) {
        castsocket::limitSendBuffer(m_fd, kernelSendBuffer);
        castsocket::watchConnection(m_fd, userTimeoutMs);
        // Each MP3 frame goes out when it is ready, not when the previous one is acknowledged.
        castsocket::noDelay(m_fd);
    }
    return true;
}

bool ShoutCast::pump()
{
    // What waits in libshout, then more of ours while libshout's own queue stays short.
    m_chunk.clear();
    {
        std::lock_guard lock(m_mutex);
        const ssize_t queued = shout_queuelen(m_shout);
        if (queued >= 0 && static_cast<std::size_t>(queued) < maxShoutQueue) {
            const std::size_t n = std::min(sendChunk, m_queue.size());
            m_chunk.assign(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n));
            m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }
    int rc = SHOUTERR_SUCCESS;
    if (!m_chunk.empty())
        rc = shout_send(m_shout, m_chunk.data(), m_chunk.size());
    else if (shout_queuelen(m_shout) > 0)
        rc = shout_send(m_shout, nullptr, 0);
    if (rc != SHOUTERR_SUCCESS && rc != SHOUTERR_BUSY && rc != SHOUTERR_RETRY) {
        setError(shout_get_error(m_shout));
        return false;
    }
    const ssize_t queued = shout_queuelen(m_shout);
    const auto now = Clock::now();
    castsocket::Progress p;
    if (m_fd >= 0 && castsocket::progress(m_fd, &p)) {
        // The kernel tells: data acknowledged by the server, or nothing waiting for it.
        if (p.bytesAcked != m_lastAcked || (p.unacked == 0 && queued <= 0))
            m_lastProgress = now;
        m_lastAcked = p.bytesAcked;
        // A server process that reads keeps the window its kernel offers wide open. One that
        // has stopped reading (hung) leaves its kernel buffering for a long while (Linux grows
        // a receive buffer to megabytes), but the offered window starts to close: closed
        // below its widest for unreadSeconds, the server counts as hung.
        m_maxWindow = std::max(m_maxWindow, p.peerWindow);
        if (p.peerWindow + windowSlack >= m_maxWindow)
            m_lastRead = now;
        m_lastWindow = p.peerWindow;
    } else if (queued <= 0 || queued < m_lastQueued) {
        m_lastProgress = now;
        m_lastRead = now;
    }
    m_lastQueued = queued;
    if (peerClosed(m_fd)) {
        setError("the server closed the connection");
        return false;
    }
    if (queued > 0 && now - m_lastProgress > std::chrono::seconds(watchdogSeconds)) {
        setError("the server takes no data");
        return false;
    }
    if (now - m_lastRead > std::chrono::seconds(unreadSeconds)) {
        setError("the server reads nothing");
        return false;
    }
    const long long silentSince = m_httpSilentSinceMs.load();
    if (silentSince != 0 && m_httpSilentCount.load() >= 2 &&
        msSinceEpoch() - silentSince > httpSilentSeconds * 1000) {
        setError("the server answers no request");
        return false;
    }
    return true;
}

void ShoutCast::run(int timeoutMs)
{
    bool ok = false;
    {
        std::lock_guard shout(m_shoutMutex);
        ok = connect(timeoutMs);
        m_sendable = ok;
        m_lastProgress = m_lastRead = Clock::now();
    }
    bool dead = false;

    if (ok && m_settings.address.shoutcast) {
        // A SHOUTcast-form server greets before it looks at the mount; one that then refuses
        // the source closes the connection, which shows at the first sends.
        const auto until = Clock::now() + std::chrono::milliseconds(icyConfirmMs);
        while (ok && Clock::now() < until) {
            {
                std::lock_guard shout(m_shoutMutex);
                ok = pump();
            }
            std::unique_lock lock(m_mutex);
            if (m_cv.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_quit; }))
                ok = false;
        }
        if (!ok) {
            std::lock_guard shout(m_shoutMutex);
            m_sendable = false;
            m_fd = -1;
            shout_close(m_shout);
            std::lock_guard lock(m_mutex);
            if (m_error == "the server closed the connection")
                m_error = "the server closed the connection (mountpoint in use?)";
        }
    }
    if (ok) {
        std::lock_guard shout(m_shoutMutex);
        m_lastProgress = m_lastRead = Clock::now();
    }
    {
        std::lock_guard lock(m_mutex);
        m_open = ok ? Open::Taken : Open::Refused;
        if (ok)
            m_alive.store(true);
    }
    m_cv.notify_all();
    if (ok) {
        for (;;) {
            {
                std::unique_lock lock(m_mutex);
                // What libshout holds is pushed again soon; otherwise sleep until data stays
                // behind, a failure comes, or a quarter second passes (the watch).
                if (m_lastQueued > 0) {
                    m_cv.wait_for(lock, std::chrono::milliseconds(20),
                                  [this] { return m_quit || m_pumpFailed.load(); });
                } else {
                    m_cv.wait_for(lock, std::chrono::milliseconds(250), [this] {
                        return m_quit || m_pumpFailed.load() || !m_queue.empty() ||
                               m_lastQueued > 0;
                    });
                }
                if (m_quit)
                    break;
            }
            std::lock_guard shout(m_shoutMutex);
            if (m_pumpFailed.load() || !pump()) {
                m_sendable = false;
                dead = true;
                break;
            }
        }
        // After a failed send libshout still counts the handle as connected: close it, so that
        // nothing reuses a half-dead connection.
        {
            std::lock_guard lock(m_mutex);
            m_quit = true; // nothing more is queued
        }
        std::lock_guard shout(m_shoutMutex);
        m_sendable = false;
        m_fd = -1;
        shout_close(m_shout);
        m_alive.store(false);
    }
    {
        std::lock_guard shout(m_shoutMutex);
        m_sendable = false;
        m_fd = -1;
        m_shout.reset();
    }
    if (dead) {
        qCWarning(lcCast).noquote() << "source connection to" << where(m_settings)
                                    << "lost:" << QString::fromStdString(error());
        if (m_onDeath)
            m_onDeath();
    }
}
