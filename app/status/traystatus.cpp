#include "traystatus.h"

#include "wllog.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <array>

namespace {

QPixmap drawIcon(StationStatus::State state, int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    QColor fill;
    switch (state) {
    case StationStatus::State::OnAir:
        fill = QColor(0xd3, 0x2f, 0x2f); // the red of an "on air" sign
        break;
    case StationStatus::State::Reconnecting:
        fill = QColor(0xf5, 0x9e, 0x0b);
        break;
    case StationStatus::State::OffAir:
        fill = QColor(0x75, 0x75, 0x75);
        break;
    case StationStatus::State::DeadAir:
        fill = QColor(0x6d, 0x28, 0xd9);
        break;
    }
    p.setPen(QPen(fill.darker(140), s / 16));
    p.setBrush(fill);
    p.drawEllipse(QRectF(s * 0.06, s * 0.06, s * 0.88, s * 0.88));

    const QPointF c(s / 2, s / 2);
    QPen white(Qt::white, s / 11, Qt::SolidLine, Qt::RoundCap);
    p.setPen(white);
    p.setBrush(Qt::NoBrush);
    switch (state) {
    case StationStatus::State::OnAir: {
        // An antenna's dot with waves on both sides.
        p.setBrush(Qt::white);
        p.drawEllipse(c, s / 14, s / 14);
        p.setBrush(Qt::NoBrush);
        for (double r : {s * 0.18, s * 0.30}) {
            const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
            p.drawArc(box, -40 * 16, 80 * 16);
            p.drawArc(box, 140 * 16, 80 * 16);
        }
        break;
    }
    case StationStatus::State::Reconnecting: {
        // A circling arrow.
        const double r = s * 0.24;
        const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
        p.drawArc(box, 90 * 16, 270 * 16);
        QPainterPath head;
        head.moveTo(c.x() + r * 0.0, c.y() - r - s * 0.10);
        head.lineTo(c.x() + s * 0.14, c.y() - r);
        head.lineTo(c.x() + r * 0.0, c.y() - r + s * 0.10);
        head.closeSubpath();
        p.setBrush(Qt::white);
        p.drawPath(head);
        break;
    }
    case StationStatus::State::OffAir:
        // A bar: nothing goes out.
        p.drawLine(QPointF(s * 0.28, c.y()), QPointF(s * 0.72, c.y()));
        break;
    case StationStatus::State::DeadAir: {
        // A flat line between two short waves: on the air, with nothing to hear.
        p.drawLine(QPointF(s * 0.24, c.y()), QPointF(s * 0.76, c.y()));
        p.drawLine(QPointF(s * 0.30, c.y() - s * 0.18), QPointF(s * 0.70, c.y() + s * 0.18));
        break;
    }
    }
    return pm;
}

QString duration(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    return QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60, 2, 10, QChar('0'));
}

} // namespace

TrayStatus::TrayStatus(StationStatus* status, QObject* parent) : QObject(parent), m_status(status)
{
    connect(m_menu.addAction(QStringLiteral("Console")), &QAction::triggered, this,
            &TrayStatus::showConsoleRequested);
    connect(m_menu.addAction(QStringLiteral("Motore di trasmissione")), &QAction::triggered, this,
            &TrayStatus::showEngineRequested);
    connect(m_menu.addAction(QStringLiteral("Registro")), &QAction::triggered, this,
            &TrayStatus::showLogRequested);
    m_menu.addSeparator();
    connect(m_menu.addAction(QStringLiteral("Esci")), &QAction::triggered, this,
            &TrayStatus::quitRequested);

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        qCInfo(lcUi, "The desktop has no tray: the station's status is not shown there");
        return;
    }
    m_tray = std::make_unique<QSystemTrayIcon>();
    m_tray->setContextMenu(&m_menu);
    connect(m_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    emit showConsoleRequested();
            });
    connect(status, &StationStatus::changed, this, &TrayStatus::refresh);
    m_tick.setInterval(10000);
    connect(&m_tick, &QTimer::timeout, this, &TrayStatus::refresh);
    m_tick.start();
    refresh();
    m_tray->show();
}

TrayStatus::~TrayStatus()
{
    if (m_tray)
        m_tray->setContextMenu(nullptr);
}

QIcon TrayStatus::iconFor(StationStatus::State state)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(drawIcon(state, size));
    return icon;
}

QString TrayStatus::toolTipFor(const StationStatus& status)
{
    QString head;
    switch (status.state()) {
    case StationStatus::State::OnAir:
        head = QStringLiteral("In onda da %1").arg(duration(status.secondsOnAir()));
        break;
    case StationStatus::State::DeadAir:
        head = QStringLiteral("In onda da %1, ma in silenzio").arg(duration(status.secondsOnAir()));
        break;
    case StationStatus::State::Reconnecting:
        head = QStringLiteral("Riconnessione in corso");
        break;
    case StationStatus::State::OffAir:
        head = QStringLiteral("Fuori onda");
        break;
    }
    QString text = QStringLiteral("WAVELORN Encoder\n") + head;
    if (status.isOnAir())
        text += status.listeners() == 1
                    ? QStringLiteral("\n1 ascoltatore")
                    : QStringLiteral("\n%1 ascoltatori").arg(status.listeners());
    else if (!status.cause().isEmpty())
        text += QStringLiteral("\n") + status.cause();
    if (status.captureLost())
        text += QStringLiteral("\nAudio del computer non disponibile");
    return text;
}

void TrayStatus::refresh()
{
    if (!m_tray)
        return;
    const StationStatus::State state = m_status->state();
    if (!m_iconSet || state != m_shownState) {
        m_tray->setIcon(iconFor(state));
        m_shownState = state;
        m_iconSet = true;
    }
    const QString tip = toolTipFor(*m_status);
    if (tip != m_tray->toolTip())
        m_tray->setToolTip(tip);
}
