#include "GcsEventReportController.h"

#include "GcsHttp.h"

#include <spdlog/spdlog.h>

GcsEventReportController::GcsEventReportController(std::shared_ptr<GcsHttp> http, QObject* parent)
    : QObject(parent)
    , m_http(std::move(http))
{
}

void GcsEventReportController::reportUavEvent(int eventType, int64_t timeMs, const std::string& content)
{
    if (!m_http)
        return;
    m_http->reportUavEvent(eventType, timeMs, content, [eventType](int code, std::shared_ptr<nlohmann::json>) {
        if (code != 200)
            spdlog::debug("<EventReport> report event({}) failed, code:{}", eventType, code);
    });
}
