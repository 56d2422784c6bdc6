#pragma once
// The operator console that features write to: one line per command sent (sender form) and per
// answer or time-out received (receiver form).

#include "OstLogLevel.h"

#include <QCoreApplication>
#include <QString>

class IGcsConsole {
public:
    virtual ~IGcsConsole() = default;
    virtual void debug(const QString& text) = 0;
    virtual void info(const QString& text) = 0;
    virtual void warning(const QString& text) = 0;
    virtual void error(const QString& text) = 0;
    virtual void output(OstLogLevel level, const QString& text) = 0;
    virtual void outputBySender(OstLogLevel level, const QString& text) = 0;
    virtual void outputByReceiver(OstLogLevel level, const QString& text) = 0;

    // A line about one vehicle names it: "vehicle 2  takeoff".
    static QString forVehicle(int vehicleId, const QString& text)
    {
        return QCoreApplication::translate("GcsConsoleHandler", "飞机 %1  ").arg(vehicleId) + text;
    }
};
