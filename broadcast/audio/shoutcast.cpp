#include "shoutcast.h"
#include "castsocket.h"
#include "caststats.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pthread.h>
#include <shout/shout.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t maxQueue = 256 * 1024;     // ours: about 16 s at 128 kbit/s
constexpr std::size_t maxShoutQueue = 64 * 1024; // libshout's own, before we hold back
constexpr std::size_t sendChunk = 16 * 1024;
constexpr int icyConfirmMs = 600; // a SHOUTcast source refused after the greeting is closed by then
constexpr int kernelSendBuffer = 32 * 1024;

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

struct ShoutLibrary {
    ShoutLibrary() { shout_init(); }
};

void ensureShoutLibrary()
{
    static ShoutLibrary once;
    (void)once;
}

// Latin-1 bytes of UTF-8 text, characters beyond Latin-1 as '?'.
std::string utf8ToLatin1(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        unsigned cp = 0;
        int len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = 0xFFFF;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = 0xFFFF;
            len = 4;
        } else {
            cp = c; // not UTF-8: take the byte as it is
        }
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
        i += static_cast<std::size_t>(len);
    }
    return out;
}

} // namespace

std::optional<CastAddress> parseCastAddress(const std::string& server)
{
    std::string s = server;
    for (const char* scheme : {"http://", "icy://"}) {
        if (s.rfind(scheme, 0) == 0)
            s = s.substr(std::char_traits<char>::length(scheme));
    }
    const std::size_t colon = s.find(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    CastAddress a;
    a.host = s.substr(0, colon);
    const std::size_t slash = s.find('/', colon);
    const std::string port =
        s.substr(colon + 1, slash == std::string::npos ? std::string::npos : slash - colon - 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos)
        return std::nullopt;
    const long p = std::strtol(port.c_str(), nullptr, 10);
    if (p <= 0 || p > 65535)
        return std::nullopt;
    a.port = static_cast<std::uint16_t>(p);
    if (slash == std::string::npos || slash + 1 == s.size()) {
        a.shoutcast = true;
        a.mount = "/stream";
        if (a.port == 65535)
            return std::nullopt; // its source port would be 65536
    } else {
        a.mount = s.substr(slash);
    }
    return a;
}

ShoutCast::~ShoutCast()
{
    stop();
}

bool ShoutCast::open(DeathFn onDeath, int timeoutMs)
{
    if (m_thread.joinable())
        return false;
    ensureShoutLibrary();
    m_onDeath = std::move(onDeath);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    m_thread = std::thread([this, timeoutMs] { run(timeoutMs); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    std::unique_lock lock(m_mutex);
    // The sender thread bounds the wait itself; the margin covers a slow name look-up.
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs + icyConfirmMs + 2000),
                  [this] { return m_open != Open::Pending; });
    const bool taken = m_open == Open::Taken;
    lock.unlock();
    if (!taken)
        stop();
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

void ShoutCast::setTitle(const std::string& title)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_quit)
            return;
        m_title = title;
    }
    m_cv.notify_all();
}

void ShoutCast::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_probeCancel.store(true);
    m_cv.notify_all();
    m_probeCv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_alive.store(false);
}

bool ShoutCast::connect(int timeoutMs)
{
    const CastSettings& s = m_settings;
    m_shout = shout_new();
    if (!m_shout) {
        m_error = "out of memory";
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
        m_error = shout_get_error(m_shout);
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
            m_error = "the server does not answer";
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
        m_error = shout_get_error(m_shout);
        shout_close(m_shout);
        return false;
    }
    const int port = s.address.shoutcast ? s.address.port + 1 : s.address.port;
    m_fd = castsocket::findNewSocket(before, static_cast<std::uint16_t>(port));
    if (m_fd >= 0) {
        castsocket::limitSendBuffer(m_fd, kernelSendBuffer);
        // Each MP3 frame goes out when it is ready, not when the previous one is acknowledged.
        castsocket::noDelay(m_fd);
    }
    return true;
}

