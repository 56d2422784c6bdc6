#pragma once
// Tells the service manager how the program is (systemd's sd_notify; nothing without
// NOTIFY_SOCKET): READY once it serves, WATCHDOG from the event loop at half the unit's
// WatchdogSec (a loop that hangs stops them, and systemd restarts the service), RELOADING and READY
// around a reload, STOPPING when it quits, and a STATUS line for systemctl status.

#include <QObject>
#include <QString>
#include <QTimer>

class ServiceNotify : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotify(QObject* parent = nullptr);

    // NOTIFY_SOCKET is set: a unit of Type=notify started this process.
    static bool managed();
    void ready(const QString& status);
    void reloading();
    void stopping();
    void status(const QString& status);
    // The watchdog interval systemd asked for, 0 when none.
    qint64 watchdogUsec() const { return m_watchdogUsec; }

private:
    QTimer m_watchdog;
    qint64 m_watchdogUsec = 0;
};
