#pragma once
// Reports vehicle events to the cloud through the HTTP client; failures are only logged.

#include "common/GcsEventReporter.h"

#include <QObject>

#include <memory>

class GcsHttp;

class GcsEventReportController : public QObject, public GcsEventReporter {
    Q_OBJECT
public:
    explicit GcsEventReportController(std::shared_ptr<GcsHttp> http, QObject* parent = nullptr);

    void reportUavEvent(int eventType, int64_t timeMs, const std::string& content) override;

private:
    std::shared_ptr<GcsHttp> m_http;
};
