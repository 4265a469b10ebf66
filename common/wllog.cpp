#include "wllog.h"

#include <QDateTime>
#include <QFileInfo>
#include <cstdio>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <vector>

#ifdef WL_HAVE_JOURNAL
#include <systemd/sd-journal.h>
#endif

Q_LOGGING_CATEGORY(lcAudio, "audio", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCast, "cast", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPublish, "publishing", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDb, "database", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMixer, "mixer", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUi, "ui", QtInfoMsg)

namespace wllog {
namespace {

struct State {
    std::mutex mutex;
    bool installed = false;
    bool journal = false;
    std::map<int, Sink> sinks;
    int nextId = 1;
    // The first lines of the run: a receiver added while they are all still here gets them
    // first, so the log window and file begin where the run began, without a gap.
    std::vector<Line> start;
};

constexpr std::size_t StartLines = 64;

State& state()
{
    static State s;
    return s;
}

const char* typeName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "info";
}

#ifdef WL_HAVE_JOURNAL
int priority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7; // LOG_DEBUG
    case QtInfoMsg:
        return 6; // LOG_INFO
    case QtWarningMsg:
        return 4; // LOG_WARNING
    case QtCriticalMsg:
        return 3; // LOG_ERR
    case QtFatalMsg:
        return 2; // LOG_CRIT
    }
    return 6;
}

// systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected to standard error.
bool stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    if (stream.isEmpty())
        return false;
    struct stat st {};
    if (fstat(2, &st) != 0)
        return false;
    const QByteArray mine = QByteArray::number(static_cast<qulonglong>(st.st_dev)) + ':' +
                            QByteArray::number(static_cast<qulonglong>(st.st_ino));
    return stream == mine;
}

bool journalReachable()
{
    // A desktop session with a running journal; never from a test's private environment.
    if (qEnvironmentVariableIsEmpty("XDG_SESSION_ID") &&
        qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return false;
    return QFileInfo::exists(QStringLiteral("/run/systemd/journal/socket"));
}
#endif

void handler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const char* category = context.category ? context.category : "default";
    const QString line = format(type, category, text);
    const QByteArray bytes = line.toLocal8Bit();
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::fprintf(stderr, "%s\n", bytes.constData());
    std::fflush(stderr);
#ifdef WL_HAVE_JOURNAL
    if (s.journal) {
        const QByteArray msg = text.toUtf8();
        sd_journal_send("MESSAGE=%s", msg.constData(), "PRIORITY=%d", priority(type),
                        "QT_CATEGORY=%s", category, "SYSLOG_IDENTIFIER=wavelorn-encoder", nullptr);
    }
#endif
    if (!s.sinks.empty() || s.start.size() < StartLines) {
        const Line l{type, QString::fromLatin1(category), text, line};
        for (const auto& [id, sink] : s.sinks)
            sink(l);
        if (s.start.size() < StartLines)
            s.start.push_back(l);
    }
}

} // namespace

QString format(QtMsgType type, const char* category, const QString& text)
{
    return QStringLiteral("%1 %2 %3: %4")
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
             QString::fromLatin1(typeName(type)), QString::fromLatin1(category), text);
}

void install(bool journal)
{
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        if (s.installed)
            return;
        s.installed = true;
#ifdef WL_HAVE_JOURNAL
        s.journal = journal && journalReachable() && !stderrIsJournal();
#else
        (void)journal;
#endif
    }
    qInstallMessageHandler(handler);
}

int addSink(Sink sink)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    const int id = s.nextId++;
    if (s.start.size() < StartLines)
        for (const Line& l : s.start)
            sink(l);
    s.sinks.emplace(id, std::move(sink));
    return id;
}

void removeSink(int id)
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.sinks.erase(id);
}

bool toJournal()
{
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.journal;
}

} // namespace wllog
