#include "pulsemixerbackend.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>

#include "wllog.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/glib-mainloop.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/subscribe.h>
#include <pulse/volume.h>

namespace {

// What a request to the server is for.
enum RequestKind { ReqSink, ReqSinkList, ReqSource, ReqSourceList, ReqServer, ReqWrite };

// Ids: category in the top 4 bits, the server's index in the next 24, the control in the low 4.
constexpr quint32 CatSink = 1;
constexpr quint32 CatSource = 2;
constexpr quint32 CatDestination = 3;

constexpr quint32 makeId(quint32 cat, quint32 index, quint32 control = 0)
{
    return (cat << 28) | ((index & 0xFFFFFFu) << 4) | (control & 0xFu);
}
quint32 idCategory(quint32 id)
{
    return id >> 28;
}
quint32 idIndex(quint32 id)
{
    return (id >> 4) & 0xFFFFFFu;
}
quint32 idControl(quint32 id)
{
    return id & 0xFu;
}

// While there is no server: how often to try again, and how long one attempt may take.
constexpr int RetryMs = 500;
constexpr qint64 AttemptMs = 3000;

const QString playbackName = QStringLiteral("Playback");
const QString recordingName = QStringLiteral("Recording");

std::vector<quint32> channelVolumes(const pa_cvolume& cv)
{
    return std::vector<quint32>(cv.values,
                                cv.values + std::min<unsigned>(cv.channels, PA_CHANNELS_MAX));
}

} // namespace

struct PulseMixerBackend::Request {
    PulseMixerBackend* self = nullptr;
    int kind = ReqSink;
    quint32 index = 0;
    quint64 askedAt = 0;                // the write serial when it was sent
    PortKind portKind = PortKind::Sink; // writes: what was written (server: default source)
    bool server = false;
    std::map<quint32, Port> collected; // list requests
};

// ---------------------------------------------------------------------------------------------
// The C trampolines

static void contextStateCb(pa_context*, void* u)
{
    static_cast<PulseMixerBackend*>(u)->onContextState();
}

static void subscribeCb(pa_context*, pa_subscription_event_type_t t, uint32_t idx, void* u)
{
    static_cast<PulseMixerBackend*>(u)->onEvent(static_cast<unsigned>(t), idx);
}

static void sinkInfoCb(pa_context*, const pa_sink_info* i, int eol, void* u)
{
    auto* r = static_cast<PulseMixerBackend::Request*>(u);
    r->self->onSinkInfo(*r, i, eol);
}

static void sourceInfoCb(pa_context*, const pa_source_info* i, int eol, void* u)
{
    auto* r = static_cast<PulseMixerBackend::Request*>(u);
    r->self->onSourceInfo(*r, i, eol);
}

static void serverInfoCb(pa_context*, const pa_server_info* i, void* u)
{
    auto* r = static_cast<PulseMixerBackend::Request*>(u);
    r->self->onServerInfo(*r, i);
}

static void successCb(pa_context*, int success, void* u)
{
    auto* r = static_cast<PulseMixerBackend::Request*>(u);
    r->self->onWriteDone(*r, success != 0);
}

void PulseMixerBackend::ContextDeleter::operator()(pa_context* c) const
{
    pa_context_set_state_callback(c, nullptr, nullptr);
    pa_context_set_subscribe_callback(c, nullptr, nullptr);
    // Cancels every operation still running: none of their callbacks is called afterwards.
    pa_context_disconnect(c);
    pa_context_unref(c);
}

void PulseMixerBackend::MainloopDeleter::operator()(pa_glib_mainloop* m) const
{
    pa_glib_mainloop_free(m);
}

// ---------------------------------------------------------------------------------------------
// Connection

