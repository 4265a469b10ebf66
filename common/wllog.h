#pragma once
// The program's logging: one category per layer, each line written to standard error and,
// when the program runs in a desktop session with a systemd journal, to the journal too.
// Info is the default level: state changes, failures and recoveries; nothing per buffer.
#include <QLoggingCategory>
#include <QString>
#include <functional>

Q_DECLARE_LOGGING_CATEGORY(lcAudio)   // capture, encoder process
Q_DECLARE_LOGGING_CATEGORY(lcCast)    // the source connection, titles, statistics
Q_DECLARE_LOGGING_CATEGORY(lcPublish) // Windows Media publishing
Q_DECLARE_LOGGING_CATEGORY(lcDb)      // the service database
Q_DECLARE_LOGGING_CATEGORY(lcMixer)   // the mixer and its sound-server backend
Q_DECLARE_LOGGING_CATEGORY(lcUi)      // the windows' courses

namespace wllog {

struct Line {
    QtMsgType type;
    QString category;
    QString text;
    QString formatted; // "2026-12-10 10:00:00.123 warning cast: text"
};

// Installs the message handler (once; later calls do nothing). journal: also write to the
// systemd journal when one is reachable and standard error does not go there already.
void install(bool journal = true);

// Extra receivers of every line (a log window, a file): called on the thread that logs,
// with the handler's lock held, so a sink must be quick and must not log itself. A sink added
// early in the run (before its first 64 lines) first gets the lines logged before it.
using Sink = std::function<void(const Line&)>;
int addSink(Sink sink);
void removeSink(int id);

// The text of one line as it is written to standard error.
QString format(QtMsgType type, const char* category, const QString& text);

// Whether the journal gets the lines (decided at install()).
bool toJournal();

} // namespace wllog
