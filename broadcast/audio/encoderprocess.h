#pragma once
// An external encoder: a command line started from the search path, PCM written to its
// standard input, its standard output read on a thread of its own and handed on. The reader
// thread also watches the process: when it dies it is reaped and started again with the same
// command line (the output goes on from the new process); when it dies again at once, the
// reader gives up and reports the death, once.
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class EncoderProcess {
public:
    // Called on the reader thread with each piece of the encoder's output.
    using OutputFn = std::function<void(const unsigned char* data, std::size_t bytes)>;
    // Called on the reader thread once, when the process has died and is not started again
    // (never after stop()); why says how it ended.
    using ExitFn = std::function<void(const std::string& why)>;

    // A process that dies within this of its restart is not started again.
    static constexpr int quickDeathMs = 2000;

    EncoderProcess() = default;
    ~EncoderProcess(); // stop()
    EncoderProcess(const EncoderProcess&) = delete;
    EncoderProcess& operator=(const EncoderProcess&) = delete;

    // Splits cmdline at blanks (double quotes group) and starts it; every process started
    // gets preamble first on its input. False, with error(), when the program cannot be
    // started (not on the search path, for instance). Once per object.
    bool start(const std::string& cmdline, OutputFn onOutput, ExitFn onExit,
               std::vector<unsigned char> preamble = {});
    // Writes PCM without blocking. What the pipe cannot take waits in a bounded buffer; past
    // that bound whole blocks are dropped (a stalled encoder must not stall the capture).
    void write(const void* data, std::size_t bytes);
    // Closes the encoder's input, lets it finish (killing it after graceMs), reaps it and
    // joins the reader. Safe from any thread and more than once (a second caller returns
    // once the first has finished); on the reader thread itself it only asks.
    void stop(int graceMs = 1500);

    // From start() until stop() or the reader gave up (restarts included).
    bool isRunning() const { return m_running.load(); }
    pid_t pid() const { return m_pid.load(); }
    int restarts() const { return m_restarts.load(); }
    std::string error() const;
    std::size_t droppedBytes() const { return m_dropped.load(); }

    static std::vector<std::string> splitCommandLine(const std::string& cmdline);

private:
    struct Child;
    bool spawn(std::string* why);
    void readLoop();
    // Serves the current process until it has ended; false when a stop ended it.
    bool serveChild(std::string* why);

    std::vector<std::string> m_args;
    std::vector<unsigned char> m_preamble;
    std::atomic<pid_t> m_pid{-1};
    int m_pidfd = -1;
    int m_in = -1;   // our end of the encoder's standard input (under m_writeMutex)
    int m_out = -1;  // our end of its standard output (the reader's)
    int m_wake = -1; // eventfd: stop() wakes the reader
    std::thread m_reader;
    std::mutex m_stopMutex;
    std::mutex m_writeMutex;
    std::vector<unsigned char> m_pending;
    OutputFn m_onOutput;
    ExitFn m_onExit;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<long long> m_killAtMs{0};
    std::atomic<std::size_t> m_dropped{0};
    std::atomic<int> m_restarts{0};
    mutable std::mutex m_errorMutex;
    std::string m_error;
};
