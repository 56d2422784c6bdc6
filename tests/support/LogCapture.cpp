#include "LogCapture.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdlib>

namespace testsupport {

namespace {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        LogCapture::instance().append(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override { }
};

}  // namespace

LogCapture& LogCapture::instance()
{
    // Never destroyed: singletons destroyed at exit still log through the capture sink.
    static auto* capture = new LogCapture;
    return *capture;
}

void LogCapture::install()
{
    auto console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    const char* level = std::getenv("VELMORA_TEST_LOG");
    console->set_level(spdlog::level::from_str(level ? level : "err"));
    auto capture = std::make_shared<CaptureSink>();
    capture->set_level(spdlog::level::debug);
    auto logger = std::make_shared<spdlog::logger>("velmora-test", spdlog::sinks_init_list{console, capture});
    logger->set_level(spdlog::level::debug);
    spdlog::set_default_logger(logger);
}

void LogCapture::clear()
{
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}

std::vector<LogLine> LogCapture::lines() const
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

int LogCapture::count(spdlog::level::level_enum level, const std::string& text) const
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const auto& line : m_lines)
        n += (line.level == level && line.text == text) ? 1 : 0;
    return n;
}

int LogCapture::countContaining(spdlog::level::level_enum level, const std::string& fragment) const
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const auto& line : m_lines)
        n += (line.level == level && line.text.find(fragment) != std::string::npos) ? 1 : 0;
    return n;
}

void LogCapture::append(spdlog::level::level_enum level, std::string text)
{
    std::lock_guard lock(m_mutex);
    m_lines.push_back({level, std::move(text)});
}

}  // namespace testsupport
