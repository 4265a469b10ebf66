#include "encoderprocess.h"
#include "netkit.h"
#include "wllog.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr std::size_t maxPending = 256 * 1024; // about 1.5 s of 44.1 kHz stereo PCM
constexpr const char* stdbufPreload = "/usr/libexec/coreutils/libstdbuf.so";

thread_local const void* t_reader = nullptr; // the EncoderProcess whose reader runs here

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The encoder's environment: ours, with its standard output unbuffered when coreutils'
// stdbuf helper is there (an encoder that buffers 4 KiB of MP3 holds back a quarter second).
std::vector<std::string> childEnvironment()
{
    std::vector<std::string> env;
    std::string preload;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) == 0)
            preload = *e + 11;
        else if (std::strncmp(*e, "_STDBUF_O=", 10) != 0)
            env.emplace_back(*e);
    }
    if (::access(stdbufPreload, R_OK) == 0) {
        preload = preload.empty() ? std::string(stdbufPreload)
                                  : std::string(stdbufPreload) + ":" + preload;
        env.emplace_back("_STDBUF_O=0");
    }
    if (!preload.empty())
        env.push_back("LD_PRELOAD=" + preload);
    return env;
}

std::string describe(int status)
{
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "ended";
}

} // namespace

EncoderProcess::~EncoderProcess()
{
    stop();
}

std::string EncoderProcess::error() const
{
    std::lock_guard lock(m_errorMutex);
    return m_error;
}

std::vector<std::string> EncoderProcess::splitCommandLine(const std::string& cmdline)
{
    std::vector<std::string> out;
    std::string cur;
    bool inWord = false, quoted = false;
    for (char c : cmdline) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord)
                out.push_back(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (inWord)
        out.push_back(cur);
    return out;
}

bool EncoderProcess::spawn(std::string* why)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        *why = std::string("pipe: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1]})
            if (fd >= 0)
                ::close(fd);
        return false;
    }
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (devnull >= 0)
        posix_spawn_file_actions_adddup2(&fa, devnull, 2);
    // Not every library marks its descriptors close-on-exec (a cast's socket held open by an
    // encoder would outlive the cast): the encoder gets its three and nothing else.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, deflt;
    sigemptyset(&none);
    sigemptyset(&deflt);
    sigaddset(&deflt, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &deflt);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.reserve(m_args.size() + 1);
    for (const std::string& a : m_args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env = childEnvironment();
    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (devnull >= 0)
        ::close(devnull);
    if (rc != 0) {
        *why = m_args[0] + ": " + std::strerror(rc);
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) | O_NONBLOCK);
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);
    closeFd(m_pidfd);
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    closeFd(m_out);
    m_out = out[0];
    m_pid.store(pid);
    std::lock_guard lock(m_writeMutex);
    closeFd(m_in);
    m_in = in[1];
    if (m_stopping.load())
        closeFd(m_in);      // a stop came while it started: it gets no input and ends
    m_pending = m_preamble; // a new process starts on a whole block, after its preamble
    if (!m_pending.empty()) {
        const ssize_t n = ::write(m_in, m_pending.data(), m_pending.size());
        if (n > 0)
            m_pending.erase(m_pending.begin(), m_pending.begin() + n);
    }
    return true;
}

bool EncoderProcess::start(const std::string& cmdline, OutputFn onOutput, ExitFn onExit,
                           std::vector<unsigned char> preamble)
{
    std::lock_guard stopLock(m_stopMutex);
    if (m_reader.joinable())
        return false;
    netkit::ignoreBrokenPipes();
    m_args = splitCommandLine(cmdline);
    if (m_args.empty()) {
        std::lock_guard lock(m_errorMutex);
        m_error = "empty command line";
        return false;
    }
    m_preamble = std::move(preamble);
    std::string why;
    if (!spawn(&why)) {
        std::lock_guard lock(m_errorMutex);
        m_error = why;
        return false;
    }
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_onOutput = std::move(onOutput);
    m_onExit = std::move(onExit);
    m_running.store(true);
    m_reader = std::thread([this] { readLoop(); });
    return true;
}

void EncoderProcess::write(const void* data, std::size_t bytes)
{
    std::lock_guard lock(m_writeMutex);
    if (m_in < 0 || !m_running.load())
        return;
    const auto* p = static_cast<const unsigned char*>(data);
    if (!m_pending.empty()) {
        if (m_pending.size() + bytes > maxPending) {
            m_dropped += bytes;
            bytes = 0;
        } else {
            m_pending.insert(m_pending.end(), p, p + bytes);
            bytes = 0;
        }
        const ssize_t n = ::write(m_in, m_pending.data(), m_pending.size());
        if (n > 0)
            m_pending.erase(m_pending.begin(), m_pending.begin() + n);
        return;
    }
    const ssize_t n = ::write(m_in, p, bytes);
    const std::size_t done = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (done < bytes) {
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return; // the encoder is gone; the reader sees it and restarts it
        m_pending.assign(p + done, p + bytes);
    }
}

