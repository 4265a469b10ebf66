#include "basswma.h"

#include "publishconnection.h"
#include "publishsender.h"
#include "wllog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

thread_local std::string t_lastError;
constexpr int closeWaitMs = 3000; // how long a close waits for the queue to go out

std::mutex g_trustMutex;
std::string g_trustFile;

BOOL failWith(std::string text)
{
    t_lastError = std::move(text);
    return BASS_FALSE;
}

std::string avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct FormatContextDeleter {
    void operator()(AVFormatContext* p) const { avformat_free_context(p); }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct SwrDeleter {
    void operator()(SwrContext* p) const { swr_free(&p); }
};
struct FifoDeleter {
    void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};
struct FrameDeleter {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AvioDeleter {
    void operator()(AVIOContext* p) const
    {
        av_freep(&p->buffer);
        avio_context_free(&p);
    }
};

std::string mapTagName(const std::string& tag)
{
    if (tag == "Title")
        return "title";
    if (tag == "Author")
        return "author";
    if (tag == "Copyright")
        return "copyright";
    if (tag == "Description")
        return "comment";
    if (tag == "Rating")
        return "rating";
    return tag;
}

// One publishing encoder: PCM -> planar float -> wmav2 -> ASF -> the connection.
class Publisher {
public:
    std::mutex mutex; // one call at a time: writes come from a capture thread

    bool open(int freq, int chans, int bitrate, const std::string& url,
              const PublishOptions& options)
    {
        m_url = PublishUrl::parse(url);
        if (!m_url.valid)
            return fail("not a publishing address: " + url);
        if (freq <= 0 || chans <= 0 || chans > 2)
            return fail("only mono or stereo PCM is taken");
        m_chans = chans;

        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
        if (!codec)
            return fail("no wmav2 encoder");
        m_enc.reset(avcodec_alloc_context3(codec));
        m_enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
        m_enc->sample_rate = freq;
        av_channel_layout_default(&m_enc->ch_layout, chans);
        m_enc->bit_rate = bitrate;
        m_enc->time_base = AVRational{1, freq};
        if (int rc = avcodec_open2(m_enc.get(), codec, nullptr); rc < 0)
            return fail("cannot open the wmav2 encoder: " + avError(rc));

        AVChannelLayout layout{};
        av_channel_layout_default(&layout, chans);
        SwrContext* swr = nullptr;
        int rc = swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_FLTP, freq, &layout,
                                     AV_SAMPLE_FMT_S16, freq, 0, nullptr);
        av_channel_layout_uninit(&layout);
        m_swr.reset(swr);
        if (rc < 0 || swr_init(m_swr.get()) < 0)
            return fail("cannot set up the sample conversion");
        m_fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, chans, m_enc->frame_size * 4));
        m_frame.reset(av_frame_alloc());
        m_packet.reset(av_packet_alloc());
        if (!m_fifo || !m_frame || !m_packet)
            return fail("out of memory");

        AVFormatContext* fmt = nullptr;
        if (avformat_alloc_output_context2(&fmt, nullptr, "asf", nullptr) < 0 || !fmt)
            return fail("no asf muxer");
        m_fmt.reset(fmt);
        AVStream* st = avformat_new_stream(fmt, nullptr);
        if (!st)
            return fail("out of memory");
        st->time_base = m_enc->time_base;
        avcodec_parameters_from_context(st->codecpar, m_enc.get());
        m_stream = st;

        constexpr int bufferSize = 4096;
        auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
        AVIOContext* avio = avio_alloc_context(buffer, bufferSize, 1, this, nullptr,
                                               &Publisher::writePacket, nullptr);
        if (!avio) {
            av_free(buffer);
            return fail("out of memory");
        }
        m_avio.reset(avio);
        fmt->pb = avio;
        fmt->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;

        PublishOptions o = options;
        o.contentType = "video/x-ms-asf";
        if (!m_connection.open(m_url, o)) {
            qCWarning(lcPublish).noquote()
                << "publishing point" << QString::fromStdString(url)
                << "refused:" << QString::fromStdString(m_connection.error());
            return fail(m_connection.error());
        }
        qCInfo(lcPublish).noquote() << "publishing to" << QString::fromStdString(url);
        m_sender.start();
        return true;
    }

    bool setTag(const std::string& name, const std::string& value)
    {
        if (m_headerWritten) {
            // The asf muxer writes the tags into the stream's header (the content description
            // objects) and nowhere else: it has no script-command stream and takes no
            // metadata update once the header is out.
            t_lastError = "an ASF stream carries its tags in its header only, and the header "
                          "has gone out";
            return false;
        }
        av_dict_set(&m_fmt->metadata, mapTagName(name).c_str(), value.c_str(), 0);
        return true;
    }

    bool write(const void* buffer, std::size_t length)
    {
        if (m_failed)
            return fail(m_error);
        if (!m_headerWritten && !writeHeader())
            return false;
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        const std::size_t frameBytes = 2 * static_cast<std::size_t>(m_chans);
        // A sample frame split across two writes waits for its other half.
        if (!m_partial.empty()) {
            while (m_partial.size() < frameBytes && length > 0) {
                m_partial.push_back(*bytes++);
                --length;
            }
            if (m_partial.size() == frameBytes) {
                if (!convert(m_partial.data(), 1))
                    return false;
                m_partial.clear();
            }
        }
        std::size_t frames = length / frameBytes;
        if (frames > 0 && !convert(bytes, static_cast<int>(frames)))
            return false;
        m_partial.insert(m_partial.end(), bytes + frames * frameBytes, bytes + length);
        if (!encodeFull(false))
            return false;
        if (m_sender.failed())
            return fail(m_sender.error());
        return true;
    }

    bool close()
    {
        bool ok = !m_failed;
        if (ok && !m_headerWritten)
            ok = writeHeader();
        if (ok)
            ok = encodeFull(true);
        if (ok) {
            if (int rc = av_write_trailer(m_fmt.get()); rc < 0)
                ok = fail("cannot end the stream: " + avError(rc));
            avio_flush(m_avio.get());
        }
        // What is queued goes out first; then the connection is ours again for its end.
        if (!m_sender.stop(closeWaitMs) && ok)
            ok = fail(m_sender.failed() ? m_sender.error()
                                        : "the publishing point took not all of the stream");
        bool finished = m_connection.finish();
        if (ok && !finished)
            ok = fail(m_connection.error());
        return ok;
    }

    int port() const { return m_url.port; }
    const std::string& error() const { return m_error; }

