#pragma once
// A copy of the show: the MP3 stream that goes to the server, written as it goes into files
// of a folder, a new file at each start and every hour, each cut at a frame
// boundary. Writing happens on a thread of its own: a slow or full disk never holds up the
// stream, it only ends the recording.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ShowRecorder {
public:
    struct Options {
        std::string folder; // e.g. ~/Music/<station>; made when missing
        std::chrono::milliseconds rotateEvery{std::chrono::hours(1)}; // a new file after this
        // Called once on the writer thread when the recording ends by itself (full disk,
        // folder not writable), with the reason.
        std::function<void(const std::string& reason)> onFailure;
    };

    ShowRecorder() = default;
    ~ShowRecorder(); // stop()
    ShowRecorder(const ShowRecorder&) = delete;
    ShowRecorder& operator=(const ShowRecorder&) = delete;

    // Opens the first file. False, with error(), when the folder or file cannot be made.
    bool start(Options options);
    // Hands encoded bytes over (any thread); never blocks on the disk. Past a bound of
    // unwritten data (a stalled disk) the newest bytes are dropped and counted.
    void write(const unsigned char* data, std::size_t bytes);
    // Writes what is queued, closes the file and joins the writer.
    void stop();

    bool isRecording() const { return m_recording.load(); }
    std::string error() const;
    // The files written so far, oldest first.
    std::vector<std::string> files() const;
    std::size_t droppedBytes() const { return m_dropped.load(); }

    // A file name for a show started at t: "2026-12-10 21.30.00.mp3" in local time.
    static std::string fileNameFor(std::chrono::system_clock::time_point t);
    // A folder name made of a station's name: no separators, no leading dots, never empty.
    static std::string safeFolderName(const std::string& station);

private:
    void run();
    bool openNext(std::string* error);
    bool writeAll(const unsigned char* data, std::size_t bytes, std::string* error);
    // Offset in data of the first frame that starts there, if any; follows frames across
    // calls so that a cut never splits one.
    std::size_t nextFrameStart(const unsigned char* data, std::size_t bytes);

    Options m_options;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::vector<unsigned char>> m_queue;
    std::size_t m_queued = 0;
    bool m_quit = false;
    std::atomic<bool> m_recording{false};
    std::atomic<std::size_t> m_dropped{0};
    std::string m_error;
    std::vector<std::string> m_files;
    // Writer thread only.
    int m_fd = -1;
    std::chrono::steady_clock::time_point m_fileStart{};
    std::size_t m_frameSkip = 0;         // bytes left of the frame in progress
    std::vector<unsigned char> m_header; // a frame header split between two writes
};
