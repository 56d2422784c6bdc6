#include "SimOptions.h"

#include "MavProtoDefs.h"
#include "SimParams.h"

#include <QCommandLineParser>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace {

// Decimal, or hexadecimal with a 0x prefix; a leading zero does not mean octal here.
bool parseUnsigned(const QString& text, uint maxValue, uint& value)
{
    const QString t = text.trimmed();
    bool ok = false;
    uint v = 0;
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = t.mid(2).toUInt(&ok, 16);
    else
        v = t.toUInt(&ok, 10);
    if (!ok || v > maxValue)
        return false;
    value = v;
    return true;
}

bool parseByteNumber(const QString& text, uint8_t& value)
{
    uint v = 0;
    if (!parseUnsigned(text, 255, v))
        return false;
    value = uint8_t(v);
    return true;
}

// Non-negative seconds, fractions allowed, to milliseconds.
// A waypoint number: 1 to 255.
bool parseWayPointNumber(const QString& text, uint8_t& value)
{
    uint8_t v = 0;
    if (!parseByteNumber(text, v) || v == 0)
        return false;
    value = v;
    return true;
}

bool parseSeconds(const QString& text, int& ms)
{
    bool ok = false;
    const double s = text.trimmed().toDouble(&ok);
    if (!ok || !(s >= 0.0 && s <= 1e6))
        return false;
    ms = int(std::llround(s * 1000.0));
    return true;
}

bool parseLatLon(const QString& text, double& lat, double& lon)
{
    const QStringList parts = text.split(',');
    if (parts.size() != 2)
        return false;
    bool okLat = false;
    bool okLon = false;
    const double la = parts[0].trimmed().toDouble(&okLat);
    const double lo = parts[1].trimmed().toDouble(&okLon);
    if (!okLat || !okLon || !(std::abs(la) <= 90.0) || !(std::abs(lo) <= 180.0))
        return false;
    lat = la;
    lon = lo;
    return true;
}

bool parseInt(const QString& text, int minValue, int maxValue, int& value)
{
    bool ok = false;
    const qlonglong v = text.trimmed().toLongLong(&ok);
    if (!ok || v < minValue || v > maxValue)
        return false;
    value = int(v);
    return true;
}

bool parseProbability(const QString& text, double& value)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok || !(v >= 0.0 && v <= 1.0))
        return false;
    value = v;
    return true;
}

// HOST:PORT, with an IPv6 host in brackets.
bool parseHostPort(const QString& text, QString& host, quint16& port)
{
    const int colon = text.lastIndexOf(':');
    if (colon <= 0)
        return false;
    QString h = text.left(colon);
    if (h.startsWith('[') && h.endsWith(']'))
        h = h.mid(1, h.size() - 2);
    int p = 0;
    if (h.isEmpty() || !parseInt(text.mid(colon + 1), 1, 65535, p))
        return false;
    host = h;
    port = quint16(p);
    return true;
}

}  // namespace

