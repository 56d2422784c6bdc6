#pragma once
// What one simulator run does: transport, vehicles, answers and faults. Filled from the command
// line by the program, built directly by tests.

#include <QString>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

class QCommandLineParser;

struct SimOptions {
    // None: no link at all, only MQTT publishing (needs mqttUri).
    enum class Transport { Udp, Serial, None };
    // Answer to a telemetry request: six record frames, or the one comprehensive frame.
    enum class Telemetry { Full, Comprehensive };

    Transport transport = Transport::Udp;

    // UDP: heartbeats and answers go to the station's address; frames are received on the
    // bound port and, when recvPort is non-zero, also on a second port (a station that sends to
    // a fixed device port sees heartbeats from listenPort but sends to recvPort).
    QString stationHost = QStringLiteral("127.0.0.1");
    quint16 stationPort = 0;
    quint16 listenPort = 0;  // 0 = ephemeral
    quint16 recvPort = 0;  // 0 = no second port

    QString serialPath;
    qint32 baud = 115200;
    int lineRate = 0;  // serial: bits per second the bytes are paced at each way; 0 unpaced

    int count = 1;
    int firstId = 1;  // ids run upward from here and skip the station's 129
    // The vehicles' ids: count of them from firstId, 129 left out (so 253 from 1 end at 254).
    std::vector<int> vehicleIds() const;
    int heartbeatMs = 1000;

    // Per command byte: a forced acknowledgement result, or silence.
    std::map<uint8_t, uint8_t> ackResults;
    std::set<uint8_t> noReply;

    // Route transfer faults, keyed by waypoint number (see SimVehicleMission).
    std::set<uint8_t> wpNoAck;  // its upload is never answered
    std::map<uint8_t, uint8_t> wpResults;  // its upload is answered with this result, not stored
    std::set<uint8_t> dlWrongRoute;  // its download answer carries route number + 1
    std::set<uint8_t> dlWrongNumber;  // its download answer carries number + 1
    // Acknowledged as sent but stored otherwise: waypoint K with its altitude + 1 m; 0 the basic
    // record with its repeat count + 1.
    std::set<uint8_t> storeAltered;

    // No-fly-zone faults, keyed by 0-based zone index (see SimVehicleNfz), and the dump file.
    std::map<uint16_t, uint8_t> nfzRejectZones;  // the zone is answered with this result, not stored
    std::map<uint16_t, uint16_t> nfzStatusWords;  // the zone is answered 0 with this status word, not stored
    QString nfzDump;

    // Telemetry marked for latency measurement, and the log of its sends (SimLatencyProbe.h); empty: off.
    QString latencyProbe;

    // Firmware update (see SimVehicleFirmware): the version the vehicle runs, when its final ack
    // leaves after the image completes, how long it stays silent while it restarts, and faults.
    QString fwVersion = QStringLiteral("V2.1.0");
    int fwFinalDelayMs = 500;
    int rebootMs = 2000;
    int fwRejectFrame = -1;  // data frame index answered with 1 (and not stored); -1 none
    bool fwNoFinalAck = false;
    bool fwCorrupt = false;  // one byte of the stored image flips, so it fails its check
    bool fwEarlyFinalAck = false;  // the final ack leaves right before the last data frame's ack

    double loss = 0.0;
    double corrupt = 0.0;
    int latencyMs = 0;
    int jitterMs = 0;  // 0..jitterMs more per chunk sent, order kept
    quint64 seed = 20240611;

    // Telemetry and the flight model (see SimFlightModel). Times are model time from the start;
    // -1 means never.
    Telemetry telemetry = Telemetry::Full;
    double homeLat = 22.5431;  // the first vehicle's home; the others stand 5 m apart
    double homeLon = 113.9468;
    int stepMs = 50;
    int fixAfterMs = 3000;
    int rcLostAfterMs = -1;
    int silentAfterMs = -1;  // telemetry requests go unanswered from then on; heartbeats and acks go on

    // States injected into every flight status record.
    quint8 batteryState = 0;  // 0 normal, 1 low, 2 critical
    quint8 emergencyProtect = 0;
    quint16 takeoffCheck = 0x7E;  // take-off allowed, every subsystem healthy
    quint8 hdop = 8;  // tenths
    quint8 vdop = 8;

    // Parameters: the file that keeps every vehicle's groups and code across runs (none when
    // empty), and the vehicle code of vehicles the file has no code for (empty: no code). With
    // more than one vehicle, vehicle k (from 1, in id order) gets the code CODE-k, so that each
    // one is told apart on the link and on MQTT; a params file entry without a code still gets
    // CODE itself.
    QString paramsFile;
    QString code;
    // The code of the vehicle at 0-based index (see above).
    QString vehicleCode(int index) const;

    // MQTT publishing of each vehicle's position and status (see SimMqttPublisher); off when
    // mqttUri is empty. mqttCorrupt is the probability that a message is replaced by a
    // malformed one.
    QString mqttUri;
    QString mqttUser;
    QString mqttPassword;
    double mqttRateHz = 5.0;
    double mqttCorrupt = 0.0;

    bool verbose = false;

    // Checks ranges and combinations; returns an error text, empty when the options are usable.
    QString validate() const;

    static void declareOptions(QCommandLineParser& parser);
    // Reads what declareOptions declared (the parser has parsed); returns an error text, empty
    // on success. The result is validated.
    static QString readOptions(const QCommandLineParser& parser, SimOptions& options);
};