private:
    static int writePacket(void* opaque, uint8_t* buf, int size)
    {
        auto* self = static_cast<Publisher*>(opaque);
        if (self->m_sender.failed())
            return AVERROR(EPIPE);
        self->m_sender.push(buf, static_cast<std::size_t>(size), !self->m_headerSent);
        return size;
    }

    bool fail(std::string text)
    {
        m_failed = true;
        m_error = text;
        t_lastError = std::move(text);
        return false;
    }

    bool writeHeader()
    {
        m_headerWritten = true;
        if (int rc = avformat_write_header(m_fmt.get(), nullptr); rc < 0)
            return fail("cannot start the stream: " +
                        (m_sender.failed() ? m_sender.error() : avError(rc)));
        avio_flush(m_avio.get());
        m_headerSent = true;
        if (m_sender.failed())
            return fail(m_sender.error());
        return true;
    }

    bool convert(const std::uint8_t* pcm, int frames)
    {
        std::vector<float> planes(static_cast<std::size_t>(frames) * m_chans);
        std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(planes.data()),
                                reinterpret_cast<std::uint8_t*>(planes.data() + frames)};
        const std::uint8_t* in[1] = {pcm};
        int got = swr_convert(m_swr.get(), out, frames, in, frames);
        if (got < 0)
            return fail("sample conversion failed");
        if (av_audio_fifo_write(m_fifo.get(), reinterpret_cast<void**>(out), got) < got)
            return fail("out of memory");
        return true;
    }

    // Encodes every whole frame in the FIFO; at the end also the last, padded with silence,
    // and whatever the encoder still holds.
    bool encodeFull(bool atEnd)
    {
        const int frameSize = m_enc->frame_size;
        while (av_audio_fifo_size(m_fifo.get()) >= frameSize ||
               (atEnd && av_audio_fifo_size(m_fifo.get()) > 0)) {
            av_frame_unref(m_frame.get());
            m_frame->nb_samples = frameSize;
            m_frame->format = m_enc->sample_fmt;
            m_frame->sample_rate = m_enc->sample_rate;
            av_channel_layout_copy(&m_frame->ch_layout, &m_enc->ch_layout);
            if (av_frame_get_buffer(m_frame.get(), 0) < 0)
                return fail("out of memory");
            av_samples_set_silence(m_frame->extended_data, 0, frameSize, m_chans,
                                   m_enc->sample_fmt);
            av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(m_frame->extended_data),
                               frameSize);
            m_frame->pts = m_pts;
            m_pts += frameSize;
            if (!encode(m_frame.get()))
                return false;
        }
        if (atEnd)
            return encode(nullptr);
        return true;
    }

    bool encode(AVFrame* frame)
    {
        if (int rc = avcodec_send_frame(m_enc.get(), frame); rc < 0)
            return fail("encoding failed: " + avError(rc));
        for (;;) {
            int rc = avcodec_receive_packet(m_enc.get(), m_packet.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return true;
            if (rc < 0)
                return fail("encoding failed: " + avError(rc));
            av_packet_rescale_ts(m_packet.get(), m_enc->time_base, m_stream->time_base);
            m_packet->stream_index = m_stream->index;
            rc = av_write_frame(m_fmt.get(), m_packet.get());
            av_packet_unref(m_packet.get());
            if (rc < 0 || m_sender.failed())
                return fail(m_sender.failed() ? m_sender.error()
                                              : "cannot send the stream: " + avError(rc));
        }
    }

    PublishUrl m_url;
    PublishConnection m_connection;
    PublishSender m_sender{m_connection}; // goes before the connection
    bool m_headerSent = false;
    int m_chans = 2;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> m_enc;
    std::unique_ptr<SwrContext, SwrDeleter> m_swr;
    std::unique_ptr<AVAudioFifo, FifoDeleter> m_fifo;
    std::unique_ptr<AVFrame, FrameDeleter> m_frame;
    std::unique_ptr<AVPacket, PacketDeleter> m_packet;
    // The muxer refers to the I/O context: it goes first.
    std::unique_ptr<AVIOContext, AvioDeleter> m_avio;
    std::unique_ptr<AVFormatContext, FormatContextDeleter> m_fmt;
    AVStream* m_stream = nullptr;
    std::vector<std::uint8_t> m_partial;
    std::int64_t m_pts = 0;
    bool m_headerWritten = false;
    bool m_failed = false;
    std::string m_error;
};

