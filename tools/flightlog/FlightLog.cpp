#include "FlightLog.h"

#include "FlightLogColumns.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <charconv>
#include <limits>

namespace flightlog {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::string_view kTimeTitle = "时间";
constexpr size_t kTimeLength = 23;  // yyyy-MM-dd_hh:mm:ss.zzz

bool digits(std::string_view s, size_t at, size_t n, int& out)
{
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// Local time as the recorder wrote it, as epoch milliseconds and the zone offset of that moment.
// Asking the zone for every row costs more than the rest of the parsing (the C library looks at
// the zone file each time), and offsets change on the hour: one question per hour of the log.
class LocalTimeParser {
public:
    bool parse(std::string_view s, qint64& ms, int& offsetS)
    {
        int y, mo, d, h, mi, se, z;
        if (s.size() != kTimeLength || s[4] != '-' || s[7] != '-' || s[10] != '_' || s[13] != ':' || s[16] != ':' ||
            s[19] != '.' || !digits(s, 0, 4, y) || !digits(s, 5, 2, mo) || !digits(s, 8, 2, d) ||
            !digits(s, 11, 2, h) || !digits(s, 14, 2, mi) || !digits(s, 17, 2, se) || !digits(s, 20, 3, z))
            return false;
        if (mi > 59 || se > 59)
            return false;
        const qint64 hourKey = ((qint64(y) * 100 + mo) * 100 + d) * 100 + h;
        if (hourKey != m_hourKey) {
            const QDate date(y, mo, d);
            if (!date.isValid() || h > 23)
                return false;
            m_hourKey = hourKey;
            m_hourLocalMs = (date.toJulianDay() - kEpochJulianDay) * 86400000 + qint64(h) * 3600000;
            m_offsetS = QDateTime(date, QTime(h, 0)).offsetFromUtc();
        }
        offsetS = m_offsetS;
        ms = m_hourLocalMs + qint64(mi) * 60000 + se * 1000 + z - qint64(m_offsetS) * 1000;
        return true;
    }

private:
    static constexpr qint64 kEpochJulianDay = 2440588;
    qint64 m_hourKey = -1;
    qint64 m_hourLocalMs = 0;
    int m_offsetS = 0;
};

bool parseDuration(std::string_view s, double& seconds)
{
    // At most 6 digits of hours (over a century): more would overflow the int they are read into.
    const auto first = s.find(':');
    if (first == std::string_view::npos || s.size() != first + 6 || s[first + 3] != ':' || first == 0 || first > 6)
        return false;
    int h = 0, m = 0, sec = 0;
    if (!digits(s, 0, first, h) || !digits(s, first + 1, 2, m) || !digits(s, first + 4, 2, sec))
        return false;
    seconds = h * 3600.0 + m * 60.0 + sec;
    return true;
}

bool parseCell(const Column& column, std::string_view cell, double& value)
{
    if (cell.empty()) {
        value = kNaN;
        return true;
    }
    switch (column.kind) {
    case Kind::State: return stateCode(column.states, cell, value);
    case Kind::Duration: return parseDuration(cell, value);
    case Kind::TakeoffCheck: return takeoffCheckBits(cell, value);
    case Kind::Number: break;
    }
    const auto [end, ec] = std::from_chars(cell.data(), cell.data() + cell.size(), value);
    return ec == std::errc() && end == cell.data() + cell.size();
}

QString lineError(int line, const QString& what)
{
    return QStringLiteral("line %1: %2").arg(line).arg(what);
}

QString quoted(std::string_view s)
{
    return QStringLiteral("\"%1\"").arg(QString::fromUtf8(s.data(), qsizetype(s.size())).left(40));
}

}  // namespace

bool FlightLog::read(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return parse(file.readAll(), path, error);
}

bool FlightLog::parse(const QByteArray& data, const QString& path, QString* error)
{
    auto fail = [&](const QString& what) {
        *error = QStringLiteral("%1: %2").arg(path, what);
        return false;
    };
    m_data = data;
    m_timeMs.clear();
    m_offsetS.clear();
    m_timeText.clear();
    m_values.clear();
    m_cells.clear();
    const std::string_view all(m_data.constData(), size_t(m_data.size()));
    const QRegularExpression nameForm(QStringLiteral("^Flight_(.+)_\\d{8}_\\d{6}(_\\d+)?\\.xlsx$"));
    const auto match = nameForm.match(QFileInfo(path).fileName());
    m_vehicleTag = match.hasMatch() ? match.captured(1) : QString();

    const auto& table = columns();
    std::vector<int> fieldColumn;  // field index after the time -> column
    LocalTimeParser times;
    size_t pos = 0;
    int line = 0;
    while (pos < all.size()) {
        ++line;
        const size_t eol = all.find('\n', pos);
        const bool ended = eol != std::string_view::npos;
        std::string_view text = all.substr(pos, (ended ? eol : all.size()) - pos);
        pos = ended ? eol + 1 : all.size();
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);

        if (line == 1) {
            const auto tab = text.find('\t');
            if (text.substr(0, tab) != kTimeTitle && sourceText(text.substr(0, tab)) != kTimeTitle)
                return fail(lineError(1, QStringLiteral("not a flight log: the first title is not 时间")));
            std::vector<bool> seen(table.size(), false);
            size_t at = tab;
            while (at != std::string_view::npos) {
                const size_t next = text.find('\t', at + 1);
                const auto title = text.substr(at + 1, (next == std::string_view::npos ? text.size() : next) - at - 1);
                const int c = columnByTitle(title);
                if (c < 0)
                    return fail(lineError(1, QStringLiteral("unknown column title %1").arg(quoted(title))));
                if (seen[size_t(c)])
                    return fail(lineError(1, QStringLiteral("column title %1 appears twice").arg(quoted(title))));
                seen[size_t(c)] = true;
                fieldColumn.push_back(c);
                at = next;
            }
            for (size_t c = 0; c < table.size(); ++c)
                if (!seen[c])
                    return fail(lineError(1, QStringLiteral("column %1 (%2) is missing")
                                                 .arg(QString::fromUtf8(table[c].title), table[c].key)));
            m_columnCount = table.size();
            const size_t expectRows = size_t(all.size()) / (m_columnCount * 4 + 24) + 1;
            m_values.reserve(expectRows * m_columnCount);
            m_cells.reserve(expectRows * m_columnCount);
            continue;
        }
        if (text.empty() && !ended)
            break;  // the line end of the last row
        if (!ended)
            return fail(lineError(line, QStringLiteral("truncated last row (no line end)")));
        const size_t base = m_values.size();
        m_values.resize(base + m_columnCount, kNaN);
        m_cells.resize(base + m_columnCount);
        size_t field = 0;
        size_t start = 0;
        for (;;) {
            const size_t tab = text.find('\t', start);
            const auto cell = text.substr(start, (tab == std::string_view::npos ? text.size() : tab) - start);
            if (field == 0) {
                qint64 ms = 0;
                int offset = 0;
                if (!times.parse(cell, ms, offset))
                    return fail(lineError(line, QStringLiteral("bad time %1").arg(quoted(cell))));
                m_timeMs.push_back(ms);
                m_offsetS.push_back(offset);
                m_timeText.push_back(cell);
            } else if (field <= fieldColumn.size()) {
                const int c = fieldColumn[field - 1];
                if (!parseCell(table[size_t(c)], cell, m_values[base + size_t(c)]))
                    return fail(lineError(line, QStringLiteral("column %1: %2 is not a value of that column")
                                                    .arg(table[size_t(c)].key, quoted(cell))));
                m_cells[base + size_t(c)] = cell;
            }
            ++field;
            if (tab == std::string_view::npos)
                break;
            start = tab + 1;
        }
        if (field != fieldColumn.size() + 1)
            return fail(lineError(
                line, QStringLiteral("%1 fields, the title row has %2").arg(field).arg(fieldColumn.size() + 1)));
    }
    if (line == 0)
        return fail(lineError(1, QStringLiteral("empty file, not a flight log")));
    return true;
}

