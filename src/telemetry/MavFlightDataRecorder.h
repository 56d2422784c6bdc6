#pragma once
// Records one vehicle's flight data: one row per flight status sample, holding the time and the
// current value of every telemetry element, written by the process's one flight-log writer thread.
//
// File: "Flight_<tag>_<yyyyMMdd_hhmmss>.xlsx" in the directory given at construction, never an
// existing file (a second log in the same second gets "_2", "_3"... before the extension). The
// tag is the vehicle id of a local vehicle and the vehicle code of a remote one (fileTag()). The
// first row is the title: "时间" and each element's name, tab-separated.
//
// A row appended as "idle" (on the ground, disarmed) is kept only when the last kept row is at
// least idleRowIntervalMs old, so a vehicle waiting on the ground does not fill the disk at the
// telemetry rate; 0 keeps every row.
//
// Rows are taken on the owner's thread as cell snapshots (cheap) and handed to the writer at
// once; formatting and joining happen on the writer, which hands each wake's rows to the kernel
// (one write per file) before it sleeps again, so a station killed outright (SIGKILL) loses no
// row it had taken. One writer serves every recorder of the process: a thread per vehicle cost a
// wake and a write per row, and two hundred idle threads at a full site. It starts with the first
// recorder and ends with the last.
// finish() (also run by the destructor) waits until the writer has written every row taken
// before it and closed the file; later rows are not recorded. With an empty directory nothing is
// recorded (one error line); with a directory that cannot be made, rows are dropped, not kept.

#include "MavTeleDataElement.h"

#include <QList>
#include <QString>

#include <atomic>
#include <memory>
#include <vector>

class MavFlightDataRecorder {
public:
    static constexpr int kIdleRowIntervalMs = 1000;

    MavFlightDataRecorder(const QString& dir, const QString& fileTag,
                          QList<std::shared_ptr<MavTeleDataElement>> elements, int idleRowIntervalMs = 0);
    MavFlightDataRecorder(const QString& dir, int vehicleId, QList<std::shared_ptr<MavTeleDataElement>> elements)
        : MavFlightDataRecorder(dir, QString::number(vehicleId), std::move(elements))
    {
    }
    ~MavFlightDataRecorder();
    MavFlightDataRecorder(const MavFlightDataRecorder&) = delete;
    MavFlightDataRecorder& operator=(const MavFlightDataRecorder&) = delete;

    // "-1" would tell nothing: a remote vehicle is named by its code, reduced to [A-Za-z0-9_-].
    static QString fileTag(int vehicleId, bool remote, const QString& vehicleCode);

    void appendRow(bool idle = false);
    void finish();

    QString title() const { return m_title; }
    // Rows handed to the files by every recorder of the process (the station's metrics).
    static uint64_t rowsWritten() { return s_rowsWritten.load(std::memory_order_relaxed); }

private:
    struct Row {
        qint64 msecsSinceEpoch = 0;
        std::vector<MavTeleDataElement::Cell> cells;
    };
    struct Log;  // one recorder's file; only the writer touches it
    class Writer;  // the process's flight-log thread

    QList<std::shared_ptr<MavTeleDataElement>> m_elements;
    QString m_title;
    std::shared_ptr<Writer> m_writer;
    std::shared_ptr<Log> m_log;
    std::atomic<bool> m_running{true};
    int m_idleRowIntervalMs = 0;
    qint64 m_lastRowMs = 0;
    static std::atomic<uint64_t> s_rowsWritten;
};