struct Registry {
    std::mutex mutex;
    std::map<HWMENCODE, std::shared_ptr<Publisher>> encoders;
    HWMENCODE next = 0x70000001;

    std::shared_ptr<Publisher> find(HWMENCODE handle)
    {
        std::lock_guard lock(mutex);
        auto it = encoders.find(handle);
        return it == encoders.end() ? nullptr : it->second;
    }
};

Registry& registry()
{
    static Registry r;
    return r;
}

} // namespace

HWMENCODE BASS_WMA_EncodeOpenPublish(DWORD freq, DWORD chans, DWORD flags, DWORD bitrate,
                                     const char* url, const char* user, const char* pass)
{
    if (!url || !*url)
        return failWith("no publishing address");
    PublishOptions options;
    if (user)
        options.user = user;
    if (pass)
        options.password = pass;
    {
        std::lock_guard lock(g_trustMutex);
        options.trustFile = g_trustFile;
    }
    auto publisher = std::make_shared<Publisher>();
    if (!publisher->open(static_cast<int>(freq), static_cast<int>(chans),
                         bitrate ? static_cast<int>(bitrate) : 128000, url, options))
        return 0; // the reason is set
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    HWMENCODE handle = r.next++;
    if (r.next == 0)
        r.next = 1;
    r.encoders[handle] = std::move(publisher);
    return handle;
}

BOOL BASS_WMA_EncodeSetTag(HWMENCODE handle, const char* tag, const char* text, DWORD form)
{
    auto publisher = registry().find(handle);
    if (!publisher)
        return failWith("no such encoder");
    if (!tag || !text)
        return failWith("no tag");
    if (form != BASS_WMA_TAG_ANSI && form != BASS_WMA_TAG_UTF8)
        return failWith("unsupported tag text form");
    std::lock_guard lock(publisher->mutex);
    return publisher->setTag(tag, text) ? BASS_TRUE : BASS_FALSE;
}

BOOL BASS_WMA_EncodeWrite(HWMENCODE handle, const void* buffer, DWORD length)
{
    auto publisher = registry().find(handle);
    if (!publisher)
        return failWith("no such encoder");
    if (!buffer && length)
        return failWith("no data");
    std::lock_guard lock(publisher->mutex);
    return publisher->write(buffer, length) ? BASS_TRUE : BASS_FALSE;
}

DWORD BASS_WMA_EncodeGetPort(HWMENCODE handle)
{
    auto publisher = registry().find(handle);
    if (!publisher) {
        failWith("no such encoder");
        return 0;
    }
    return static_cast<DWORD>(publisher->port());
}

BOOL BASS_WMA_EncodeClose(HWMENCODE handle)
{
    std::shared_ptr<Publisher> publisher;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.encoders.find(handle);
        if (it == r.encoders.end())
            return failWith("no such encoder");
        publisher = std::move(it->second);
        r.encoders.erase(it);
    }
    std::lock_guard lock(publisher->mutex);
    return publisher->close() ? BASS_TRUE : BASS_FALSE;
}

const char* BASS_WMA_LastErrorText()
{
    return t_lastError.c_str();
}

void BASS_WMA_SetTrustFile(const char* pemFile)
{
    std::lock_guard lock(g_trustMutex);
    g_trustFile = pemFile ? pemFile : "";
}
