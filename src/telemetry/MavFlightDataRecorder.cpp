#include "MavFlightDataRecorder.h"

#include "OstCsvFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {
constexpr int kMaxLogNameTries = 1000;
}

QString MavFlightDataRecorder::fileTag(int vehicleId, bool remote, const QString& vehicleCode)
{
    if (!remote)
        return QString::number(vehicleId);
    QString tag;
    for (const QChar c : vehicleCode)
        tag += (c.isLetterOrNumber() && c.unicode() < 128) || c == '_' || c == '-' ? c : QChar('_');
    return tag.isEmpty() ? QStringLiteral("remote") : tag;
}

struct MavFlightDataRecorder::Log {
    QString dir;
    QString fileTag;
    QString title;
    OstCsvFile file;
    bool dead = false;  // no file: rows are dropped
    bool closed = false;  // set by the writer under its mutex; finish() waits for it
    QString batch;  // this wake's lines, handed to the file in one write
    uint64_t batchRows = 0;
};

class MavFlightDataRecorder::Writer {
public:
    enum class Kind { Open, Row, Close };
    struct Item {
        std::shared_ptr<Log> log;
        Kind kind = Kind::Row;
        Row row;
    };

    static std::shared_ptr<Writer> shared()
    {
        static std::mutex mutex;
        static std::weak_ptr<Writer> current;
        std::lock_guard lock(mutex);
        auto writer = current.lock();
        if (!writer) {
            writer = std::shared_ptr<Writer>(new Writer);
            current = writer;
        }
        return writer;
    }

    ~Writer()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void post(Item item)
    {
        bool wasEmpty = false;
        {
            std::lock_guard lock(m_mutex);
            wasEmpty = m_queue.empty();
            m_queue.push_back(std::move(item));
        }
        // A writer with work queued is awake already or about to look again.
        if (wasEmpty)
            m_wake.notify_one();
    }

    void closeAndWait(const std::shared_ptr<Log>& log)
    {
        post({log, Kind::Close, {}});
        std::unique_lock lock(m_mutex);
        m_closed.wait(lock, [&] { return log->closed; });
    }

private:
    Writer()
        : m_thread([this] { loop(); })
    {
    }

