#include "encoderprocess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr std::size_t maxPending = 256 * 1024; // about 1.5 s of 44.1 kHz stereo PCM
constexpr const char* stdbufPreload = "/usr/libexec/coreutils/libstdbuf.so";

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

} // namespace

EncoderProcess::~EncoderProcess()
{
    stop();
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

bool EncoderProcess::start(const std::string& cmdline, OutputFn onOutput, ExitFn onExit)
{
    stop();
    m_error.clear();
    m_stopping.store(false);
    const std::vector<std::string> args = splitCommandLine(cmdline);
    if (args.empty()) {
        m_error = "empty command line";
        return false;
    }
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
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
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env = childEnvironment();
    std::vector<char*> envp;
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
        m_error = args[0] + ": " + std::strerror(rc);
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    m_pid = pid;
    m_in = in[1];
    m_out = out[0];
    ::fcntl(m_in, F_SETFL, ::fcntl(m_in, F_GETFL) | O_NONBLOCK);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_onOutput = std::move(onOutput);
    m_onExit = std::move(onExit);
    m_running.store(true);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    m_reader = std::thread([this] { readLoop(); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
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
            return; // the encoder is gone; the reader will see it
        m_pending.assign(p + done, p + bytes);
    }
}

void EncoderProcess::readLoop()
{
    unsigned char buf[8192];
    for (;;) {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_wake, POLLIN, 0}};
        // Without a stop under way nothing but the descriptors can wake us.
        const int r = ::poll(fds, 2, m_stopping.load() ? 50 : -1);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t v;
            [[maybe_unused]] ssize_t ignored = ::read(m_wake, &v, sizeof v);
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                break;
            }
            if (m_onOutput && !m_stopping.load())
                m_onOutput(buf, static_cast<std::size_t>(n));
        }
        const long long killAt = m_killAtMs.load();
        if (killAt != 0 && nowMs() >= killAt) {
            ::kill(m_pid, SIGKILL);
            m_killAtMs.store(0);
        }
    }
    // End of output: the process has ended or closed its output; reap it.
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_running.store(false);
    if (!m_stopping.load() && m_onExit)
        m_onExit();
}

void EncoderProcess::stop(int graceMs)
{
    if (m_pid < 0)
        return;
    m_stopping.store(true);
    {
        std::lock_guard lock(m_writeMutex);
        closeFd(m_in); // end of input: the encoder flushes and ends
        m_pending.clear();
    }
    m_killAtMs.store(nowMs() + graceMs);
    if (m_wake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(m_wake, &one, sizeof one);
    }
    if (m_reader.joinable())
        m_reader.join();
    closeFd(m_out);
    closeFd(m_wake);
    m_pid = -1;
    m_running.store(false);
}
