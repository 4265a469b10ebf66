#pragma once
// An external encoder: a command line started from the search path, PCM written to its
// standard input, its standard output read on a thread of its own and handed on.
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
    // Called on the reader thread once the process has ended by itself (not after stop()).
    using ExitFn = std::function<void()>;

    EncoderProcess() = default;
    ~EncoderProcess(); // stop()
    EncoderProcess(const EncoderProcess&) = delete;
    EncoderProcess& operator=(const EncoderProcess&) = delete;

    // Splits cmdline at blanks (double quotes group) and starts it. False, with error(), when
    // the program cannot be started (not on the search path, for instance).
    bool start(const std::string& cmdline, OutputFn onOutput, ExitFn onExit);
    // Writes PCM without blocking. What the pipe cannot take waits in a bounded buffer; past
    // that bound whole blocks are dropped (a stalled encoder must not stall the capture).
    void write(const void* data, std::size_t bytes);
    // Closes the encoder's input, lets it finish (killing it after graceMs), reaps it and
    // joins the reader. Safe to call more than once; not on the reader thread.
    void stop(int graceMs = 1500);

    bool isRunning() const { return m_running.load(); }
    pid_t pid() const { return m_pid; }
    const std::string& error() const { return m_error; }
    std::size_t droppedBytes() const { return m_dropped.load(); }

    static std::vector<std::string> splitCommandLine(const std::string& cmdline);

private:
    void readLoop();

    pid_t m_pid = -1;
    int m_in = -1;   // our end of the encoder's standard input
    int m_out = -1;  // our end of its standard output
    int m_wake = -1; // eventfd: stop() wakes the reader
    std::thread m_reader;
    std::mutex m_writeMutex;
    std::vector<unsigned char> m_pending;
    OutputFn m_onOutput;
    ExitFn m_onExit;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<long long> m_killAtMs{0};
    std::atomic<std::size_t> m_dropped{0};
    std::string m_error;
};
