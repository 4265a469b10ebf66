#include "logwindow.h"

#include "logredaction.h"
#include "wllog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

LogWindow::LogWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Registro"));
    resize(900, 480);
    m_view = new QPlainTextEdit(this);
    m_view->setReadOnly(true);
    m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view->setMaximumBlockCount(maxLines);
    m_view->setFont(QFont(QStringLiteral("monospace")));
    auto* copy = new QPushButton(QStringLiteral("Copia"), this);
    copy->setObjectName(QStringLiteral("btCopia"));
    connect(copy, &QPushButton::clicked, this, &LogWindow::copyAll);
    auto* close = new QPushButton(QStringLiteral("Chiudi"), this);
    connect(close, &QPushButton::clicked, this, &QWidget::hide);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(copy);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view);
    layout->addLayout(buttons);

    // Runs on the thread that logs, with the logger's lock held: only queue and post.
    m_sink = wllog::addSink([this](const wllog::Line& line) {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(redactLogLine(line.formatted));
        if (m_pending.size() > static_cast<size_t>(maxLines))
            m_pending.pop_front();
        if (!m_posted) {
            m_posted = true;
            QMetaObject::invokeMethod(this, &LogWindow::takePending, Qt::QueuedConnection);
        }
    });
}

LogWindow::~LogWindow()
{
    wllog::removeSink(m_sink);
}

void LogWindow::takePending()
{
    std::deque<QString> fresh;
    {
        std::lock_guard lock(m_mutex);
        fresh.swap(m_pending);
        m_posted = false;
    }
    for (QString& l : fresh) {
        m_lines.push_back(std::move(l));
        if (m_lines.size() > static_cast<size_t>(maxLines))
            m_lines.pop_front();
    }
    if (!isVisible())
        return; // filled when shown
    QScrollBar* bar = m_view->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    const size_t from = fresh.size() > m_lines.size() ? 0 : m_lines.size() - fresh.size();
    for (size_t i = from; i < m_lines.size(); ++i)
        m_view->appendPlainText(m_lines[i]);
    if (atEnd)
        bar->setValue(bar->maximum());
}

void LogWindow::refill()
{
    QStringList all(m_lines.begin(), m_lines.end());
    m_view->setPlainText(all.join(QLatin1Char('\n')));
    m_view->verticalScrollBar()->setValue(m_view->verticalScrollBar()->maximum());
}

void LogWindow::showEvent(QShowEvent* event)
{
    takePending();
    refill();
    QWidget::showEvent(event);
}

void LogWindow::showWindow()
{
    show();
    raise();
    activateWindow();
}

QStringList LogWindow::lines() const
{
    return QStringList(m_lines.begin(), m_lines.end());
}

void LogWindow::copyAll()
{
    takePending();
    QGuiApplication::clipboard()->setText(lines().join(QLatin1Char('\n')) + QLatin1Char('\n'));
    qCInfo(lcUi, "Log window: %d lines copied", static_cast<int>(m_lines.size()));
}