bool EncoderProcess::serveChild(std::string* why)
{
    unsigned char buf[8192];
    bool outputOpen = true;
    long long outputClosedAt = 0;
    for (;;) {
        pollfd fds[3] = {
            {outputOpen ? m_out : -1, POLLIN, 0}, {m_wake, POLLIN, 0}, {m_pidfd, POLLIN, 0}};
        // Without a stop under way, or an output closed by a live process, nothing but the
        // descriptors can wake us.
        const bool timed = m_stopping.load() || !outputOpen || m_pidfd < 0;
        const int r = ::poll(fds, 3, timed ? 50 : -1);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t v;
            [[maybe_unused]] ssize_t ignored = ::read(m_wake, &v, sizeof v);
        }
        if (outputOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            for (;;) {
                const ssize_t n = ::read(m_out, buf, sizeof buf);
                if (n > 0) {
                    if (m_onOutput && !m_stopping.load())
                        m_onOutput(buf, static_cast<std::size_t>(n));
                    continue;
                }
                if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    outputOpen = false;
                    outputClosedAt = nowMs();
                }
                break;
            }
        }
        const bool exited = m_pidfd >= 0 ? (fds[2].revents & POLLIN) != 0 : !outputOpen;
        if (exited)
            break;
        // An encoder that closed its output but lives on is of no use: it goes.
        if (!outputOpen && nowMs() - outputClosedAt > 500)
            ::kill(m_pid.load(), SIGKILL);
        const long long killAt = m_killAtMs.load();
        if (killAt != 0 && nowMs() >= killAt) {
            ::kill(m_pid.load(), SIGKILL);
            m_killAtMs.store(0);
        }
    }
    // What the process wrote before it ended still goes on.
    for (;;) {
        const ssize_t n = ::read(m_out, buf, sizeof buf);
        if (n <= 0)
            break;
        if (m_onOutput && !m_stopping.load())
            m_onOutput(buf, static_cast<std::size_t>(n));
    }
    int status = 0;
    const pid_t pid = m_pid.load();
    pid_t got;
    while ((got = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    *why = got == pid ? describe(status) : "ended";
    return !m_stopping.load();
}

void EncoderProcess::readLoop()
{
    t_reader = this;
    long long restartedAt = 0; // 0: never restarted
    for (;;) {
        std::string why;
        if (!serveChild(&why))
            break; // a stop ended it
        const long long now = nowMs();
        const int pid = m_pid.load();
        if (restartedAt != 0 && now - restartedAt < quickDeathMs) {
            qCWarning(lcAudio).noquote()
                << QStringLiteral("encoder %1 (pid %2) %3 again %4 ms after its restart: given up")
                       .arg(QString::fromStdString(m_args[0]))
                       .arg(pid)
                       .arg(QString::fromStdString(why))
                       .arg(now - restartedAt);
            {
                std::lock_guard lock(m_errorMutex);
                m_error = m_args[0] + " " + why;
            }
            break;
        }
        qCWarning(lcAudio).noquote() << QStringLiteral("encoder %1 (pid %2) %3")
                                            .arg(QString::fromStdString(m_args[0]))
                                            .arg(pid)
                                            .arg(QString::fromStdString(why));
        std::string failure;
        if (m_stopping.load() || !spawn(&failure)) {
            if (!failure.empty()) {
                qCWarning(lcAudio).noquote()
                    << "encoder not restarted:" << QString::fromStdString(failure);
                std::lock_guard lock(m_errorMutex);
                m_error = failure;
            }
            break;
        }
        restartedAt = nowMs();
        ++m_restarts;
        qCInfo(lcAudio).noquote() << QStringLiteral("encoder %1 restarted (pid %2)")
                                         .arg(QString::fromStdString(m_args[0]))
                                         .arg(m_pid.load());
    }
    {
        std::lock_guard lock(m_writeMutex);
        closeFd(m_in);
        m_pending.clear();
    }
    const bool stopped = m_stopping.load();
    m_running.store(false);
    if (!stopped && m_onExit)
        m_onExit(error());
}

void EncoderProcess::stop(int graceMs)
{
    m_stopping.store(true);
    {
        std::lock_guard lock(m_writeMutex);
        closeFd(m_in); // end of input: the encoder flushes and ends
        m_pending.clear();
    }
    if (m_killAtMs.load() == 0)
        m_killAtMs.store(nowMs() + graceMs);
    if (t_reader == this)
        return; // asked from the reader itself: it ends by itself
    std::lock_guard stopLock(m_stopMutex);
    if (m_wake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(m_wake, &one, sizeof one);
    }
    if (m_reader.joinable())
        m_reader.join();
    closeFd(m_out);
    closeFd(m_wake);
    closeFd(m_pidfd);
    m_pid.store(-1);
    m_running.store(false);
}