namespace {

void appendCsvField(QByteArray& out, std::string_view s)
{
    if (s.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(s.data(), qsizetype(s.size()));
        return;
    }
    out.append('"');
    for (const char ch : s) {
        if (ch == '"')
            out.append('"');
        out.append(ch);
    }
    out.append('"');
}

void appendNumber(QByteArray& out, double v)
{
    if (std::isnan(v))
        return;
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, qsizetype(end - buf));
}

}  // namespace

QByteArray toCsv(const FlightLog& log)
{
    const auto& table = columns();
    QByteArray out;
    out.reserve(qsizetype(log.rowCount() * log.columnCount() * 6 + 4096));
    out.append("time,elapsed_s");
    for (const auto& c : table) {
        out.append(',').append(c.key);
        if (c.kind == Kind::State || c.kind == Kind::TakeoffCheck)
            out.append(',').append(c.key).append("_text");
    }
    out.append("\r\n");
    for (size_t r = 0; r < log.rowCount(); ++r) {
        std::string_view t = log.timeText(r);
        out.append(t.data(), 10).append('T').append(t.data() + 11, qsizetype(t.size() - 11));
        // The same zone form as Qt's ISO dates in the summary: Z for UTC.
        const int off = log.utcOffsetS(r);
        const int a = std::abs(off) / 60;
        char zone[16] = "Z";
        if (off != 0)
            std::snprintf(zone, sizeof zone, "%c%02d:%02d", off < 0 ? '-' : '+', a / 60, a % 60);
        out.append(zone).append(',');
        appendNumber(out, double(log.timeMs(r) - log.timeMs(0)) / 1000.0);
        for (size_t c = 0; c < table.size(); ++c) {
            out.append(',');
            const auto& column = table[c];
            const double v = log.value(r, int(c));
            if (column.kind == Kind::Number) {
                out.append(log.cell(r, int(c)).data(), qsizetype(log.cell(r, int(c)).size()));
                continue;
            }
            appendNumber(out, v);
            if (column.kind == Kind::Duration)
                continue;
            out.append(',');
            if (!std::isnan(v))
                appendCsvField(out, column.kind == Kind::State ? stateText(column.states, int(v))
                                                               : takeoffCheckText(int(v)));
        }
        out.append("\r\n");
    }
    return out;
}

}  // namespace flightlog