void ShoutCast::sendTitle(const std::string& title)
{
    shout_metadata_t* md = shout_metadata_new();
    if (!md)
        return;
    // SHOUTcast takes its title as single bytes; Icecast mounts take UTF-8.
    const std::string text = m_settings.address.shoutcast ? utf8ToLatin1(title) : title;
    if (shout_metadata_add(md, "song", text.c_str()) == SHOUTERR_SUCCESS) {
        int rc = shout_set_metadata_utf8(m_shout, md);
        for (int i = 0; (rc == SHOUTERR_BUSY || rc == SHOUTERR_RETRY) && i < 200; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            rc = shout_set_metadata_utf8(m_shout, md);
        }
        if (rc != SHOUTERR_SUCCESS)
            m_error = std::string("title: ") + shout_get_error(m_shout);
    }
    shout_metadata_free(md);
}

void ShoutCast::probeLoop()
{
    const CastAddress& a = m_settings.address;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (m_probeCv.wait_for(lock, std::chrono::seconds(probeSeconds),
                                   [this] { return m_quit; }))
                return;
        }
        if (!httpAnswers(a.host, a.port, probeTimeoutSeconds * 1000, &m_probeCancel)) {
            std::lock_guard lock(m_mutex);
            if (m_quit)
                return;
            m_probeFailed.store(true);
            m_cv.notify_all();
            return;
        }
    }
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
        m_error = shout_get_error(m_shout);
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
    } else if (queued <= 0 || queued < m_lastQueued) {
        m_lastProgress = now;
    }
    m_lastQueued = queued;
    if (peerClosed(m_fd)) {
        m_error = "the server closed the connection";
        return false;
    }
    if (queued > 0 && now - m_lastProgress > std::chrono::seconds(watchdogSeconds)) {
        m_error = "the server takes no data";
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
        m_lastProgress = Clock::now();
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
        }
    }
    if (ok) {
        std::lock_guard shout(m_shoutMutex);
        m_lastProgress = Clock::now();
    }
    {
        std::lock_guard lock(m_mutex);
        m_open = ok ? Open::Taken : Open::Refused;
        if (ok)
            m_alive.store(true);
    }
    m_cv.notify_all();
    if (ok) {
        m_prober = std::thread([this] { probeLoop(); });
        for (;;) {
            std::optional<std::string> title;
            {
                std::unique_lock lock(m_mutex);
                // What libshout holds is pushed again soon; otherwise sleep until data stays
                // behind, a title or a failure comes, or a second passes (the watchdog).
                if (m_lastQueued > 0) {
                    m_cv.wait_for(lock, std::chrono::milliseconds(20),
                                  [this] { return m_quit || m_title || m_pumpFailed.load(); });
                } else {
                    m_cv.wait_for(lock, std::chrono::milliseconds(1000), [this] {
                        return m_quit || m_title || m_pumpFailed.load() || !m_queue.empty() ||
                               m_lastQueued > 0;
                    });
                }
                if (m_quit)
                    break;
                title.swap(m_title);
            }
            if (m_probeFailed.load()) {
                m_error = "the server does not answer";
                dead = true;
                break;
            }
            std::lock_guard shout(m_shoutMutex);
            if (m_pumpFailed.load() || !pump()) {
                m_sendable = false;
                dead = true;
                break;
            }
            if (title)
                sendTitle(*title);
        }
        // After a failed send libshout still counts the handle as connected: close it, so that
        // nothing reuses a half-dead connection.
        {
            std::lock_guard lock(m_mutex);
            m_quit = true; // ends the prober; nothing more is queued
        }
        m_probeCancel.store(true);
        m_probeCv.notify_all();
        if (m_prober.joinable())
            m_prober.join();
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
        shout_free(m_shout);
        m_shout = nullptr;
    }
    if (dead && m_onDeath)
        m_onDeath();
}