QString SimOptions::validate() const
{
    if (transport == Transport::None) {
        if (mqttUri.isEmpty())
            return QStringLiteral("give exactly one of --udp HOST:PORT and --serial PATH, or --mqtt URI alone");
    } else if (transport == Transport::Udp) {
        if (stationHost.isEmpty() || stationPort == 0)
            return QStringLiteral("the station's UDP address needs a host and a port from 1 to 65535");
        if (recvPort != 0 && recvPort == listenPort)
            return QStringLiteral("--recv-port must differ from --listen");
    } else if (serialPath.isEmpty()) {
        return QStringLiteral("--serial needs a device path");
    }
    if (baud <= 0)
        return QStringLiteral("--baud needs a positive number");
    if (count < 1 || count > 254)
        return QStringLiteral("--count needs a number from 1 to 254");
    if (firstId == MAVPROTO_GCS_ID)
        return QStringLiteral("--first-id 129 is the station's id");
    const auto ids = vehicleIds();
    if (firstId < 1 || ids.back() > 255)
        return QStringLiteral("vehicle ids %1 to %2 (129 skipped) do not fit 1 to 255").arg(firstId).arg(ids.back());
    if (heartbeatMs < 1 || heartbeatMs > 600000)
        return QStringLiteral("--heartbeat-ms needs a number from 1 to 600000");
    if (!(loss >= 0.0 && loss <= 1.0) || !(corrupt >= 0.0 && corrupt <= 1.0))
        return QStringLiteral("--loss and --corrupt need a probability from 0 to 1");
    if (latencyMs < 0 || latencyMs > 60000)
        return QStringLiteral("--latency-ms needs a number from 0 to 60000");
    if (jitterMs < 0 || jitterMs > 10000)
        return QStringLiteral("--jitter-ms needs a number from 0 to 10000");
    if (!(std::abs(homeLat) <= 90.0) || !(std::abs(homeLon) <= 180.0))
        return QStringLiteral("--home needs a latitude within +-90 and a longitude within +-180 degrees");
    if (stepMs < 1 || stepMs > 1000)
        return QStringLiteral("--step-ms needs a number from 1 to 1000");
    if (fixAfterMs < 0 || rcLostAfterMs < -1 || silentAfterMs < -1)
        return QStringLiteral("--fix-after-s, --rc-lost-after and --silent-after need non-negative seconds");
    if (batteryState > 2)
        return QStringLiteral("--battery needs normal, low or critical");
    if (!SimParams::validCode(code.toStdString()))
        return QStringLiteral("--code needs at most 20 printable ASCII characters");
    if (!SimParams::validCode(vehicleCode(count - 1).toStdString()))
        return QStringLiteral("--code with --count %1 needs CODE-%1 to fit 20 characters").arg(count);
    if (!mqttUri.isEmpty()) {
        const QUrl url(mqttUri);
        if ((url.scheme() != QLatin1String("tcp") && url.scheme() != QLatin1String("mqtt")) || url.host().isEmpty() ||
            url.port() < 1)
            return QStringLiteral("--mqtt needs tcp://HOST:PORT");
        // The code is a level of the topics: no wildcards, no separator.
        if (code.isEmpty() || code.contains(QLatin1Char('/')) || code.contains(QLatin1Char('+')) ||
            code.contains(QLatin1Char('#')))
            return QStringLiteral("--mqtt needs a --vehicle-code without '/', '+' or '#'");
        if (!(mqttRateHz >= 0.1 && mqttRateHz <= 100.0))
            return QStringLiteral("--mqtt-rate-hz needs a rate from 0.1 to 100");
        if (!(mqttCorrupt >= 0.0 && mqttCorrupt <= 1.0))
            return QStringLiteral("--mqtt-corrupt needs a probability from 0 to 1");
    }
    if (wpNoAck.count(0) || wpResults.count(0) || dlWrongRoute.count(0) || dlWrongNumber.count(0))
        return QStringLiteral("waypoint numbers of --wp-no-ack, --wp-result, --dl-wrong-route and --dl-wrong-number "
                              "run from 1 to 255");
    if (fwVersion.size() != 6 ||
        std::any_of(fwVersion.begin(), fwVersion.end(), [](QChar c) { return c.unicode() > 0xFF; }))
        return QStringLiteral("--fw-version needs 6 Latin-1 characters");
    if (fwFinalDelayMs < 0 || rebootMs < 0 || fwRejectFrame > 0xFFFF)
        return QStringLiteral("--fw-final-delay-ms and --reboot-ms need non-negative milliseconds, "
                              "--fw-reject-frame a frame index from 0 to 65535");
    return {};
}

