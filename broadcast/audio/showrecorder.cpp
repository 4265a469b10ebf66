#include "showrecorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

constexpr std::size_t maxQueued = 4u << 20; // about four minutes at 128 kbit/s

// The length of the MPEG audio frame whose header is h[0..3], 0 when it is none.
std::size_t frameLength(const unsigned char* h)
{
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    const int version = (h[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int layer = (h[1] >> 1) & 3;   // 1 Layer III
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    const int padding = (h[2] >> 1) & 1;
    if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return 0;
    static constexpr int v1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static constexpr int v2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static constexpr int rates[] = {44100, 48000, 32000};
    const int kbps = version == 3 ? v1[bitrateIndex] : v2[bitrateIndex];
    int rate = rates[rateIndex];
    if (version == 2)
        rate /= 2;
    else if (version == 0)
        rate /= 4;
    const int perFrame = version == 3 ? 144 : 72;
    const int bytes = perFrame * kbps * 1000 / rate + padding;
    return static_cast<std::size_t>(bytes);
}

} // namespace

ShowRecorder::~ShowRecorder()
{
    stop();
}

std::string ShowRecorder::fileNameFor(std::chrono::system_clock::time_point t)
{
    const std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&tt, &local);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H.%M.%S.mp3", &local);
    return buf;
}

std::string ShowRecorder::safeFolderName(const std::string& station)
{
    std::string out;
    for (unsigned char c : station) {
        if (c == '/' || c == '\\' || c < 0x20)
            out += '-';
        else
            out += static_cast<char>(c);
    }
    const auto first = out.find_first_not_of(". ");
    out = first == std::string::npos ? std::string() : out.substr(first);
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out.empty() ? std::string("Stazione") : out;
}

bool ShowRecorder::start(Options options)
{
    stop();
    m_options = std::move(options);
    std::string why;
    {
        std::lock_guard lock(m_mutex);
        m_error.clear();
        m_files.clear();
        m_quit = false;
        m_queue.clear();
        m_queued = 0;
    }
    m_frameSkip = 0;
    m_header.clear();
    if (!openNext(&why)) {
        std::lock_guard lock(m_mutex);
        m_error = why;
        return false;
    }
    m_recording = true;
    m_thread = std::thread([this] { run(); });
    return true;
}

void ShowRecorder::write(const unsigned char* data, std::size_t bytes)
{
    if (!m_recording.load() || bytes == 0)
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_queued + bytes > maxQueued) {
            m_dropped += bytes;
            return;
        }
        m_queue.emplace_back(data, data + bytes);
        m_queued += bytes;
    }
    m_cv.notify_one();
}

void ShowRecorder::stop()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_recording = false;
}

std::string ShowRecorder::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::vector<std::string> ShowRecorder::files() const
{
    std::lock_guard lock(m_mutex);
    return m_files;
}

bool ShowRecorder::openNext(std::string* error)
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    std::error_code ec;
    std::filesystem::create_directories(m_options.folder, ec);
    if (ec) {
        *error = "cannot make " + m_options.folder + ": " + ec.message();
        return false;
    }
    const auto now = std::chrono::system_clock::now();
    std::string path = (std::filesystem::path(m_options.folder) / fileNameFor(now)).string();
    // Two files in the same second (a quick restart) get a suffix, never the same file.
    for (int n = 2; std::filesystem::exists(path, ec); ++n) {
        std::string name = fileNameFor(now);
        name.insert(name.size() - 4, " (" + std::to_string(n) + ")");
        path = (std::filesystem::path(m_options.folder) / name).string();
    }
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    m_fileStart = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    m_files.push_back(path);
    return true;
}

bool ShowRecorder::writeAll(const unsigned char* data, std::size_t bytes, std::string* error)
{
    while (bytes > 0) {
        const ssize_t n = ::write(m_fd, data, bytes);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = std::string("cannot write the recording: ") + std::strerror(errno);
            return false;
        }
        data += n;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t ShowRecorder::nextFrameStart(const unsigned char* data, std::size_t bytes)
{
    std::size_t i = 0;
    std::size_t found = bytes;
    // A header that began in the previous piece.
    if (!m_header.empty()) {
        while (m_header.size() < 4 && i < bytes)
            m_header.push_back(data[i++]);
        if (m_header.size() < 4)
            return bytes;
        const std::size_t len = frameLength(m_header.data());
        m_header.clear();
        m_frameSkip = len > 4 ? len - 4 : 0;
    }
    while (i < bytes) {
        if (m_frameSkip > 0) {
            const std::size_t step = std::min(m_frameSkip, bytes - i);
            m_frameSkip -= step;
            i += step;
            continue;
        }
        if (bytes - i < 4) {
            if (data[i] == 0xFF) {
                if (found == bytes)
                    found = i;
                m_header.assign(data + i, data + bytes);
                return found;
            }
            ++i;
            continue;
        }
        const std::size_t len = frameLength(data + i);
        if (len == 0) {
            ++i; // lost: look for the next sync
            continue;
        }
        if (found == bytes)
            found = i;
        m_frameSkip = len;
    }
    return found;
}

void ShowRecorder::run()
{
    const auto rotateAfter = std::max(m_options.rotateEvery, std::chrono::milliseconds(1));
    for (;;) {
        std::vector<unsigned char> piece;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            if (m_queue.empty())
                break; // quit, all written
            piece = std::move(m_queue.front());
            m_queue.pop_front();
            m_queued -= piece.size();
        }
        std::string why;
        std::size_t from = 0;
        const bool rotate = std::chrono::steady_clock::now() - m_fileStart >= rotateAfter;
        const std::size_t cut = nextFrameStart(piece.data(), piece.size());
        if (rotate && cut < piece.size()) {
            bool ok = writeAll(piece.data(), cut, &why) && openNext(&why);
            from = cut;
            if (!ok) {
                std::lock_guard lock(m_mutex);
                m_error = why;
            }
        }
        if (m_error.empty() && !writeAll(piece.data() + from, piece.size() - from, &why)) {
            std::lock_guard lock(m_mutex);
            m_error = why;
        }
        if (!error().empty()) {
            m_recording = false;
            if (m_fd >= 0) {
                ::close(m_fd);
                m_fd = -1;
            }
            {
                std::lock_guard lock(m_mutex);
                m_queue.clear();
                m_queued = 0;
            }
            if (m_options.onFailure)
                m_options.onFailure(error());
            // Wait for stop(); nothing more is taken.
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_quit; });
            break;
        }
    }
}
