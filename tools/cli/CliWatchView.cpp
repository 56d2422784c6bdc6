#include "CliWatchView.h"

#include "CliReadable.h"

#include <QDateTime>

#include <sstream>

using nlohmann::json;

namespace {

std::string str(const json& obj, const char* key)
{
    if (!obj.is_object() || !obj.contains(key))
        return "-";
    const json& v = obj[key];
    return v.is_string() ? v.get<std::string>() : v.dump();
}

// A snapshot value as the station's telemetry items present it, with its unit.
struct Shown {
    const json& display;
    std::string operator()(const char* group, const char* key) const
    {
        const json values = display.value(group, json::object());
        // Null is a value the station does not know (a position before the fix).
        if (values.contains(key) && values[key].is_null())
            return "unknown";
        const std::string value = str(values, key);
        const json units = display.value("units", json::object()).value(group, json::object());
        const std::string unit = value == "-" ? std::string() : units.value(key, "");
        return unit.empty() ? value : value + " " + unit;
    }
};

bool isOk(const json& envelope)
{
    return envelope.is_object() && envelope.contains("ok") && envelope["ok"] == true && envelope.contains("data") &&
           envelope["data"].is_object();
}

// The station's words; its code only when it sent none.
std::string errorLine(const json& envelope)
{
    if (!envelope.is_object())
        return "no answer";
    const std::string message = envelope.value("message", "");
    return message.empty() ? str(envelope, "code") : message;
}

std::string ageText(const json& d, const char* key)
{
    const json v = d.value(key, json());
    return v.is_number() ? CliReadable::ageText(v) + " ago" : "never";
}

std::string vehicleLine(const json& d)
{
    const json id = d.value("vehicleId", json());
    const std::string code = d.value("vehicleCode", "");
    if (!id.is_number() || id.get<double>() < 0)  // watched through the cloud
        return (code.empty() ? std::string("(no code)") : code) + " (through the cloud)";
    return id.dump() + (code.empty() ? "   code not read yet" : "   code " + code);
}

// A closed link, or telemetry absent or older than the limit, means the values are stale.
bool linkLost(const json& snapshotEnvelope)
{
    if (!isOk(snapshotEnvelope))
        return false;
    const json& d = snapshotEnvelope["data"];
    const json age = d.value("lastTelemetryAgeMs", json());
    return d.value("linkConnected", true) == false || !age.is_number() ||
           age.get<double>() > CliWatchView::kLinkLostAfterMs;
}

constexpr const char* kGrey = "\x1b[90m";
constexpr const char* kRed = "\x1b[1;31m";
constexpr const char* kReset = "\x1b[0m";

}  // namespace

std::string CliWatchView::render(const json& snapshotEnvelope, const json& alertsEnvelope, int intervalMs)
{
    std::ostringstream out;
    const bool lost = linkLost(snapshotEnvelope);
    if (lost)
        out << kRed << "LINK LOST" << kReset << "   ";
    out << "velmora-cli watch   " << QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss").toStdString()
        << "   every " << intervalMs << " ms, Ctrl+C to stop\n\n";

    if (snapshotEnvelope.is_object() && snapshotEnvelope.value("domain", "") == "transport") {
        out << "  waiting for the station: " << errorLine(snapshotEnvelope) << "\n";
        return out.str();
    }
    if (!isOk(snapshotEnvelope)) {
        out << "  telemetry unavailable: " << errorLine(snapshotEnvelope) << "\n";
    } else {
        const json& d = snapshotEnvelope["data"];
        const json display = d.value("display", json::object());
        const Shown v{display};
        out << "  link       " << (d.value("linkConnected", false) ? "connected" : "closed") << "   telemetry "
            << ageText(d, "lastTelemetryAgeMs") << "   heartbeat " << ageText(d, "lastHeartbeatAgeMs") << "\n";
        if (lost)
            out << kGrey;
        out << "  vehicle    " << vehicleLine(d) << "\n"
            << "  attitude   roll " << v("ahrs", "roll") << "   pitch " << v("ahrs", "pitch") << "   yaw "
            << v("ahrs", "yaw") << "\n"
            << "  position   lat " << v("position", "lat") << "   lon " << v("position", "lon") << "   alt "
            << v("position", "alt") << "   sats " << v("position", "posSatNum") << "\n"
            << "  speed      north " << v("position", "northSpd") << "   east " << v("position", "eastSpd") << "   up "
            << v("position", "upSpd") << "\n"
            << "  status     mode " << v("flightStatus", "flightMode") << "   state "
            << v("flightStatus", "flightState") << "   armed " << v("flightStatus", "armedState") << "\n"
            << "             fcuVol " << v("flightStatus", "fcuVol") << "   hdop " << v("flightStatus", "gnssHdop")
            << "   vdop " << v("flightStatus", "gnssVdop") << "\n"
            << "  sensors    gnss " << v("flightStatus", "gnssPositionState") << "   navigation "
            << v("flightStatus", "integratedNavigationState") << "   imu " << v("flightStatus", "imuSensorState")
            << "   heading " << v("flightStatus", "headingSensorState") << "\n"
            << "  protection " << v("flightStatus", "emergencyProtect") << "\n"
            << "  flight     current " << v("flightStatus", "currentFlightTime") << "   total "
            << v("flightStatus", "totalFlightTime") << "   surplus " << v("flightStatus", "surplusFlightTime") << "\n";
        if (lost)
            out << kReset;
    }

    out << "\n";
    if (!isOk(alertsEnvelope)) {
        out << "  alerts unavailable: " << errorLine(alertsEnvelope) << "\n";
    } else {
        const json alerts = alertsEnvelope["data"].value("alerts", json::array());
        out << "  alerts (" << alerts.size() << ")\n";
        for (const json& a : alerts) {
            out << "    " << str(a, "level") << "  " << str(a, "message") << "\n";
        }
    }
    return out.str();
}
