#include "desktopnotices.h"

#include "wllog.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString appName = QStringLiteral("WAVELORN Encoder");
} // namespace

DesktopNotices::DesktopNotices(StationStatus* status, QDBusConnection bus, QObject* parent)
    : QObject(parent), m_status(status), m_bus(std::move(bus))
{
    m_offAirTimer.setSingleShot(true);
    connect(&m_offAirTimer, &QTimer::timeout, this, &DesktopNotices::onOffAirTimeout);
    connect(status, &StationStatus::changed, this, &DesktopNotices::onChanged);
    m_wasOnAir = status->isOnAir();
    m_armed = m_wasOnAir;
    m_wasCaptureLost = status->captureLost();
}

DesktopNotices::~DesktopNotices() = default;

void DesktopNotices::stop()
{
    m_stopped = true;
    m_offAirTimer.stop();
    for (Slot* s : {&m_link, &m_deadAir, &m_capture, &m_recording})
        s->queued.reset();
}

void DesktopNotices::recordingStopped(const QString& reason)
{
    if (m_stopped)
        return;
    post(m_recording, {QStringLiteral("Registrazione interrotta"),
                       QStringLiteral("La copia della trasmissione si è fermata (%1); la "
                                      "stazione resta in onda.")
                           .arg(reason),
                       true});
}

bool DesktopNotices::idle() const
{
    return !m_link.inFlight && !m_deadAir.inFlight && !m_capture.inFlight && !m_recording.inFlight;
}

void DesktopNotices::onChanged()
{
    if (m_stopped)
        return;
    const bool onAir = m_status->isOnAir();
    const bool dead = m_status->state() == StationStatus::State::DeadAir;
    const bool captureLost = m_status->captureLost();

    if (onAir && !m_wasOnAir) {
        m_armed = true;
        m_offAirTimer.stop();
        if (m_link.shown) {
            m_link.shown = false;
            post(m_link, {QStringLiteral("Di nuovo in onda"),
                          QStringLiteral("La stazione trasmette di nuovo."), false});
        }
    } else if (!onAir && m_wasOnAir) {
        m_offAirTimer.start(m_offAirDelay);
    }

    if (dead != m_wasDead) {
        if (dead) {
            m_deadAir.shown = true;
            post(m_deadAir, {QStringLiteral("Silenzio in onda"),
                             QStringLiteral("La stazione è in onda ma non arriva suono da %1 s: "
                                            "il lettore musicale è fermo?")
                                 .arg(m_status->deadAir().bound().count() / 1000),
                             true});
        } else if (m_deadAir.shown) {
            m_deadAir.shown = false;
            post(m_deadAir, {{}, {}, false, true});
        }
    }

    if (captureLost != m_wasCaptureLost && m_armed) {
        if (captureLost) {
            m_capture.shown = true;
            post(m_capture, {QStringLiteral("Audio del computer non disponibile"),
                             QStringLiteral("Il server audio si è fermato: la stazione "
                                            "trasmette silenzio finché non torna."),
                             true});
        } else if (m_capture.shown) {
            m_capture.shown = false;
            post(m_capture, {QStringLiteral("Audio del computer di nuovo disponibile"),
                             QStringLiteral("Il suono arriva di nuovo alla stazione."), false});
        }
    }

    m_wasOnAir = onAir;
    m_wasDead = dead;
    m_wasCaptureLost = captureLost;
}

void DesktopNotices::onOffAirTimeout()
{
    if (m_stopped || !m_armed || m_status->isOnAir())
        return;
    const QString cause = m_status->cause();
    QString body =
        QStringLiteral("La stazione non trasmette da più di %1 s.")
            .arg(std::chrono::duration_cast<std::chrono::seconds>(m_offAirDelay).count());
    if (!cause.isEmpty())
        body += QStringLiteral(" Causa: %1.").arg(cause);
    if (m_status->state() == StationStatus::State::Reconnecting)
        body += QStringLiteral(" Nuovo tentativo in corso.");
    m_link.shown = true;
    post(m_link, {QStringLiteral("Stazione fuori onda"), body, true});
}

void DesktopNotices::post(Slot& slot, const Notice& notice)
{
    if (m_stopped)
        return;
    // Until the server has told the id of this slot's notice, a second Notify would make a
    // second notice: keep only the newest text and send it when the answer comes.
    if (slot.inFlight) {
        slot.queued = notice;
        return;
    }
    send(slot, notice);
}

void DesktopNotices::send(Slot& slot, const Notice& notice)
{
    QDBusMessage call;
    if (notice.close) {
        if (slot.id == 0)
            return;
        call = QDBusMessage::createMethodCall(service, path, service,
                                              QStringLiteral("CloseNotification"));
        call << slot.id;
    } else {
        call = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
        QVariantMap hints;
        hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(notice.urgent ? 2 : 1));
        hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("wavelorn-encoder"));
        call << appName << slot.id
             << (notice.urgent ? QStringLiteral("dialog-warning")
                               : QStringLiteral("dialog-information"))
             << notice.summary << notice.body << QStringList()
             << hints
             // An urgent notice stays until the owner sees it or it is updated.
             << (notice.urgent ? 0 : -1);
        ++m_sent;
    }
    slot.inFlight = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    Slot* s = &slot;
    const bool isClose = notice.close;
    const QString summary = notice.summary;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, s, isClose, summary](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                s->inFlight = false;
                if (w->isError()) {
                    if (!m_failing)
                        qCWarning(lcUi).noquote()
                            << "Desktop notice not shown (" << s->name << "):" << w->error().name()
                            << w->error().message();
                    m_failing = true;
                } else {
                    if (m_failing)
                        qCInfo(lcUi, "Desktop notices are shown again");
                    m_failing = false;
                    if (isClose) {
                        s->id = 0;
                    } else {
                        const QDBusPendingReply<uint> reply = *w;
                        s->id = reply.value();
                        qCInfo(lcUi).noquote() << "Desktop notice" << s->id << summary;
                    }
                }
                if (s->queued) {
                    const Notice next = *s->queued;
                    s->queued.reset();
                    post(*s, next);
                }
            });
}
