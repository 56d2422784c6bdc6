#pragma once
// Turns every console line into one logOutput signal for the user interface.

#include "common/IGcsConsole.h"

#include <QObject>

class GcsConsoleHandler : public QObject, public IGcsConsole {
    Q_OBJECT
public:
    explicit GcsConsoleHandler(QObject* parent = nullptr)
        : QObject(parent)
    {
    }

    void debug(const QString& text) override { emit logOutput(OstLogLevel::Debug, text); }
    void info(const QString& text) override { emit logOutput(OstLogLevel::Info, text); }
    void warning(const QString& text) override { emit logOutput(OstLogLevel::Warning, text); }
    void error(const QString& text) override { emit logOutput(OstLogLevel::Error, text); }
    void output(OstLogLevel level, const QString& text) override { emit logOutput(level, text); }
    void outputBySender(OstLogLevel level, const QString& text) override
    {
        emit logOutput(level, tr("[发送] ") + text);
    }
    void outputByReceiver(OstLogLevel level, const QString& text) override
    {
        emit logOutput(level, tr("[接收] ") + text);
    }

signals:
    void logOutput(OstLogLevel level, QString text);
};
