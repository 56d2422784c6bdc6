#pragma once
// Everything the simulator counted on its link, for tests and the summary printed at exit.

#include "SimFaultInjector.h"

#include <QString>

struct SimCounters {
    SimFaultInjector::Counters in;  // frames cut from the link, and what the faults did to them
    SimFaultInjector::Counters out;  // frames handed to the link, and what the faults did to them
    quint64 badHeadBytes = 0;  // received bytes skipped while looking for a head
    quint64 crcErrors = 0;  // received frames that failed their check (injected ones included)
    quint64 foreignFrames = 0;  // frames not from the station, or for an id not simulated
    quint64 commands = 0;  // frames handed to a vehicle
    quint64 answered = 0;
    quint64 silenced = 0;  // commands ignored because of --no-reply
    quint64 unknownCommands = 0;  // commands without a handler, not answered
    quint64 heartbeats = 0;
    quint64 sendFailures = 0;  // frames the transport would not take
    quint64 teleRequests = 0;  // telemetry requests handed to a vehicle
    quint64 teleAnswers = 0;  // answers sent (each one datagram or write)
    quint64 teleSilenced = 0;  // requests left unanswered after --silent-after
    quint64 statusRecordsOut = 0;  // flight status records that left after the link's faults: a
                                   // station's flight log has a row for each one it received
    quint64 paramReads = 0;  // parameter group and vehicle code reads answered
    quint64 paramWrites = 0;  // parameter group and vehicle code writes accepted, resets
    quint64 paramRefusals = 0;  // parameter writes, resets and calibration steps refused
    quint64 paramsSaveFailures = 0;  // accepted changes that could not be written to --params-file

    // Multi-line summary, one "key: value ..." line per group.
    QString toText() const;
};
