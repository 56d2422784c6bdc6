#pragma once
// A flight log read whole into memory: the recorder's tab-separated rows as numbers per column
// of the fixed table (FlightLogColumns.h), NaN where the recorder had no value yet.
//
// Reading refuses, naming the line: a file whose first title is not "时间", a title row that
// lacks a column of the table or has one it does not know, a row with another number of fields,
// a last row without its line end (the recorder ends every row, so that one was cut short), a
// bad time and a cell that is not what its column holds.

#include <QByteArray>
#include <QString>

#include <cmath>
#include <string_view>
#include <vector>

namespace flightlog {

class FlightLog {
public:
    bool read(const QString& path, QString* error);
    // The same from bytes already read; path names the file in errors and gives the vehicle tag.
    bool parse(const QByteArray& data, const QString& path, QString* error);

    size_t rowCount() const { return m_timeMs.size(); }
    size_t columnCount() const { return m_columnCount; }
    qint64 timeMs(size_t row) const { return m_timeMs[row]; }
    // Seconds east of UTC at that row, for ISO 8601 times.
    int utcOffsetS(size_t row) const { return m_offsetS[row]; }
    // The recorded "yyyy-MM-dd_hh:mm:ss.zzz".
    std::string_view timeText(size_t row) const { return m_timeText[row]; }
    double value(size_t row, int column) const { return m_values[row * m_columnCount + size_t(column)]; }
    std::string_view cell(size_t row, int column) const { return m_cells[row * m_columnCount + size_t(column)]; }
    // The file name's vehicle tag: Flight_<tag>_<time>.xlsx, "" when the name has another form.
    QString vehicleTag() const { return m_vehicleTag; }

private:
    QByteArray m_data;
    size_t m_columnCount = 0;
    std::vector<qint64> m_timeMs;
    std::vector<int> m_offsetS;
    std::vector<std::string_view> m_timeText;
    std::vector<double> m_values;
    std::vector<std::string_view> m_cells;
    QString m_vehicleTag;
};

// RFC 4180 CSV (CRLF, UTF-8): time (ISO 8601 with milliseconds and offset), elapsed_s, then each
// column's key; state columns are followed by <key>_text, durations are in seconds.
QByteArray toCsv(const FlightLog& log);

}  // namespace flightlog
