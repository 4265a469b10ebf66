#pragma once
#include "mixerbackend.h"

#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

struct pa_context;
struct pa_operation;
struct pa_glib_mainloop;
struct pa_sink_info;
struct pa_source_info;
struct pa_server_info;

// The mixer on a PulseAudio server, through libpulse on the GLib loop that Qt's GUI thread
// runs, so every libpulse callback arrives on the GUI thread.
//
// Device 0 is the server, named after it. Destination 0 is playback: its source lines are the
// sinks, named by their descriptions, each with a volume (maximum PA_VOLUME_NORM) and a mute
// switch. Destination 1 is recording: its source lines are the sources, each with volume and
// mute, and its own line has a single-select source list (MUX) whose items are the sources by
// the same names and whose selected item is the default source.
//
// Reads answer from a cache that the server's change events keep current; writes update the
// cache and go through to the server. Sink, source and server events come out as line and
// control notices. With no server there is no device.
class PulseMixerBackend final : public MixerBackend {
    Q_OBJECT
public:
    // Connects to server (empty: libpulse's default, PULSE_SERVER included) and waits, running
    // the event loop, up to timeoutMs for the first picture of the server. Never spawns one.
    explicit PulseMixerBackend(const QString& server = QString(), int timeoutMs = 5000,
                               QObject* parent = nullptr);
    ~PulseMixerBackend() override;

    // Whether the server is connected and its picture known.
    bool isConnected() const { return m_state == State::Ready; }
    // Why there is no device, or why the last write failed.
    QString lastErrorText() const { return m_lastError; }
    // Runs the event loop until every write sent has been answered (or timeoutMs passed).
    bool waitForPendingWrites(int timeoutMs);
    // Runs the event loop until every read asked for by an event has been answered.
    bool waitForIdle(int timeoutMs);

    // Line and control ids (for tests and diagnostics).
    static quint32 destinationLineId(quint32 destination);
    static quint32 sinkLineId(quint32 sinkIndex);
    static quint32 sourceLineId(quint32 sourceIndex);
    static constexpr quint32 VolumeControl = 1;
    static constexpr quint32 MuteControl = 2;
    static constexpr quint32 MuxControl = 3;

    quint32 deviceCount() override;
    MixerResult deviceCaps(quint32 deviceId, MixerCaps& caps) override;
    MixerResult open(quint32 deviceId, MixerHandle& handle) override;
    void close(MixerHandle handle) override;
    MixerResult destinationLine(MixerHandle handle, quint32 destination,
                                MixerLineInfo& line) override;
    MixerResult sourceLine(MixerHandle handle, quint32 destination, quint32 source,
                           MixerLineInfo& line) override;
    MixerResult lineControl(MixerHandle handle, quint32 lineId, quint32 controlType,
                            MixerControlInfo& control) override;
    MixerResult controlValues(MixerHandle handle, quint32 controlId, quint32 items,
                              std::vector<quint32>& values) override;
    MixerResult controlItemTexts(MixerHandle handle, quint32 controlId, quint32 items,
                                 QStringList& texts) override;
    MixerResult setControlValues(MixerHandle handle, quint32 controlId, quint32 items,
                                 const std::vector<quint32>& values) override;

    // A sink or a source as the cache holds it.
    struct Port {
        quint32 index = 0;
        QString name;
        QString description;
        std::vector<quint32> volume; // one value per channel
        bool mute = false;
        quint64 lastWrite = 0; // serial of the last write made to it
    };
    enum class PortKind { Sink, Source };

    // libpulse's callbacks land here (public only for the C trampolines).
    struct Request;
    void onContextState();
    void onEvent(unsigned type, quint32 index);
    void onSinkInfo(Request& r, const pa_sink_info* info, int eol);
    void onSourceInfo(Request& r, const pa_source_info* info, int eol);
    void onServerInfo(Request& r, const pa_server_info* info);
    void onWriteDone(Request& r, bool success);
    void finish(Request& r);

private:
    enum class State { Connecting, Ready, Failed };
    struct ContextDeleter {
        void operator()(pa_context* c) const;
    };
    struct MainloopDeleter {
        void operator()(pa_glib_mainloop* m) const;
    };

    MixerResult checkHandle(MixerHandle handle) const;
    std::map<quint32, Port>& ports(PortKind kind)
    {
        return kind == PortKind::Sink ? m_sinks : m_sources;
    }
    const Port* portAt(PortKind kind, quint32 position) const;
    const Port* portByIndex(PortKind kind, quint32 index) const;
    QString portName(const Port& p) const;
    quint32 muxItemOf(const QString& sourceName) const;

    Request& newRequest(int kind, quint32 index);
    void askSink(quint32 index);
    void askSource(quint32 index);
    void askServer();
    void askEverything();
    void applyPort(PortKind kind, Port fresh, quint64 askedAt);
    void removePort(PortKind kind, quint32 index);
    void setFailed(const QString& why);
    bool sent(pa_operation* op, Request& r);
    Port* mutablePort(PortKind kind, quint32 index);

    void postLineChange(quint32 lineId);
    void postControlChange(quint32 controlId);
    void flushNotices();
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    void wake();

    std::unique_ptr<pa_glib_mainloop, MainloopDeleter> m_mainloop;
    std::unique_ptr<pa_context, ContextDeleter> m_context;
    State m_state = State::Connecting;
    QString m_lastError;

    QString m_serverName;
    QString m_defaultSource;
    quint64 m_defaultSourceWrite = 0;
    std::map<quint32, Port> m_sinks;
    std::map<quint32, Port> m_sources;
    quint64 m_serial = 0;
    bool m_initialServer = false;
    bool m_initialSinks = false;
    bool m_initialSources = false;

    std::map<const Request*, std::unique_ptr<Request>> m_requests;
    int m_pendingWrites = 0;
    int m_pendingReads = 0;

    std::set<MixerHandle> m_handles;
    MixerHandle m_nextHandle = 1;

    struct Notice {
        bool line;
        quint32 id;
    };
    std::vector<Notice> m_notices;
    bool m_flushPosted = false;
    class QEventLoop* m_waitLoop = nullptr;
};