void SimOptions::declareOptions(QCommandLineParser& parser)
{
    parser.addOptions({
        {"udp", "Station's UDP address; heartbeats and answers go there.", "HOST:PORT"},
        {"listen",
         "Own UDP port (heartbeats leave from it, frames arrive on it); 0 picks a free one, printed "
         "as the first output line.",
         "PORT", "0"},
        {"recv-port",
         "A second UDP port that also receives frames (for a station sending to a fixed device "
         "port).",
         "PORT"},
        {"serial", "Serial device instead of UDP.", "PATH"},
        {"baud", "Serial baud rate (default 115200).", "RATE", "115200"},
        {"line-rate",
         "Serial: pace the bytes each way as a line of RATE bit/s would (10 bits a byte; default 0, unpaced).", "RATE",
         "0"},
        {"count",
         "Number of vehicles sharing the link (default 1); their ids run up from --first-id and skip 129, the "
         "station's (--count 253 gives 1..128 and 130..254).",
         "N", "1"},
        {"first-id", "Id of the first vehicle, the others follow (default 1); 129 is the station's.", "ID", "1"},
        {"heartbeat-ms", "Heartbeat period of each vehicle (default 1000).", "MS", "1000"},
        {"ack-result", "Answer command CMD (0x81 or 129) with result R (repeatable).", "CMD=R"},
        {"no-reply", "Never answer command CMD (repeatable).", "CMD"},
        {"wp-no-ack", "Never answer the upload (0x43) of waypoint number K, resends included (repeatable).", "K"},
        {"wp-result",
         "Answer the upload (0x43) of waypoint number K with result R and do not store it "
         "(repeatable).",
         "K=R"},
        {"dl-wrong-route",
         "The download answer (0x41) of waypoint number K carries the route number + 1 "
         "(repeatable).",
         "K"},
        {"dl-wrong-number",
         "The download answer (0x41) of waypoint number K carries the waypoint number + 1 "
         "(repeatable).",
         "K"},
        {"store-altered",
         "Acknowledge waypoint number K as sent but store it 1 m higher; K = 0: store the basic record "
         "(0x42) with its repeat count + 1 (repeatable).",
         "K"},
        {"nfz-reject-zone",
         "Answer no-fly zone index K (0x11, from 0) with result R and do not store it "
         "(repeatable).",
         "K=R"},
        {"nfz-status-word",
         "Answer no-fly zone index K (0x11, from 0) with result 0 and status word W (1 to 65535) "
         "and do not store it (repeatable).",
         "K=W"},
        {"nfz-dump",
         "Write each vehicle's stored no-fly zones and manual zone to this JSON file, replaced after "
         "every stored upload or bind.",
         "FILE"},
        {"fw-version", "Firmware version the vehicles run (6 characters, default V2.1.0); an update replaces it.", "V",
         "V2.1.0"},
        {"fw-final-delay-ms", "Send the firmware final ack (0xA4) N ms after the image completes (default 500).", "N",
         "500"},
        {"reboot-ms", "After a firmware update stay silent (no heartbeats, no answers) for N ms (default 2000).", "N",
         "2000"},
        {"fw-reject-frame", "Answer firmware data frame index K (0xA3) with result 1 and do not store it.", "K"},
        {"fw-no-final-ack", "Never send the firmware final ack."},
        {"fw-corrupt", "Spoil the stored firmware image so that it fails its check (final ack 4)."},
        {"fw-early-final-ack", "Send the firmware final ack right before the last data frame's ack instead of "
                               "--fw-final-delay-ms after it."},
        {"loss", "Drop each frame sent and each frame received with probability P (default 0).", "P", "0"},
        {"corrupt",
         "Flip one bit in the data or check bytes (never the head or length) of each frame sent and "
         "received with probability P (default 0).",
         "P", "0"},
        {"latency-ms", "Delay every frame sent by N ms, order kept (default 0).", "N", "0"},
        {"jitter-ms", "Delay each chunk sent by up to N ms more, at random, order kept (default 0).", "N", "0"},
        {"seed",
         "Seed of the fault injector's random numbers and of the attitude wobble (default " +
             QString::number(SimOptions().seed) + ").",
         "SEED", QString::number(SimOptions().seed)},
        {"telemetry",
         "Answer to a telemetry request: full (the six record frames in one datagram, the default) or "
         "comprehensive (the one comprehensive frame).",
         "full|comprehensive", "full"},
        {"home",
         "Home of the first vehicle in decimal degrees (default " + QString::number(SimOptions().homeLat, 'f', 4) +
             "," + QString::number(SimOptions().homeLon, 'f', 4) + "); the others stand 5 m apart.",
         "LAT,LON"},
        {"step-ms", "Step of the flight model (default 50).", "MS", "50"},
        {"fix-after-s", "The position fixes S seconds after start (default 3).", "S", "3"},
        {"rc-lost-after", "Report the remote control lost from S seconds after start.", "S"},
        {"battery", "Battery state to report: normal, low or critical (default normal).", "STATE", "normal"},
        {"emergency", "Emergency protection byte to report (default 0).", "CODE", "0"},
        {"takeoff-check", "Take-off check bits to report (default 0x7E: allowed, every subsystem healthy).", "BITS",
         "0x7E"},
        {"hdop", "GNSS HDOP to report, in tenths (default 8).", "TENTHS", "8"},
        {"vdop", "GNSS VDOP to report, in tenths (default 8).", "TENTHS", "8"},
        {"silent-after",
         "Stop answering telemetry requests S seconds after start; heartbeats and acknowledgements "
         "go on.",
         "S"},
        {"params-file",
         "Keep every vehicle's parameter groups and vehicle code in this JSON file: read at start "
         "when it exists, rewritten after every accepted parameter write or reset.",
         "FILE"},
        {{"code", "vehicle-code"},
         "Vehicle code (serial number) of vehicles without a stored one: at most 20 "
         "printable ASCII characters (default none); with --count N above 1 the vehicles get CODE-1 to CODE-N.",
         "CODE"},
        {"mqtt",
         "Publish each vehicle's position and status to this MQTT broker, with or without a link "
         "(needs --vehicle-code).",
         "tcp://HOST:PORT"},
        {"mqtt-user", "MQTT user name.", "USER"},
        {"mqtt-password", "MQTT password (never logged).", "PASSWORD"},
        {"mqtt-rate-hz", "Messages per second on each topic (0.1 to 100, default 5).", "HZ", "5"},
        {"mqtt-corrupt",
         "Replace each MQTT message by a malformed one with probability P (default 0; --seed "
         "applies).",
         "P", "0"},
        {"latency-probe",
         "Report each vehicle's altitude as whole metres stepping up once a second, and log each "
         "step's first send to FILE as VEHICLE STEP UNIX_US lines (latency measurement).",
         "FILE"},
        {"verbose", "Log every frame in and out, with its bytes."},
    });
}

