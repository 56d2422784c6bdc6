#include "ServiceNotify.h"

#include <spdlog/spdlog.h>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <ctime>

ServiceNotify::ServiceNotify(QObject* parent)
    : QObject(parent)
{
    uint64_t usec = 0;
    if (::sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        m_watchdogUsec = qint64(usec);
        // Half the interval: one late turn of the loop is not yet a hang.
        m_watchdog.setInterval(int(std::max<uint64_t>(usec / 2000, 1)));
        connect(&m_watchdog, &QTimer::timeout, this, [] { ::sd_notify(0, "WATCHDOG=1"); });
        m_watchdog.start();
        spdlog::info("<service> watchdog every {} ms", m_watchdog.interval());
    }
}

bool ServiceNotify::managed()
{
    return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
}

void ServiceNotify::ready(const QString& status)
{
    ::sd_notifyf(0, "READY=1\nSTATUS=%s", status.toUtf8().constData());
}

void ServiceNotify::reloading()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    ::sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%lld",
                 static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000);
}

void ServiceNotify::stopping()
{
    m_watchdog.stop();
    ::sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

void ServiceNotify::status(const QString& status)
{
    ::sd_notifyf(0, "STATUS=%s", status.toUtf8().constData());
}