    void loop()
    {
#ifdef __linux__
        // Writing logs is bulk work that a buffer absorbs; the main thread answers operators and
        // vehicles. On a machine short of cores the writer yields first: it still takes all the
        // idle time there is, and only waits while the loop that shows the fleet needs the core.
        if (setpriority(PRIO_PROCESS, id_t(gettid()), kWriterNice) != 0)
            spdlog::debug("flightData writer keeps the process's priority: {}", std::strerror(errno));
#endif
        for (;;) {
            std::vector<Item> items;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return !m_queue.empty() || m_stop; });
                if (m_queue.empty())
                    return;
                items.swap(m_queue);
            }
            std::vector<Log*> touched;
            std::vector<Log*> closed;
            for (auto& item : items) {
                Log& log = *item.log;
                switch (item.kind) {
                case Kind::Open: open(log); break;
                case Kind::Row:
                    if (log.dead)
                        break;
                    if (log.batchRows == 0)
                        touched.push_back(&log);
                    else
                        log.batch += '\n';
                    appendLine(log.batch, item.row);
                    ++log.batchRows;
                    break;
                case Kind::Close:
                    flush(log);
                    log.file.close();
                    closed.push_back(&log);
                    break;
                }
            }
            for (Log* log : touched)
                flush(*log);
            if (!closed.empty()) {
                {
                    std::lock_guard lock(m_mutex);
                    for (Log* log : closed)
                        log->closed = true;
                }
                m_closed.notify_all();
            }
        }
    }

    static void open(Log& log)
    {
        if (!QDir(log.dir).exists()) {
            spdlog::warn("flightData filePath dir is not exist: {}", log.dir.toStdString());
            log.dead = true;
            return;
        }
        // A vehicle re-created within the same second (reconnect, id change) must not overwrite
        // the log just closed.
        const QString stem = log.dir + QStringLiteral("/Flight_%1_%2")
                                           .arg(log.fileTag)
                                           .arg(QDateTime::currentDateTime().toString("yyyyMMdd_hhmmss"));
        for (int n = 1; n <= kMaxLogNameTries && !log.file.isOpen(); ++n) {
            log.file.setFilePath(n == 1 ? stem + ".xlsx" : QStringLiteral("%1_%2.xlsx").arg(stem).arg(n));
            if (!log.file.open(OstCsvFile::CreateNew) && !QFile::exists(log.file.filePath()))
                break;  // a real failure, logged by the file
        }
        if (!log.file.isOpen()) {
            spdlog::warn("flightData: no flight log for vehicle {}, rows are dropped", log.fileTag.toStdString());
            log.dead = true;
            return;
        }
        log.file.writeRow(log.title, ",");
    }

    void appendLine(QString& out, const Row& row)
    {
        // Local time from the zone's offset, looked up once a minute: a local conversion per row
        // asks the C library for the zone file each time.
        if (row.msecsSinceEpoch / 60000 != m_offsetMinute) {
            m_offsetMinute = row.msecsSinceEpoch / 60000;
            m_offsetMs = qint64(QDateTime::fromMSecsSinceEpoch(row.msecsSinceEpoch).offsetFromUtc()) * 1000;
        }
        out += QDateTime::fromMSecsSinceEpoch(row.msecsSinceEpoch + m_offsetMs, Qt::UTC)
                   .toString("yyyy-MM-dd_hh:mm:ss.zzz");
        for (const auto& cell : row.cells) {
            out += '\t';
            out += MavTeleDataElement::format(cell);
        }
    }

    static void flush(Log& log)
    {
        if (log.batchRows == 0)
            return;
        log.file.writeRow(log.batch, ",");
        s_rowsWritten.fetch_add(log.batchRows, std::memory_order_relaxed);
        log.batch.clear();
        log.batchRows = 0;
    }

    static constexpr int kWriterNice = 10;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_closed;
    std::vector<Item> m_queue;
    bool m_stop = false;
    qint64 m_offsetMinute = -1;
    qint64 m_offsetMs = 0;
    std::thread m_thread;  // last: it starts once the rest exists
};

std::atomic<uint64_t> MavFlightDataRecorder::s_rowsWritten{0};

MavFlightDataRecorder::MavFlightDataRecorder(const QString& dir, const QString& fileTag,
                                             QList<std::shared_ptr<MavTeleDataElement>> elements, int idleRowIntervalMs)
    : m_elements(std::move(elements))
    , m_idleRowIntervalMs(idleRowIntervalMs)
{
    QStringList names{QCoreApplication::translate("MavTelemetryController", "时间")};
    for (const auto& element : m_elements)
        names << element->name();
    m_title = names.join('\t');

    // Without a directory the path would hang off the filesystem root.
    if (dir.isEmpty()) {
        spdlog::error("flightData: no user data directory, flight data of vehicle {} is not recorded",
                      fileTag.toStdString());
        m_running = false;
        return;
    }
    if (!QDir(dir).exists())
        QDir().mkpath(dir);
    m_log = std::make_shared<Log>();
    m_log->dir = dir;
    m_log->fileTag = fileTag;
    m_log->title = m_title;
    m_writer = Writer::shared();
    m_writer->post({m_log, Writer::Kind::Open, {}});
}

MavFlightDataRecorder::~MavFlightDataRecorder()
{
    finish();
}

void MavFlightDataRecorder::finish()
{
    if (!m_running.exchange(false) || !m_writer)
        return;
    m_writer->closeAndWait(m_log);
}

void MavFlightDataRecorder::appendRow(bool idle)
{
    if (!m_running.load())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A little slack: samples come on a poll tick that jitters by a few milliseconds.
    if (idle && m_idleRowIntervalMs > 0 && m_lastRowMs > 0 && now - m_lastRowMs < m_idleRowIntervalMs - 50)
        return;
    m_lastRowMs = now;
    Row row;
    row.msecsSinceEpoch = now;
    row.cells.reserve(size_t(m_elements.size()));
    for (const auto& element : m_elements)
        row.cells.push_back(element->displayCell());
    m_writer->post({m_log, Writer::Kind::Row, std::move(row)});
}