QString SimOptions::readOptions(const QCommandLineParser& parser, SimOptions& options)
{
    const bool udp = parser.isSet("udp");
    const bool serial = parser.isSet("serial");
    const bool mqtt = parser.isSet("mqtt");
    if (udp && serial)
        return QStringLiteral("give exactly one of --udp HOST:PORT and --serial PATH");
    if (!udp && !serial && !mqtt)
        return QStringLiteral("give exactly one of --udp HOST:PORT and --serial PATH, or --mqtt URI alone");

    if (mqtt) {
        options.mqttUri = parser.value("mqtt");
        options.mqttUser = parser.value("mqtt-user");
        options.mqttPassword = parser.value("mqtt-password");
        bool ok = false;
        options.mqttRateHz = parser.value("mqtt-rate-hz").trimmed().toDouble(&ok);
        if (!ok || !(options.mqttRateHz >= 0.1 && options.mqttRateHz <= 100.0))
            return QStringLiteral("--mqtt-rate-hz needs a rate from 0.1 to 100: ") + parser.value("mqtt-rate-hz");
        if (!parseProbability(parser.value("mqtt-corrupt"), options.mqttCorrupt))
            return QStringLiteral("--mqtt-corrupt needs a probability from 0 to 1: ") + parser.value("mqtt-corrupt");
    } else {
        for (const char* name : {"mqtt-user", "mqtt-password", "mqtt-rate-hz", "mqtt-corrupt"}) {
            if (parser.isSet(name))
                return QStringLiteral("--%1 belongs to --mqtt").arg(QLatin1String(name));
        }
    }

    int n = 0;
    if (!udp && !serial) {
        options.transport = Transport::None;
        for (const char* name : {"listen", "recv-port", "baud", "line-rate"}) {
            if (parser.isSet(name))
                return QStringLiteral("--%1 needs a link (--udp or --serial)").arg(QLatin1String(name));
        }
    } else if (udp) {
        options.transport = Transport::Udp;
        if (!parseHostPort(parser.value("udp"), options.stationHost, options.stationPort))
            return QStringLiteral("--udp needs HOST:PORT with a port from 1 to 65535: ") + parser.value("udp");
        if (!parseInt(parser.value("listen"), 0, 65535, n))
            return QStringLiteral("--listen needs a port from 0 to 65535: ") + parser.value("listen");
        options.listenPort = quint16(n);
        if (parser.isSet("recv-port")) {
            if (!parseInt(parser.value("recv-port"), 1, 65535, n))
                return QStringLiteral("--recv-port needs a port from 1 to 65535: ") + parser.value("recv-port");
            options.recvPort = quint16(n);
        }
    } else {
        options.transport = Transport::Serial;
        options.serialPath = parser.value("serial");
        if (parser.isSet("listen") || parser.isSet("recv-port"))
            return QStringLiteral("--listen and --recv-port belong to --udp");
        if (!parseInt(parser.value("baud"), 1, std::numeric_limits<int>::max(), options.baud))
            return QStringLiteral("--baud needs a positive number: ") + parser.value("baud");
        if (!parseInt(parser.value("line-rate"), 0, 100000000, options.lineRate))
            return QStringLiteral("--line-rate needs a number of bits per second from 0 to 100000000: ") +
                   parser.value("line-rate");
    }

    if (!parseInt(parser.value("count"), 1, 254, options.count))
        return QStringLiteral("--count needs a number from 1 to 254: ") + parser.value("count");
    if (!parseInt(parser.value("first-id"), 1, 255, options.firstId))
        return QStringLiteral("--first-id needs a number from 1 to 255: ") + parser.value("first-id");
    if (!parseInt(parser.value("heartbeat-ms"), 1, 600000, options.heartbeatMs))
        return QStringLiteral("--heartbeat-ms needs a number from 1 to 600000: ") + parser.value("heartbeat-ms");

    for (const QString& item : parser.values("ack-result")) {
        const int eq = item.indexOf('=');
        uint8_t cmd = 0;
        uint8_t result = 0;
        if (eq <= 0 || !parseByteNumber(item.left(eq), cmd) || !parseByteNumber(item.mid(eq + 1), result))
            return QStringLiteral("--ack-result needs CMD=R with both from 0 to 255 (0x.. for hex): ") + item;
        options.ackResults[cmd] = result;
    }
    for (const QString& item : parser.values("no-reply")) {
        uint8_t cmd = 0;
        if (!parseByteNumber(item, cmd))
            return QStringLiteral("--no-reply needs a command byte from 0 to 255 (0x.. for hex): ") + item;
        options.noReply.insert(cmd);
    }
    for (const QString& item : parser.values("wp-result")) {
        const int eq = item.indexOf('=');
        uint8_t k = 0;
        uint8_t result = 0;
        if (eq <= 0 || !parseWayPointNumber(item.left(eq), k) || !parseByteNumber(item.mid(eq + 1), result))
            return QStringLiteral("--wp-result needs K=R with K a waypoint number from 1 to 255 and R a result from 0 "
                                  "to 255: ") +
                   item;
        options.wpResults[k] = result;
    }
    const std::pair<const char*, std::set<uint8_t>*> numberFlags[] = {
        {"wp-no-ack", &options.wpNoAck},
        {"dl-wrong-route", &options.dlWrongRoute},
        {"dl-wrong-number", &options.dlWrongNumber},
    };
    for (const QString& item : parser.values("store-altered")) {
        uint8_t k = 0;
        if (!parseByteNumber(item, k))
            return QStringLiteral("--store-altered needs a waypoint number from 0 to 255: ") + item;
        options.storeAltered.insert(k);
    }
    for (const auto& [name, numbers] : numberFlags) {
        for (const QString& item : parser.values(name)) {
            uint8_t k = 0;
            if (!parseWayPointNumber(item, k))
                return QStringLiteral("--%1 needs a waypoint number from 1 to 255: %2").arg(QLatin1String(name), item);
            numbers->insert(k);
        }
    }

    options.fwVersion = parser.value("fw-version");
    if (!parseInt(parser.value("fw-final-delay-ms"), 0, 600000, options.fwFinalDelayMs))
        return QStringLiteral("--fw-final-delay-ms needs a number from 0 to 600000: ") +
               parser.value("fw-final-delay-ms");
    if (!parseInt(parser.value("reboot-ms"), 0, 600000, options.rebootMs))
        return QStringLiteral("--reboot-ms needs a number from 0 to 600000: ") + parser.value("reboot-ms");
    if (parser.isSet("fw-reject-frame") && !parseInt(parser.value("fw-reject-frame"), 0, 65535, options.fwRejectFrame))
        return QStringLiteral("--fw-reject-frame needs a frame index from 0 to 65535: ") +
               parser.value("fw-reject-frame");
    options.fwNoFinalAck = parser.isSet("fw-no-final-ack");
    options.fwCorrupt = parser.isSet("fw-corrupt");
    options.fwEarlyFinalAck = parser.isSet("fw-early-final-ack");

    for (const char* name : {"nfz-reject-zone", "nfz-status-word"}) {
        const bool word = QLatin1String(name) == QLatin1String("nfz-status-word");
        for (const QString& item : parser.values(name)) {
            const int eq = item.indexOf('=');
            uint k = 0;
            uint value = 0;
            if (eq <= 0 || !parseUnsigned(item.left(eq), 65535, k) ||
                !parseUnsigned(item.mid(eq + 1), word ? 65535 : 255, value) || value == 0)
                return QStringLiteral("--%1 needs K=%2 with K a zone index from 0 to 65535 and %2 from 1 to %3: %4")
                    .arg(QLatin1String(name), word ? "W" : "R", word ? "65535" : "255", item);
            if (word)
                options.nfzStatusWords[uint16_t(k)] = uint16_t(value);
            else
                options.nfzRejectZones[uint16_t(k)] = uint8_t(value);
        }
    }
    options.nfzDump = parser.value("nfz-dump");
    options.latencyProbe = parser.value("latency-probe");

    if (!parseProbability(parser.value("loss"), options.loss))
        return QStringLiteral("--loss needs a probability from 0 to 1: ") + parser.value("loss");
    if (!parseProbability(parser.value("corrupt"), options.corrupt))
        return QStringLiteral("--corrupt needs a probability from 0 to 1: ") + parser.value("corrupt");
    if (!parseInt(parser.value("latency-ms"), 0, 60000, options.latencyMs))
        return QStringLiteral("--latency-ms needs a number from 0 to 60000: ") + parser.value("latency-ms");
    if (!parseInt(parser.value("jitter-ms"), 0, 10000, options.jitterMs))
        return QStringLiteral("--jitter-ms needs a number from 0 to 10000: ") + parser.value("jitter-ms");
    bool ok = false;
    options.seed = parser.value("seed").trimmed().toULongLong(&ok);
    if (!ok)
        return QStringLiteral("--seed needs a non-negative integer: ") + parser.value("seed");

    const QString telemetry = parser.value("telemetry").trimmed().toLower();
    if (telemetry == QLatin1String("full"))
        options.telemetry = Telemetry::Full;
    else if (telemetry == QLatin1String("comprehensive"))
        options.telemetry = Telemetry::Comprehensive;
    else
        return QStringLiteral("--telemetry needs full or comprehensive: ") + parser.value("telemetry");
    if (parser.isSet("home") && !parseLatLon(parser.value("home"), options.homeLat, options.homeLon))
        return QStringLiteral("--home needs LAT,LON in decimal degrees within +-90 and +-180: ") + parser.value("home");
    if (!parseInt(parser.value("step-ms"), 1, 1000, options.stepMs))
        return QStringLiteral("--step-ms needs a number from 1 to 1000: ") + parser.value("step-ms");
    if (!parseSeconds(parser.value("fix-after-s"), options.fixAfterMs))
        return QStringLiteral("--fix-after-s needs non-negative seconds: ") + parser.value("fix-after-s");
    if (parser.isSet("rc-lost-after") && !parseSeconds(parser.value("rc-lost-after"), options.rcLostAfterMs))
        return QStringLiteral("--rc-lost-after needs non-negative seconds: ") + parser.value("rc-lost-after");
    if (parser.isSet("silent-after") && !parseSeconds(parser.value("silent-after"), options.silentAfterMs))
        return QStringLiteral("--silent-after needs non-negative seconds: ") + parser.value("silent-after");
    const QString battery = parser.value("battery").trimmed().toLower();
    const QStringList batteryNames = {"normal", "low", "critical"};
    if (!batteryNames.contains(battery))
        return QStringLiteral("--battery needs normal, low or critical: ") + parser.value("battery");
    options.batteryState = quint8(batteryNames.indexOf(battery));
    if (!parseByteNumber(parser.value("emergency"), options.emergencyProtect))
        return QStringLiteral("--emergency needs a byte from 0 to 255 (0x.. for hex): ") + parser.value("emergency");
    uint bits = 0;
    if (!parseUnsigned(parser.value("takeoff-check"), 0xFFFF, bits))
        return QStringLiteral("--takeoff-check needs a number from 0 to 65535 (0x.. for hex): ") +
               parser.value("takeoff-check");
    options.takeoffCheck = quint16(bits);
    if (!parseByteNumber(parser.value("hdop"), options.hdop))
        return QStringLiteral("--hdop needs tenths from 0 to 255: ") + parser.value("hdop");
    if (!parseByteNumber(parser.value("vdop"), options.vdop))
        return QStringLiteral("--vdop needs tenths from 0 to 255: ") + parser.value("vdop");

    if (parser.isSet("params-file")) {
        options.paramsFile = parser.value("params-file");
        if (options.paramsFile.isEmpty())
            return QStringLiteral("--params-file needs a file path");
    }
    options.code = parser.value("code");
    if (!SimParams::validCode(options.code.toStdString()))
        return QStringLiteral("--code needs at most 20 printable ASCII characters: ") + options.code;
    options.verbose = parser.isSet("verbose");
    return options.validate();
}

QString SimOptions::vehicleCode(int index) const
{
    return count > 1 && !code.isEmpty() ? QStringLiteral("%1-%2").arg(code).arg(index + 1) : code;
}

std::vector<int> SimOptions::vehicleIds() const
{
    std::vector<int> ids;
    ids.reserve(size_t(std::max(count, 0)));
    for (int id = firstId; int(ids.size()) < count; ++id) {
        if (id != MAVPROTO_GCS_ID)
            ids.push_back(id);
    }
    return ids;
}
