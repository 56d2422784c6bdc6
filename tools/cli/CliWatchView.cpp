#include "CliWatchView.h"

#include <QDateTime>

#include <cstdio>
#include <sstream>

using nlohmann::json;

namespace {

// A number with fixed decimals, or "-" when the station did not send it.
std::string num(const json& obj, const char* key, int decimals)
{
    if (!obj.is_object() || !obj.contains(key) || !obj[key].is_number())
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, obj[key].get<double>());
    return text;
}

std::string str(const json& obj, const char* key)
{
    if (!obj.is_object() || !obj.contains(key))
        return "-";
    const json& v = obj[key];
    return v.is_string() ? v.get<std::string>() : v.dump();
}

bool isOk(const json& envelope)
{
    return envelope.is_object() && envelope.contains("ok") && envelope["ok"] == true && envelope.contains("data") &&
           envelope["data"].is_object();
}

std::string errorLine(const json& envelope)
{
    if (!envelope.is_object())
        return "no answer";
    return str(envelope, "code") + ": " + str(envelope, "message");
}

std::string ageText(const json& d, const char* key)
{
    const json v = d.value(key, json());
    return v.is_number() ? v.dump() + " ms ago" : "never";
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
        const json ahrs = d.value("ahrs", json::object());
        const json pos = d.value("position", json::object());
        const json st = d.value("flightStatus", json::object());
        out << "  link       " << (d.value("linkConnected", false) ? "connected" : "closed") << "   telemetry "
            << ageText(d, "lastTelemetryAgeMs") << "   heartbeat " << ageText(d, "lastHeartbeatAgeMs") << "\n";
        if (lost)
            out << kGrey;
        out << "  vehicle    id " << str(d, "vehicleId") << "   code " << str(d, "vehicleCode") << "\n"
            << "  attitude   roll " << num(ahrs, "roll", 2) << "   pitch " << num(ahrs, "pitch", 2) << "   yaw "
            << num(ahrs, "yaw", 2) << "\n"
            << "  position   lat " << num(pos, "lat", 7) << "   lon " << num(pos, "lon", 7) << "   alt "
            << num(pos, "alt", 1) << "   sats " << num(pos, "posSatNum", 0) << "\n"
            << "  speed      north " << num(pos, "northSpd", 1) << "   east " << num(pos, "eastSpd", 1) << "   up "
            << num(pos, "upSpd", 1) << "\n"
            << "  status     mode " << num(st, "flightMode", 0) << "   state " << num(st, "flightState", 0)
            << "   armed " << num(st, "armedState", 0) << "   fcuVol " << num(st, "fcuVol", 2) << "   hdop "
            << num(st, "gnssHdop", 2) << "\n"
            << "  flight     current " << num(st, "currentFlightTime", 0) << "   total "
            << num(st, "totalFlightTime", 0) << "   surplus " << num(st, "surplusFlightTime", 0) << "\n";
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
            out << "    " << str(a, "level") << "  " << str(a, "sourceField") << "  current " << str(a, "currentValue")
                << "  expected " << str(a, "expectedValue") << "  threshold " << str(a, "thresholdValue") << "\n";
        }
    }
    return out.str();
}
