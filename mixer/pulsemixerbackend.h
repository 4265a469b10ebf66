#pragma once
#include "mixerbackend.h"

#include <QElapsedTimer>
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
class QTimer;

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
//
// Nothing here waits: the connection is made in the background, and when it fails or the
// server goes away (a crash, a restart) it is tried again twice a second until a server answers.
// Every connect and loss comes out as deviceChange; handles opened before a loss answer
// MMSYSERR_NODRIVER from then on, and a mixer reopens to see the new server. Lines keep their
// positions across a reconnect when the server has the same sinks and sources.
class PulseMixerBackend final : public MixerBackend {
    Q_OBJECT
public:
    // Starts connecting to server (empty: libpulse's default, PULSE_SERVER included). Never
    // spawns one.
    explicit PulseMixerBackend(const QString& server = QString(), QObject* parent = nullptr);
    // Frees the connection at once: writes still queued in libpulse may not reach the server.
    ~PulseMixerBackend() override;

    // Whether the server is connected and its picture known.
    bool isConnected() const { return m_state == State::Ready; }
    // Why there is no device, or why the last write failed.
    QString lastErrorText() const { return m_lastError; }
    // How many times a connection was made (the first one included).
    int connectionCount() const { return m_connects; }

    // For tests: run the event loop until the condition holds or timeoutMs passed.
    bool waitForConnected(int timeoutMs);
    // Every write sent has been answered.
    bool waitForPendingWrites(int timeoutMs);
    // Every read asked for by an event has been answered too.
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

    // Our own writes to a value. The server may answer a read that was sent after a write
    // with the value from before it (PipeWire does, until the write is done), so the written
    // value stands against every answer to a read sent before the last write was done; a read
    // answer set aside that way is asked again once it is.
    struct WriteGuard {
        int inFlight = 0;
        quint64 doneAt = 0; // serial when the last write was answered
        bool missed = false;
        bool holds(quint64 askedAt) const { return inFlight > 0 || doneAt > askedAt; }
    };
    // A sink or a source as the cache holds it.
    struct Port {
        quint32 index = 0;
        QString name;
        QString description;
        std::vector<quint32> volume; // one value per channel
        bool mute = false;
        quint64 rank = 0; // position among its kind: the order in which names were first seen
        WriteGuard writes;
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
    enum class State { Connecting, Ready, Down, Unusable };
    struct ContextDeleter {
        void operator()(pa_context* c) const;
    };
    struct MainloopDeleter {
        void operator()(pa_glib_mainloop* m) const;
    };

    void connectNow();
    void retryTick();
    void lost(const QString& why);
    void becomeReadyIfComplete();
    void dropContext();
    void postDeviceChange();

    MixerResult checkHandle(MixerHandle handle) const;
    std::map<quint32, Port>& ports(PortKind kind)
    {
        return kind == PortKind::Sink ? m_sinks : m_sources;
    }
    std::vector<const Port*> ordered(PortKind kind) const;
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
    void writeSent(WriteGuard& guard);
    void removePort(PortKind kind, quint32 index);
    bool sent(pa_operation* op, Request& r);
    Port* mutablePort(PortKind kind, quint32 index);

    void postLineChange(quint32 lineId);
    void postControlChange(quint32 controlId);
    void flushNotices();
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    void wake();

    std::unique_ptr<pa_glib_mainloop, MainloopDeleter> m_mainloop;
    std::unique_ptr<pa_context, ContextDeleter> m_context;
    QByteArray m_address;
    State m_state = State::Connecting;
    QString m_lastError;
    int m_generation = 0; // connection attempts so far; a handle belongs to one
    int m_connects = 0;
    QTimer* m_retry = nullptr;
    QElapsedTimer m_attemptClock; // since the current connection attempt began
    QElapsedTimer m_downClock;    // since the server was lost (invalid: never connected)
    bool m_downLogged = false;

    QString m_serverName;
    QString m_defaultSource;
    WriteGuard m_defaultSourceWrites;
    std::map<QString, quint64> m_ranks[2]; // by kind, kept across reconnects
    quint64 m_nextRank = 0;
    std::map<quint32, Port> m_sinks;
    std::map<quint32, Port> m_sources;
    quint64 m_serial = 0;
    bool m_initialServer = false;
    bool m_initialSinks = false;
    bool m_initialSources = false;

    std::map<const Request*, std::unique_ptr<Request>> m_requests;
    int m_pendingWrites = 0;
    int m_pendingReads = 0;

    std::map<MixerHandle, int> m_handles; // handle -> the connection it was opened on
    MixerHandle m_nextHandle = 1;

    struct Notice {
        bool line;
        quint32 id;
        int generation;
    };
    std::vector<Notice> m_notices;
    bool m_flushPosted = false;
    class QEventLoop* m_waitLoop = nullptr;
};
