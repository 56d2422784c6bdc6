// The flight-log reader of velmora-flightlog on arbitrary bytes (logs of an earlier version, cut
// short, edited by hand): a log is taken whole or refused with an error naming its line, and a
// taken log converts to CSV (a line per row after the header) and summarises.

#include "FlightLog.h"
#include "FlightLogSummary.h"
#include "FuzzSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzsupport::applicationOnce();
    flightlog::FlightLog log;
    QString error;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (!log.parse(bytes, QStringLiteral("Flight_7_20260101_100000.xlsx"), &error)) {
        if (!error.contains(QStringLiteral("line ")) && !error.contains(QStringLiteral("empty file")))
            std::abort();
        return 0;
    }
    if (log.vehicleTag() != QStringLiteral("7"))
        std::abort();
    const QByteArray csv = flightlog::toCsv(log);
    if (csv.count("\r\n") < qsizetype(log.rowCount()) + 1)
        std::abort();
    (void)flightlog::summaryText(flightlog::summarize(log));
    return 0;
}
