#pragma once
// Captures every line written through spdlog's default logger so tests can assert exact texts.

#include <spdlog/common.h>

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

struct LogLine {
    spdlog::level::level_enum level;
    std::string text;
};

class LogCapture {
public:
    static LogCapture& instance();

    // Replaces the default logger with one that writes to stderr (level from VELMORA_TEST_LOG,
    // default "err") and to this capture (everything from debug up).
    static void install();

    void clear();
    std::vector<LogLine> lines() const;
    // Number of lines at `level` whose text equals `text`.
    int count(spdlog::level::level_enum level, const std::string& text) const;
    // Number of lines at `level` whose text contains `fragment`.
    int countContaining(spdlog::level::level_enum level, const std::string& fragment) const;
    bool contains(spdlog::level::level_enum level, const std::string& text) const { return count(level, text) > 0; }

    void append(spdlog::level::level_enum level, std::string text);

private:
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};

}  // namespace testsupport
