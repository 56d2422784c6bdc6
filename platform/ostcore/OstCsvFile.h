#pragma once
// Writes a text table one line at a time, for example flight data recorded by a worker thread.
//
// writeRow() takes a row that is already joined into one line and writes it as it stands,
// followed by "\n", in UTF-8. The separator argument names the delimiter the caller used; the
// row is not split or re-joined, so it is only informational (rows of tab-separated text passed
// with "," come out tab-separated). Each row is flushed to the operating system before
// writeRow() returns, so a crash of the process loses at most the row being written.
//
// Not thread-safe: one thread owns an instance (it is not a QObject and has no thread affinity).

#include <QFile>
#include <QString>

class OstCsvFile {
public:
    OstCsvFile() = default;
    explicit OstCsvFile(const QString& filePath);
    ~OstCsvFile();
    OstCsvFile(const OstCsvFile&) = delete;
    OstCsvFile& operator=(const OstCsvFile&) = delete;

    // Takes effect at the next open(); an open file is closed first.
    void setFilePath(const QString& filePath);
    QString filePath() const { return m_filePath; }

    // Truncate creates the file or empties an existing one; CreateNew creates it only when no file
    // of that name exists (atomically) and returns false without a log line when one does. The
    // directory must exist. Other failures are logged.
    enum OpenMode { Truncate, CreateNew };
    bool open(OpenMode mode = Truncate);
    bool isOpen() const { return m_file.isOpen(); }
    // False when the file is not open or the write failed (logged once until a write succeeds).
    bool writeRow(const QString& row, const QString& separator);
    void close();

private:
    QString m_filePath;
    QFile m_file;
    bool m_failureLogged = false;
};
