#pragma once
// The program's log on spdlog's default logger.
//
// - Under systemd (JOURNAL_STREAM names this process's standard error) every event is one line
//   on standard error, "<N>LEVEL <component> message", without the time: the journal adds the
//   time and takes N as the line's priority. Nothing is written to files.
// - Otherwise standard error as before and, when a directory is given, NAME.log there, rotated by
//   size, created 0600 (it may hold account names).
// - format "json": one object a line, {"time", "level", "component", "message", "pid"}, on each
//   of them: for log shippers. "component" is the message's leading <tag> (the library's
//   convention), or the logger's name.

#include <QString>

namespace servicelog {

struct Options {
    QString name;  // the logger's name and the file's ("station" -> station.log)
    QString level = QStringLiteral("info");
    QString format = QStringLiteral("text");
    QString fileDir;  // empty: standard error only
    int maxMb = 20;
    int files = 5;  // kept, the current one included
};

// Standard error is the journal's stream.
bool underJournal();
// Installs the logger (and Qt's messages into it); an error text when the file cannot be opened
// (the log then goes to standard error only, and the error is logged too).
QString setup(const Options& options);
// A new level for the default logger (a reload), false for an unknown name.
bool setLevel(const QString& level);

}  // namespace servicelog
