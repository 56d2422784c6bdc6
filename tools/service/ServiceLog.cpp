#include "ServiceLog.h"

#include <QDir>
#include <QtGlobal>

#include <nlohmann/json.hpp>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace servicelog {

namespace {

// The syslog priority of a level, as the journal reads it from a "<N>" prefix.
int priorityOf(spdlog::level::level_enum level)
{
    switch (level) {
    case spdlog::level::trace:
    case spdlog::level::debug: return 7;
    case spdlog::level::info: return 6;
    case spdlog::level::warn: return 4;
    case spdlog::level::err: return 3;
    default: return 2;
    }
}

class PriorityFlag : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override
    {
        dest.push_back(char('0' + priorityOf(msg.level)));
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<PriorityFlag>(); }
};

class JsonFormatter : public spdlog::formatter {
public:
    explicit JsonFormatter(std::string name)
        : m_name(std::move(name))
    {
    }
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override
    {
        std::string text(msg.payload.data(), msg.payload.size());
        std::string component = m_name;
        if (text.size() > 2 && text[0] == '<') {
            const size_t end = text.find('>');
            if (end != std::string::npos && end < 40) {
                component = text.substr(1, end - 1);
                text.erase(0, text.find_first_not_of(' ', end + 1) == std::string::npos
                                  ? text.size()
                                  : text.find_first_not_of(' ', end + 1));
            }
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(msg.time.time_since_epoch()).count();
        const std::time_t seconds = std::time_t(ms / 1000);
        std::tm utc{};
        ::gmtime_r(&seconds, &utc);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                      utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, int(ms % 1000));
        const auto level = spdlog::level::to_string_view(msg.level);
        const nlohmann::json line = {{"time", stamp},
                                     {"level", std::string(level.data(), level.size())},
                                     {"component", component},
                                     {"message", text},
                                     {"pid", ::getpid()}};
        const std::string out = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        dest.append(out.data(), out.data() + out.size());
    }
    std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<JsonFormatter>(m_name); }

private:
    std::string m_name;
};

// Qt's own messages (and the library's few Qt debug lines) go to the same log.
void qtMessageToLog(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const std::string text = message.toStdString();
    switch (type) {
    case QtDebugMsg: spdlog::debug("<qt> {}", text); break;
    case QtInfoMsg: spdlog::info("<qt> {}", text); break;
    case QtWarningMsg: spdlog::warn("<qt> {}", text); break;
    default: spdlog::error("<qt> {}", text); break;
    }
}

}  // namespace

bool underJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat st { };
    if (stream.isEmpty() || ::fstat(STDERR_FILENO, &st) != 0)
        return false;
    return stream == QByteArray::number(quint64(st.st_dev)) + ":" + QByteArray::number(quint64(st.st_ino));
}

QString setup(const Options& options)
{
    const bool journal = underJournal();
    const bool json = options.format == QLatin1String("json");
    std::vector<spdlog::sink_ptr> sinks;
    if (journal || json)
        sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    else
        sinks.push_back(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    QString fileError;
    const QString path = options.fileDir + "/" + options.name + ".log";
    if (!journal && !options.fileDir.isEmpty()) {
        QDir().mkpath(options.fileDir);
        // The current and rotated files are the user's alone. A new file is created 0600 before
        // spdlog opens it; older ones are narrowed.
        spdlog::file_event_handlers privateFiles;
        privateFiles.before_open = [](const spdlog::filename_t& name) {
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (fd >= 0)
                ::close(fd);
        };
        privateFiles.after_open = [](const spdlog::filename_t&, std::FILE* file) { ::fchmod(::fileno(file), 0600); };
        for (int i = 1; i < options.files; ++i)
            ::chmod(QStringLiteral("%1/%2.%3.log").arg(options.fileDir, options.name).arg(i).toLocal8Bit().constData(),
                    0600);
        try {
            sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                path.toStdString(), size_t(options.maxMb) * 1024 * 1024, size_t(options.files - 1), false,
                privateFiles));
        } catch (const spdlog::spdlog_ex& e) {
            fileError = QString::fromStdString(e.what());
        }
    }
    auto logger = std::make_shared<spdlog::logger>(options.name.toStdString(), sinks.begin(), sinks.end());
    if (json) {
        logger->set_formatter(std::make_unique<JsonFormatter>(options.name.toStdString()));
    } else if (journal) {
        auto formatter = std::make_unique<spdlog::pattern_formatter>();
        formatter->add_flag<PriorityFlag>('*').set_pattern("<%*>%l %v");
        logger->set_formatter(std::move(formatter));
    }
    logger->set_level(spdlog::level::from_str(options.level.toStdString()));
    // A burst of warnings must not turn into a burst of writes: errors flush at once, the rest
    // within a second (the journal's stream is a pipe: lines go as they come).
    logger->flush_on(journal ? spdlog::level::trace : spdlog::level::err);
    spdlog::set_default_logger(logger);
    spdlog::flush_every(std::chrono::seconds(1));
    qInstallMessageHandler(qtMessageToLog);
    if (!fileError.isEmpty()) {
        spdlog::error("<{}> no log file at {}: {}", options.name.toStdString(), path.toStdString(),
                      fileError.toStdString());
        return fileError;
    }
    return {};
}

bool setLevel(const QString& level)
{
    const auto parsed = spdlog::level::from_str(level.toStdString());
    if (parsed == spdlog::level::off && level != QLatin1String("off"))
        return false;
    spdlog::default_logger()->set_level(parsed);
    return true;
}

}  // namespace servicelog
