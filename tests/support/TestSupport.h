#pragma once
// Shared test harness: event-loop waits with deadlines, the process's temporary root, free ports.

#include <QByteArray>
#include <QString>
#include <functional>

namespace testsupport {

// Pumps the event loop until cond() holds or the deadline passes; returns cond()'s last value.
bool waitUntil(const std::function<bool()>& cond, int timeoutMs = 5000);

// Pumps the event loop for a while (to show that something does NOT happen).
void pumpEvents(int ms);

// The process-wide temporary directory; settings and standard paths point below it.
QString tempRoot();

// A fresh empty directory below tempRoot().
QString makeTempDir(const QString& name);

quint16 freeUdpPort();
quint16 freeTcpPort();

}  // namespace testsupport

#include <ostream>

// Readable QString values in GoogleTest failure messages.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}
