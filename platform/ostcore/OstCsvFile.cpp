#include "OstCsvFile.h"

#include <spdlog/spdlog.h>

OstCsvFile::OstCsvFile(const QString& filePath)
    : m_filePath(filePath)
{
}

OstCsvFile::~OstCsvFile()
{
    close();
}

void OstCsvFile::setFilePath(const QString& filePath)
{
    close();
    m_filePath = filePath;
}

bool OstCsvFile::open(OpenMode mode)
{
    close();
    if (m_filePath.isEmpty()) {
        spdlog::warn("<CsvFile> open refused: no file path set");
        return false;
    }
    m_file.setFileName(m_filePath);
    const auto flags =
        mode == CreateNew ? QIODevice::WriteOnly | QIODevice::NewOnly : QIODevice::WriteOnly | QIODevice::Truncate;
    if (!m_file.open(flags)) {
        if (mode == CreateNew && m_file.exists())
            return false;  // the caller picks another name
        spdlog::error("<CsvFile> open {} failed: {}", m_filePath.toStdString(), m_file.errorString().toStdString());
        return false;
    }
    m_failureLogged = false;
    spdlog::debug("<CsvFile> opened {}", m_filePath.toStdString());
    return true;
}

bool OstCsvFile::writeRow(const QString& row, const QString& separator)
{
    Q_UNUSED(separator)
    if (!m_file.isOpen()) {
        if (!m_failureLogged) {
            spdlog::warn("<CsvFile> write refused: {} is not open", m_filePath.toStdString());
            m_failureLogged = true;
        }
        return false;
    }
    QByteArray line = row.toUtf8();
    line.append('\n');
    if (m_file.write(line) != line.size() || !m_file.flush()) {
        if (!m_failureLogged) {
            spdlog::error("<CsvFile> write to {} failed: {}", m_filePath.toStdString(),
                          m_file.errorString().toStdString());
            m_failureLogged = true;
        }
        return false;
    }
    m_failureLogged = false;
    return true;
}

void OstCsvFile::close()
{
    if (!m_file.isOpen())
        return;
    m_file.close();
    spdlog::debug("<CsvFile> closed {}", m_filePath.toStdString());
}
