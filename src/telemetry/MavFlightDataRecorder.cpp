#include "MavFlightDataRecorder.h"

#include "OstCsvFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <spdlog/spdlog.h>

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
    m_writer = std::thread([this, dir, fileTag] { writeLoop(dir, fileTag); });
}

MavFlightDataRecorder::~MavFlightDataRecorder()
{
    finish();
}

void MavFlightDataRecorder::finish()
{
    {
        std::lock_guard lock(m_mutex);
        m_running = false;
    }
    m_wake.notify_all();
    if (m_writer.joinable())
        m_writer.join();
}

std::atomic<uint64_t> MavFlightDataRecorder::s_rowsWritten{0};

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
    {
        std::lock_guard lock(m_mutex);
        m_pending.append(std::move(row));
    }
    m_wake.notify_one();
}

void MavFlightDataRecorder::writeLoop(QString dir, QString fileTag)
{
    if (!QDir(dir).exists()) {
        spdlog::warn("flightData filePath dir is not exist: {}", dir.toStdString());
        return;
    }
    // A vehicle re-created within the same second (reconnect, id change) must not overwrite the
    // log just closed.
    const QString stem =
        dir +
        QStringLiteral("/Flight_%1_%2").arg(fileTag).arg(QDateTime::currentDateTime().toString("yyyyMMdd_hhmmss"));
    OstCsvFile file;
    for (int n = 1; n <= kMaxLogNameTries && !file.isOpen(); ++n) {
        file.setFilePath(n == 1 ? stem + ".xlsx" : QStringLiteral("%1_%2.xlsx").arg(stem).arg(n));
        if (!file.open(OstCsvFile::CreateNew) && !QFile::exists(file.filePath()))
            break;  // a real failure, logged by the file
    }
    if (!file.isOpen())
        spdlog::warn("flightData: no flight log for vehicle {}, rows are dropped", fileTag.toStdString());
    file.writeRow(m_title, ",");
    // Local time from the zone's offset, looked up once a minute: a local conversion per row
    // asks the C library for the zone file each time.
    qint64 offsetMinute = -1;
    qint64 offsetMs = 0;
    for (;;) {
        QList<Row> rows;
        bool running = true;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_pending.isEmpty() || !m_running.load(); });
            rows.swap(m_pending);
            running = m_running.load();
        }
        for (const auto& row : rows) {
            if (row.msecsSinceEpoch / 60000 != offsetMinute) {
                offsetMinute = row.msecsSinceEpoch / 60000;
                offsetMs = qint64(QDateTime::fromMSecsSinceEpoch(row.msecsSinceEpoch).offsetFromUtc()) * 1000;
            }
            QString line = QDateTime::fromMSecsSinceEpoch(row.msecsSinceEpoch + offsetMs, Qt::UTC)
                               .toString("yyyy-MM-dd_hh:mm:ss.zzz");
            line.reserve(line.size() + qsizetype(row.cells.size()) * 8);
            for (const auto& cell : row.cells) {
                line += '\t';
                line += MavTeleDataElement::format(cell);
            }
            file.writeRow(line, ",");
        }
        s_rowsWritten.fetch_add(uint64_t(rows.size()), std::memory_order_relaxed);
        if (!running)
            break;
    }
    file.close();
}
