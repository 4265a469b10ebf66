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
        m_pending.push_back(
            {redactLogLine(line.formatted), line.type != QtDebugMsg && line.type != QtInfoMsg});
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
    std::deque<Entry> fresh;
    {
        std::lock_guard lock(m_mutex);
        fresh.swap(m_pending);
        m_posted = false;
    }
    for (Entry& l : fresh) {
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
        append(m_lines[i]);
    if (atEnd)
        bar->setValue(bar->maximum());
}

void LogWindow::refill()
{
    m_view->clear();
    for (const Entry& e : m_lines)
        append(e);
    m_view->verticalScrollBar()->setValue(m_view->verticalScrollBar()->maximum());
}

void LogWindow::append(const Entry& entry)
{
    // One block a line, its spaces kept; the text is escaped, never read as markup.
    m_view->appendHtml(QStringLiteral("<span style=\"white-space:pre;%1\">%2</span>")
                           .arg(entry.alert ? QStringLiteral("color:#b00020") : QString(),
                                entry.text.toHtmlEscaped()));
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
    QStringList all;
    all.reserve(static_cast<qsizetype>(m_lines.size()));
    for (const Entry& e : m_lines)
        all.append(e.text);
    return all;
}

void LogWindow::copyAll()
{
    takePending();
    QGuiApplication::clipboard()->setText(lines().join(QLatin1Char('\n')) + QLatin1Char('\n'));
    qCInfo(lcUi, "Log window: %d lines copied", static_cast<int>(m_lines.size()));
}
