#include "SimCounters.h"

QString SimCounters::toText() const
{
    return QStringLiteral("in: frames %1 dropped %2 corrupted %3 crc-errors %4 bad-head-bytes %5 foreign %6\n"
                          "out: frames %7 dropped %8 corrupted %9 send-failures %10\n"
                          "vehicles: commands %11 answered %12 silenced %13 unknown %14 heartbeats %15\n"
                          "telemetry: requests %16 answers %17 silenced %18 status-records-out %23\n"
                          "params: reads %19 writes %20 refused %21 save-failures %22\n")
        .arg(in.frames)
        .arg(in.dropped)
        .arg(in.corrupted)
        .arg(crcErrors)
        .arg(badHeadBytes)
        .arg(foreignFrames)
        .arg(out.frames)
        .arg(out.dropped)
        .arg(out.corrupted)
        .arg(sendFailures)
        .arg(commands)
        .arg(answered)
        .arg(silenced)
        .arg(unknownCommands)
        .arg(heartbeats)
        .arg(teleRequests)
        .arg(teleAnswers)
        .arg(teleSilenced)
        .arg(paramReads)
        .arg(paramWrites)
        .arg(paramRefusals)
        .arg(paramsSaveFailures)
        .arg(statusRecordsOut);
}