PulseMixerBackend::PulseMixerBackend(const QString& server, QObject* parent)
    : MixerBackend(parent), m_address(server.toUtf8())
{
    auto* dispatcher = QAbstractEventDispatcher::instance();
    if (!QCoreApplication::instance() || !dispatcher ||
        !dispatcher->inherits("QEventDispatcherGlib")) {
        // libpulse runs on the GLib loop: without it no callback would ever arrive.
        m_state = State::Unusable;
        m_lastError = QStringLiteral("the event loop is not GLib's");
        qCWarning(lcMixer, "no mixer: %s", qUtf8Printable(m_lastError));
        return;
    }
    m_mainloop.reset(pa_glib_mainloop_new(nullptr));
    if (!m_mainloop) {
        m_state = State::Unusable;
        m_lastError = QStringLiteral("no GLib main loop for libpulse");
        qCWarning(lcMixer, "no mixer: %s", qUtf8Printable(m_lastError));
        return;
    }
    m_retry = new QTimer(this);
    m_retry->setInterval(RetryMs);
    connect(m_retry, &QTimer::timeout, this, &PulseMixerBackend::retryTick);
    connectNow();
}

PulseMixerBackend::~PulseMixerBackend()
{
    // Cancels every operation: no callback reaches the requests freed below.
    m_context.reset();
    m_requests.clear();
    m_mainloop.reset();
}

void PulseMixerBackend::dropContext()
{
    m_context.reset();
    // The operations of the context are cancelled with it: their requests never finish.
    m_requests.clear();
    m_pendingReads = 0;
    m_pendingWrites = 0;
}

