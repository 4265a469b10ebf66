#pragma once
// The safety net between the program's log and the places an owner can copy it from (the log
// window, the log file): whatever looks like a password assignment ("pass=…", "password=…",
// "PWD=…"), a password in an address, or a full SQL statement is masked. The writers of log
// lines must not log these in the first place.
#include <QString>

// line with every secret-looking value replaced by "***" and every SQL statement by
// "<SQL statement hidden>".
QString redactLogLine(const QString& line);