void PulseMixerBackend::connectNow()
{
    dropContext();
    m_state = State::Connecting;
    ++m_generation;
    m_initialServer = m_initialSinks = m_initialSources = false;
    m_attemptClock.start();
    m_retry->start(); // ticks until the server's picture is complete
    m_context.reset(
        pa_context_new(pa_glib_mainloop_get_api(m_mainloop.get()), "Wavelorn Encoder mixer"));
    if (!m_context) {
        lost(QStringLiteral("pa_context_new failed"));
        return;
    }
    pa_context_set_state_callback(m_context.get(), contextStateCb, this);
    pa_context_set_subscribe_callback(m_context.get(), subscribeCb, this);
    if (pa_context_connect(m_context.get(), m_address.isEmpty() ? nullptr : m_address.constData(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        lost(QString::fromUtf8(pa_strerror(pa_context_errno(m_context.get()))));
}

void PulseMixerBackend::retryTick()
{
    switch (m_state) {
    case State::Ready:
    case State::Unusable:
        m_retry->stop();
        return;
    case State::Connecting:
        // A server that accepts the connection and then never answers (stopped, hung).
        if (m_attemptClock.elapsed() < AttemptMs)
            return;
        lost(QStringLiteral("the sound server does not answer"));
        break;
    case State::Down:
        break;
    }
    connectNow();
}

void PulseMixerBackend::lost(const QString& why)
{
    const bool wasReady = m_state == State::Ready;
    m_state = State::Down;
    m_lastError = why;
    m_sinks.clear();
    m_sources.clear();
    m_serverName.clear();
    m_defaultSource.clear();
    m_defaultSourceWrites = WriteGuard{};
    // The context is freed by the next attempt, outside libpulse's callbacks; its operations
    // are cancelled already and finish no request.
    m_pendingReads = 0;
    m_pendingWrites = 0;
    if (wasReady) {
        m_downClock.start();
        m_downLogged = true;
        qCWarning(lcMixer, "sound server lost: %s; reconnecting every second", qUtf8Printable(why));
        postLineChange(destinationLineId(0));
        postLineChange(destinationLineId(1));
        postDeviceChange();
    } else if (!m_downLogged) {
        // One line per outage, not one per attempt.
        m_downLogged = true;
        qCWarning(lcMixer, "no sound server: %s; trying again every second", qUtf8Printable(why));
    }
    if (m_retry && !m_retry->isActive())
        m_retry->start();
    wake();
}

void PulseMixerBackend::becomeReadyIfComplete()
{
    if (m_state != State::Connecting || !m_initialServer || !m_initialSinks || !m_initialSources)
        return;
    m_state = State::Ready;
    m_retry->stop();
    ++m_connects;
    m_lastError.clear();
    if (m_downClock.isValid())
        qCInfo(lcMixer, "sound server back after %.1f s: %s, %zu sinks, %zu sources",
               m_downClock.elapsed() / 1000.0, qUtf8Printable(m_serverName), m_sinks.size(),
               m_sources.size());
    else
        qCInfo(lcMixer, "connected to the sound server: %s, %zu sinks, %zu sources",
               qUtf8Printable(m_serverName), m_sinks.size(), m_sources.size());
    m_downClock.invalidate();
    m_downLogged = false;
    postDeviceChange();
    wake();
}

void PulseMixerBackend::postDeviceChange()
{
    QMetaObject::invokeMethod(
        this, [this] { emit deviceChange(); }, Qt::QueuedConnection);
}

void PulseMixerBackend::onContextState()
{
    switch (pa_context_get_state(m_context.get())) {
    case PA_CONTEXT_READY:
        askEverything();
        if (pa_operation* op =
                pa_context_subscribe(m_context.get(),
                                     static_cast<pa_subscription_mask_t>(
                                         PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                         PA_SUBSCRIPTION_MASK_SERVER),
                                     nullptr, nullptr))
            pa_operation_unref(op);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        lost(QString::fromUtf8(pa_strerror(pa_context_errno(m_context.get()))));
        break;
    default:
        break;
    }
}

bool PulseMixerBackend::waitFor(const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    if (!QCoreApplication::instance())
        return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    QEventLoop* outer = m_waitLoop;
    m_waitLoop = &loop;
    while (!done() && timer.isActive())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    m_waitLoop = outer;
    return done();
}

void PulseMixerBackend::wake()
{
    if (m_waitLoop)
        m_waitLoop->quit();
}

bool PulseMixerBackend::waitForConnected(int timeoutMs)
{
    return waitFor([this] { return m_state == State::Ready; }, timeoutMs);
}

bool PulseMixerBackend::waitForPendingWrites(int timeoutMs)
{
    return waitFor([this] { return m_pendingWrites == 0; }, timeoutMs);
}

bool PulseMixerBackend::waitForIdle(int timeoutMs)
{
    return waitFor([this] { return m_pendingWrites == 0 && m_pendingReads == 0; }, timeoutMs);
}

// ---------------------------------------------------------------------------------------------
// Requests and the cache

PulseMixerBackend::Request& PulseMixerBackend::newRequest(int kind, quint32 index)
{
    auto r = std::make_unique<Request>();
    r->self = this;
    r->kind = kind;
    r->index = index;
    r->askedAt = m_serial;
    Request& ref = *r;
    m_requests.emplace(&ref, std::move(r));
    if (kind == ReqWrite)
        ++m_pendingWrites;
    else
        ++m_pendingReads;
    return ref;
}

void PulseMixerBackend::finish(Request& r)
{
    if (r.kind == ReqWrite)
        m_pendingWrites = std::max(0, m_pendingWrites - 1);
    else
        m_pendingReads = std::max(0, m_pendingReads - 1);
    m_requests.erase(&r);
    wake();
}

bool PulseMixerBackend::sent(pa_operation* op, Request& r)
{
    if (!op) {
        m_lastError = QString::fromUtf8(pa_strerror(pa_context_errno(m_context.get())));
        finish(r);
        return false;
    }
    pa_operation_unref(op);
    return true;
}

void PulseMixerBackend::askSink(quint32 index)
{
    Request& r = newRequest(ReqSink, index);
    sent(pa_context_get_sink_info_by_index(m_context.get(), index, sinkInfoCb, &r), r);
}

void PulseMixerBackend::askSource(quint32 index)
{
    Request& r = newRequest(ReqSource, index);
    sent(pa_context_get_source_info_by_index(m_context.get(), index, sourceInfoCb, &r), r);
}

void PulseMixerBackend::askServer()
{
    Request& r = newRequest(ReqServer, 0);
    sent(pa_context_get_server_info(m_context.get(), serverInfoCb, &r), r);
}

void PulseMixerBackend::askEverything()
{
    askServer();
    Request& sinks = newRequest(ReqSinkList, 0);
    sent(pa_context_get_sink_info_list(m_context.get(), sinkInfoCb, &sinks), sinks);
    Request& sources = newRequest(ReqSourceList, 0);
    sent(pa_context_get_source_info_list(m_context.get(), sourceInfoCb, &sources), sources);
}

void PulseMixerBackend::onEvent(unsigned type, quint32 index)
{
    const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK:
        if (removed)
            removePort(PortKind::Sink, index);
        else
            askSink(index);
        break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
        if (removed)
            removePort(PortKind::Source, index);
        else
            askSource(index);
        break;
    case PA_SUBSCRIPTION_EVENT_SERVER:
        askServer();
        break;
    default:
        break;
    }
}

template <typename Info> static PulseMixerBackend::Port portOf(const Info* i)
{
    PulseMixerBackend::Port p;
    p.index = i->index;
    p.name = QString::fromUtf8(i->name ? i->name : "");
    p.description = QString::fromUtf8(i->description ? i->description : "");
    p.volume = channelVolumes(i->volume);
    p.mute = i->mute != 0;
    return p;
}

void PulseMixerBackend::onSinkInfo(Request& r, const pa_sink_info* info, int eol)
{
    if (info) {
        if (r.kind == ReqSinkList)
            r.collected[info->index] = portOf(info);
        else
            applyPort(PortKind::Sink, portOf(info), r.askedAt);
    }
    if (eol == 0)
        return;
    if (r.kind == ReqSinkList) {
        if (eol > 0) {
            std::vector<quint32> gone;
            for (const auto& [index, p] : m_sinks)
                if (!r.collected.count(index))
                    gone.push_back(index);
            for (quint32 index : gone)
                removePort(PortKind::Sink, index);
            for (auto& [index, p] : r.collected)
                applyPort(PortKind::Sink, std::move(p), r.askedAt);
        }
        m_initialSinks = true;
    } else if (eol < 0) {
        removePort(PortKind::Sink, r.index); // gone before we asked
    }
    becomeReadyIfComplete();
    finish(r);
}

void PulseMixerBackend::onSourceInfo(Request& r, const pa_source_info* info, int eol)
{
    if (info) {
        if (r.kind == ReqSourceList)
            r.collected[info->index] = portOf(info);
        else
            applyPort(PortKind::Source, portOf(info), r.askedAt);
    }
    if (eol == 0)
        return;
    if (r.kind == ReqSourceList) {
        if (eol > 0) {
            std::vector<quint32> gone;
            for (const auto& [index, p] : m_sources)
                if (!r.collected.count(index))
                    gone.push_back(index);
            for (quint32 index : gone)
                removePort(PortKind::Source, index);
            for (auto& [index, p] : r.collected)
                applyPort(PortKind::Source, std::move(p), r.askedAt);
        }
        m_initialSources = true;
    } else if (eol < 0) {
        removePort(PortKind::Source, r.index);
    }
    becomeReadyIfComplete();
    finish(r);
}

void PulseMixerBackend::onServerInfo(Request& r, const pa_server_info* info)
{
    if (info) {
        m_serverName = QString::fromUtf8(info->server_name ? info->server_name : "");
        const QString source =
            QString::fromUtf8(info->default_source_name ? info->default_source_name : "");
        // An answer to a question asked before our own last choice was done is out of date.
        if (m_defaultSourceWrites.holds(r.askedAt))
            m_defaultSourceWrites.missed = true;
        else if (source != m_defaultSource) {
            m_defaultSource = source;
            postControlChange(makeId(CatDestination, 1, MuxControl));
        }
    }
    m_initialServer = true;
    becomeReadyIfComplete();
    finish(r);
}

void PulseMixerBackend::onWriteDone(Request& r, bool success)
{
    WriteGuard* guard = nullptr;
    if (r.server) {
        guard = &m_defaultSourceWrites;
    } else if (Port* p = mutablePort(r.portKind, r.index)) {
        guard = &p->writes;
    }
    bool askAgain = !success;
    if (guard) {
        guard->inFlight = std::max(0, guard->inFlight - 1);
        if (guard->inFlight == 0) {
            guard->doneAt = ++m_serial;
            // What the server said meanwhile was set aside: ask what holds now.
            askAgain = askAgain || guard->missed;
            guard->missed = false;
        }
    }
    if (!success) {
        m_lastError = QString::fromUtf8(pa_strerror(pa_context_errno(m_context.get())));
        qCWarning(lcMixer, "the sound server refused a mixer change: %s",
                  qUtf8Printable(m_lastError));
    }
    if (askAgain) {
        // After a refusal the cache holds a value the server never took.
        if (r.server)
            askServer();
        else if (r.portKind == PortKind::Sink)
            askSink(r.index);
        else
            askSource(r.index);
    }
    finish(r);
}

void PulseMixerBackend::writeSent(WriteGuard& guard)
{
    ++guard.inFlight;
    ++m_serial;
}

void PulseMixerBackend::applyPort(PortKind kind, Port fresh, quint64 askedAt)
{
    const quint32 cat = kind == PortKind::Sink ? CatSink : CatSource;
    const quint32 destination = kind == PortKind::Sink ? 0 : 1;
    auto& map = ports(kind);
    auto it = map.find(fresh.index);
    if (it == map.end()) {
        auto& ranks = m_ranks[kind == PortKind::Sink ? 0 : 1];
        auto rank = ranks.find(fresh.name);
        if (rank == ranks.end())
            rank = ranks.emplace(fresh.name, m_nextRank++).first;
        fresh.rank = rank->second;
        map.emplace(fresh.index, std::move(fresh));
        postLineChange(destinationLineId(destination));
        if (kind == PortKind::Source)
            postControlChange(makeId(CatDestination, 1, MuxControl));
        return;
    }
    Port& old = it->second;
    if (old.writes.holds(askedAt)) {
        // Asked before our own write was done: our values are the newer ones.
        fresh.volume = old.volume;
        fresh.mute = old.mute;
        old.writes.missed = true;
    }
    fresh.writes = old.writes;
    fresh.rank = old.rank;
    const bool volumeChanged = old.volume != fresh.volume;
    const bool muteChanged = old.mute != fresh.mute;
    const bool nameChanged = portName(old) != portName(fresh);
    const quint32 index = fresh.index;
    old = std::move(fresh);
    if (volumeChanged)
        postControlChange(makeId(cat, index, VolumeControl));
    if (muteChanged)
        postControlChange(makeId(cat, index, MuteControl));
    if (nameChanged) {
        postLineChange(makeId(cat, index));
        if (kind == PortKind::Source)
            postControlChange(makeId(CatDestination, 1, MuxControl));
    }
}

void PulseMixerBackend::removePort(PortKind kind, quint32 index)
{
    auto& map = ports(kind);
    if (map.erase(index) == 0)
        return;
    postLineChange(destinationLineId(kind == PortKind::Sink ? 0 : 1));
    if (kind == PortKind::Source)
        postControlChange(makeId(CatDestination, 1, MuxControl));
}

std::vector<const PulseMixerBackend::Port*> PulseMixerBackend::ordered(PortKind kind) const
{
    const auto& map = kind == PortKind::Sink ? m_sinks : m_sources;
    std::vector<const Port*> r;
    r.reserve(map.size());
    for (const auto& [index, p] : map)
        r.push_back(&p);
    std::sort(r.begin(), r.end(), [](const Port* a, const Port* b) { return a->rank < b->rank; });
    return r;
}

const PulseMixerBackend::Port* PulseMixerBackend::portAt(PortKind kind, quint32 position) const
{
    const std::vector<const Port*> ports = ordered(kind);
    return position < ports.size() ? ports[position] : nullptr;
}

const PulseMixerBackend::Port* PulseMixerBackend::portByIndex(PortKind kind, quint32 index) const
{
    const auto& map = kind == PortKind::Sink ? m_sinks : m_sources;
    auto it = map.find(index);
    return it == map.end() ? nullptr : &it->second;
}

PulseMixerBackend::Port* PulseMixerBackend::mutablePort(PortKind kind, quint32 index)
{
    auto& map = ports(kind);
    auto it = map.find(index);
    return it == map.end() ? nullptr : &it->second;
}

QString PulseMixerBackend::portName(const Port& p) const
{
    // A line's name field holds 63 characters and its end.
    return (p.description.isEmpty() ? p.name : p.description).left(MixerLineNameChars - 1);
}

// ---------------------------------------------------------------------------------------------
// Notices

void PulseMixerBackend::postLineChange(quint32 lineId)
{
    m_notices.push_back({true, lineId, m_generation});
    flushNotices();
}

void PulseMixerBackend::postControlChange(quint32 controlId)
{
    m_notices.push_back({false, controlId, m_generation});
    flushNotices();
}

void PulseMixerBackend::flushNotices()
{
    // Notices are posted: they arrive after the call or callback that caused them is over.
    if (m_flushPosted)
        return;
    m_flushPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_flushPosted = false;
            std::vector<Notice> notices;
            notices.swap(m_notices);
            const std::map<MixerHandle, int> handles = m_handles;
            for (const Notice& n : notices) {
                for (const auto& [h, generation] : handles) {
                    // A handle hears only of the connection it was opened on.
                    if (generation != n.generation)
                        continue;
                    if (n.line)
                        emit lineChange(h, n.id);
                    else
                        emit controlChange(h, n.id);
                }
            }
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// The mixer operations

quint32 PulseMixerBackend::destinationLineId(quint32 destination)
{
    return makeId(CatDestination, destination);
}

quint32 PulseMixerBackend::sinkLineId(quint32 sinkIndex)
{
    return makeId(CatSink, sinkIndex);
}

quint32 PulseMixerBackend::sourceLineId(quint32 sourceIndex)
{
    return makeId(CatSource, sourceIndex);
}

quint32 PulseMixerBackend::deviceCount()
{
    return m_state == State::Ready ? 1 : 0;
}

MixerResult PulseMixerBackend::deviceCaps(quint32 deviceId, MixerCaps& caps)
{
    caps = MixerCaps{};
    if (deviceId != 0 || m_state != State::Ready)
        return MMSYSERR_BADDEVICEID;
    caps.name = m_serverName.left(MixerDeviceNameChars - 1);
    caps.destinations = 2;
    return MMSYSERR_NOERROR;
}

MixerResult PulseMixerBackend::open(quint32 deviceId, MixerHandle& handle)
{
    handle = 0;
    if (deviceId != 0 || m_state != State::Ready)
        return MMSYSERR_BADDEVICEID;
    handle = m_nextHandle++;
    m_handles.emplace(handle, m_generation);
    return MMSYSERR_NOERROR;
}

void PulseMixerBackend::close(MixerHandle handle)
{
    m_handles.erase(handle);
}

MixerResult PulseMixerBackend::checkHandle(MixerHandle handle) const
{
    const auto it = m_handles.find(handle);
    if (it == m_handles.end())
        return MMSYSERR_INVALHANDLE;
    // A handle of a lost connection stays dead: its lines may name other ports now.
    if (m_state != State::Ready || it->second != m_generation)
        return MMSYSERR_NODRIVER;
    return MMSYSERR_NOERROR;
}

MixerResult PulseMixerBackend::destinationLine(MixerHandle handle, quint32 destination,
                                               MixerLineInfo& line)
{
    if (MixerResult r = checkHandle(handle))
        return r;
    if (destination > 1)
        return MMSYSERR_INVALPARAM;
    line = MixerLineInfo{};
    line.destination = destination;
    line.lineId = destinationLineId(destination);
    line.name = destination == 0 ? playbackName : recordingName;
    line.connections = static_cast<quint32>(destination == 0 ? m_sinks.size() : m_sources.size());
    return MMSYSERR_NOERROR;
}

MixerResult PulseMixerBackend::sourceLine(MixerHandle handle, quint32 destination, quint32 source,
                                          MixerLineInfo& line)
{
    if (MixerResult r = checkHandle(handle))
        return r;
    if (destination > 1)
        return MMSYSERR_INVALPARAM;
    const PortKind kind = destination == 0 ? PortKind::Sink : PortKind::Source;
    const Port* p = portAt(kind, source);
    if (!p)
        return MMSYSERR_INVALPARAM;
    line = MixerLineInfo{};
    line.destination = destination;
    line.source = source;
    line.lineId = makeId(destination == 0 ? CatSink : CatSource, p->index);
    line.name = portName(*p);
    return MMSYSERR_NOERROR;
}

MixerResult PulseMixerBackend::lineControl(MixerHandle handle, quint32 lineId, quint32 controlType,
                                           MixerControlInfo& control)
{
    if (MixerResult r = checkHandle(handle))
        return r;
    const quint32 cat = idCategory(lineId);
    const quint32 index = idIndex(lineId);
    if (idControl(lineId) != 0)
        return MIXERR_INVALLINE;
    control = MixerControlInfo{};
    control.controlType = controlType;
    if (cat == CatSink || cat == CatSource) {
        if (!portByIndex(cat == CatSink ? PortKind::Sink : PortKind::Source, index))
            return MIXERR_INVALLINE;
        if (controlType == MIXERCONTROL_CONTROLTYPE_VOLUME) {
            control.controlId = makeId(cat, index, VolumeControl);
            control.maximum = PA_VOLUME_NORM;
            return MMSYSERR_NOERROR;
        }
        if (controlType == MIXERCONTROL_CONTROLTYPE_MUTE) {
            control.controlId = makeId(cat, index, MuteControl);
            control.maximum = 1;
            return MMSYSERR_NOERROR;
        }
    } else if (cat == CatDestination) {
        if (index > 1)
            return MIXERR_INVALLINE;
        if (index == 1 && controlType == MIXERCONTROL_CONTROLTYPE_MUX) {
            control.controlId = makeId(CatDestination, 1, MuxControl);
            control.multipleItems = static_cast<quint32>(m_sources.size());
            control.maximum = 1;
            return MMSYSERR_NOERROR;
        }
    } else {
        return MIXERR_INVALLINE;
    }
    control = MixerControlInfo{};
    return MIXERR_INVALCONTROL;
}

MixerResult PulseMixerBackend::controlValues(MixerHandle handle, quint32 controlId, quint32 items,
                                             std::vector<quint32>& values)
{
    if (MixerResult r = checkHandle(handle))
        return r;
    const quint32 cat = idCategory(controlId);
    const quint32 index = idIndex(controlId);
    const quint32 control = idControl(controlId);
    if (cat == CatSink || cat == CatSource) {
        const Port* p = portByIndex(cat == CatSink ? PortKind::Sink : PortKind::Source, index);
        if (!p)
            return MIXERR_INVALCONTROL;
        if (control == VolumeControl) {
            const auto max = std::max_element(p->volume.begin(), p->volume.end());
            values.assign(1, max == p->volume.end() ? 0 : *max);
            return MMSYSERR_NOERROR;
        }
        if (control == MuteControl) {
            values.assign(1, p->mute ? 1 : 0);
            return MMSYSERR_NOERROR;
        }
    } else if (cat == CatDestination && index == 1 && control == MuxControl) {
        values.assign(items, 0);
        quint32 pos = 0;
        for (const Port* p : ordered(PortKind::Source)) {
            if (pos >= items)
                break;
            values[pos++] = p->name == m_defaultSource ? 1 : 0;
        }
        return MMSYSERR_NOERROR;
    }
    return MIXERR_INVALCONTROL;
}

MixerResult PulseMixerBackend::controlItemTexts(MixerHandle handle, quint32 controlId,
                                                quint32 items, QStringList& texts)
{
    if (MixerResult r = checkHandle(handle))
        return r;
    if (idCategory(controlId) != CatDestination || idIndex(controlId) != 1 ||
        idControl(controlId) != MuxControl)
        return MIXERR_INVALCONTROL;
    texts.clear();
    for (const Port* p : ordered(PortKind::Source)) {
        if (static_cast<quint32>(texts.size()) >= items)
            break;
        texts.append(portName(*p));
    }
    while (static_cast<quint32>(texts.size()) < items)
        texts.append(QString());
    return MMSYSERR_NOERROR;
}

MixerResult PulseMixerBackend::setControlValues(MixerHandle handle, quint32 controlId,
                                                quint32 items, const std::vector<quint32>& values)
{
    if (MixerResult r = checkHandle(handle))
        return r;
    if (values.empty())
        return MMSYSERR_INVALPARAM;
    const quint32 cat = idCategory(controlId);
    const quint32 index = idIndex(controlId);
    const quint32 control = idControl(controlId);
    if (cat == CatSink || cat == CatSource) {
        const PortKind kind = cat == CatSink ? PortKind::Sink : PortKind::Source;
        Port* p = mutablePort(kind, index);
        if (!p)
            return MIXERR_INVALCONTROL;
        if (control == VolumeControl) {
            const quint32 v = std::min<quint32>(values[0], PA_VOLUME_MAX);
            pa_cvolume cv;
            const auto channels = static_cast<unsigned>(
                std::clamp<std::size_t>(p->volume.size(), 1, PA_CHANNELS_MAX));
            pa_cvolume_set(&cv, channels, v);
            Request& r = newRequest(ReqWrite, index);
            r.portKind = kind;
            pa_operation* op = kind == PortKind::Sink
                                   ? pa_context_set_sink_volume_by_index(m_context.get(), index,
                                                                         &cv, successCb, &r)
                                   : pa_context_set_source_volume_by_index(m_context.get(), index,
                                                                           &cv, successCb, &r);
            if (!sent(op, r))
                return MMSYSERR_ERROR;
            std::vector<quint32> fresh = channelVolumes(cv);
            const bool changed = fresh != p->volume;
            p->volume = std::move(fresh);
            writeSent(p->writes);
            if (changed)
                postControlChange(controlId);
            return MMSYSERR_NOERROR;
        }
        if (control == MuteControl) {
            const bool mute = values[0] != 0;
            Request& r = newRequest(ReqWrite, index);
            r.portKind = kind;
            pa_operation* op =
                kind == PortKind::Sink
                    ? pa_context_set_sink_mute_by_index(m_context.get(), index, mute, successCb, &r)
                    : pa_context_set_source_mute_by_index(m_context.get(), index, mute, successCb,
                                                          &r);
            if (!sent(op, r))
                return MMSYSERR_ERROR;
            const bool changed = mute != p->mute;
            p->mute = mute;
            writeSent(p->writes);
            if (changed)
                postControlChange(controlId);
            return MMSYSERR_NOERROR;
        }
        return MIXERR_INVALCONTROL;
    }
    if (cat == CatDestination && index == 1 && control == MuxControl) {
        // The first item set picks the source; a single-select list has exactly one.
        const Port* chosen = nullptr;
        quint32 pos = 0;
        for (const Port* p : ordered(PortKind::Source)) {
            if (pos >= items || pos >= values.size())
                break;
            if ((values[pos] & 0xFF) != 0) {
                chosen = p;
                break;
            }
            ++pos;
        }
        if (!chosen)
            return MIXERR_INVALVALUE;
        const QString name = chosen->name;
        Request& r = newRequest(ReqWrite, 0);
        r.server = true;
        if (!sent(pa_context_set_default_source(m_context.get(), name.toUtf8().constData(),
                                                successCb, &r),
                  r))
            return MMSYSERR_ERROR;
        const bool changed = name != m_defaultSource;
        m_defaultSource = name;
        writeSent(m_defaultSourceWrites);
        if (changed)
            postControlChange(controlId);
        return MMSYSERR_NOERROR;
    }
    return MIXERR_INVALCONTROL;
}
