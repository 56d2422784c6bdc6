#include "FlightLogSummary.h"

#include "FlightLogColumns.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace flightlog {

namespace {

bool airborne(double flightState)
{
    const int s = int(flightState);
    return !std::isnan(flightState) && s >= 1 && s <= 6 && s != 5;
}

std::string isoTime(const FlightLog& log, size_t row)
{
    const auto t = QDateTime::fromMSecsSinceEpoch(log.timeMs(row), Qt::OffsetFromUTC, log.utcOffsetS(row));
    return t.toString(Qt::ISODateWithMs).toStdString();
}

double haversineM(double lat1, double lon1, double lat2, double lon2)
{
    constexpr double kEarthRadiusM = 6371008.8;
    const double rad = M_PI / 180.0;
    const double dLat = (lat2 - lat1) * rad;
    const double dLon = (lon2 - lon1) * rad;
    const double a =
        std::pow(std::sin(dLat / 2), 2) + std::cos(lat1 * rad) * std::cos(lat2 * rad) * std::pow(std::sin(dLon / 2), 2);
    return 2 * kEarthRadiusM * std::asin(std::min(1.0, std::sqrt(a)));
}

nlohmann::json rounded(double v, int decimals)
{
    if (std::isnan(v) || std::isinf(v))
        return nullptr;
    const double f = std::pow(10.0, decimals);
    return std::round(v * f) / f;
}

struct AlertRule {
    const char* key;
    const char* name;
    bool (*bad)(int code);
};

const AlertRule kAlertRules[] = {
    {"battery_state", "battery low", [](int c) { return c == 1; }},
    {"battery_state", "battery critical", [](int c) { return c == 2; }},
    {"rc_state", "RC lost", [](int c) { return c == 0; }},
    {"link_state", "link lost", [](int c) { return c == 0; }},
    {"position_state", "position fix lost", [](int c) { return c == 0; }},
    {"emergency_protect", "emergency protection", [](int c) { return c != 0; }},
};

}  // namespace

nlohmann::json summarize(const FlightLog& log)
{
    const size_t n = log.rowCount();
    const int cState = columnByKey("flight_state"), cAlt = columnByKey("alt"), cN = columnByKey("north_spd"),
              cE = columnByKey("east_spd"), cUp = columnByKey("up_spd"), cLat = columnByKey("lat"),
              cLon = columnByKey("lon"), cVol = columnByKey("fcu_vol"), cSat = columnByKey("sat_num");
    nlohmann::json s;
    s["vehicle"] = log.vehicleTag().toStdString();
    s["rows"] = n;
    if (n == 0)
        return s;
    s["start"] = isoTime(log, 0);
    s["end"] = isoTime(log, n - 1);
    s["duration_s"] = rounded(double(log.timeMs(n - 1) - log.timeMs(0)) / 1000.0, 3);

    std::optional<size_t> takeoff, landing;
    double maxAlt = NAN, maxH = NAN, maxV = NAN, minVol = NAN, distance = 0.0;
    double lastLat = NAN, lastLon = NAN;
    std::vector<double> sats;
    sats.reserve(n);
    auto keepMax = [](double& m, double v) {
        if (!std::isnan(v) && (std::isnan(m) || v > m))
            m = v;
    };
    for (size_t r = 0; r < n; ++r) {
        const bool up = airborne(log.value(r, cState));
        if (up && !takeoff)
            takeoff = r;
        if (!up && takeoff && !landing)
            landing = r;
        keepMax(maxAlt, log.value(r, cAlt));
        keepMax(maxH, std::hypot(log.value(r, cN), log.value(r, cE)));
        keepMax(maxV, std::abs(log.value(r, cUp)));
        const double vol = log.value(r, cVol);
        if (vol > 0 && (std::isnan(minVol) || vol < minVol))
            minVol = vol;
        const double sat = log.value(r, cSat);
        if (!std::isnan(sat))
            sats.push_back(sat);
        // 0,0 is the value of a vehicle without a fix, not a place it flew to.
        const double lat = log.value(r, cLat), lon = log.value(r, cLon);
        if (std::isnan(lat) || std::isnan(lon) || (lat == 0 && lon == 0))
            continue;
        if (!std::isnan(lastLat))
            distance += haversineM(lastLat, lastLon, lat, lon);
        lastLat = lat;
        lastLon = lon;
    }
    s["takeoff"] = takeoff ? nlohmann::json(isoTime(log, *takeoff)) : nlohmann::json(nullptr);
    s["landing"] = landing ? nlohmann::json(isoTime(log, *landing)) : nlohmann::json(nullptr);
    s["max_alt_m"] = rounded(maxAlt, 2);
    s["max_horizontal_speed_mps"] = rounded(maxH, 2);
    s["max_vertical_speed_mps"] = rounded(maxV, 2);
    s["distance_m"] = rounded(distance, 1);
    s["min_battery_v"] = rounded(minVol, 2);
    if (sats.empty()) {
        s["satellites_min"] = nullptr;
        s["satellites_median"] = nullptr;
    } else {
        std::sort(sats.begin(), sats.end());
        s["satellites_min"] = int(sats.front());
        const size_t m = sats.size() / 2;
        const double median = sats.size() % 2 ? sats[m] : (sats[m - 1] + sats[m]) / 2;
        s["satellites_median"] = median == std::floor(median) ? nlohmann::json(int(median)) : nlohmann::json(median);
    }

    nlohmann::json alerts = nlohmann::json::array();
    for (const auto& rule : kAlertRules) {
        const int c = columnByKey(rule.key);
        bool wasBad = false, seenGood = false;
        for (size_t r = 0; r < n; ++r) {
            const double v = log.value(r, c);
            if (std::isnan(v))
                continue;
            const bool bad = rule.bad(int(v));
            // A lost fix or link counts only after there was one: a vehicle starts without both.
            const bool needsGood = rule.bad(0);
            if (bad && !wasBad && (seenGood || !needsGood))
                alerts.push_back({{"time", isoTime(log, r)}, {"alert", rule.name}, {"column", rule.key}});
            seenGood = seenGood || !bad;
            wasBad = bad;
        }
    }
    std::stable_sort(alerts.begin(), alerts.end(), [](const auto& a, const auto& b) {
        return a["time"].template get<std::string>() < b["time"].template get<std::string>();
    });
    s["alerts"] = alerts;
    return s;
}

std::string summaryText(const nlohmann::json& s)
{
    const std::pair<const char*, const char*> rows[] = {
        {"vehicle", "vehicle"},
        {"rows", "rows"},
        {"start", "start"},
        {"end", "end"},
        {"duration_s", "duration (s)"},
        {"takeoff", "take-off"},
        {"landing", "landing"},
        {"max_alt_m", "max altitude (m)"},
        {"max_horizontal_speed_mps", "max horizontal speed (m/s)"},
        {"max_vertical_speed_mps", "max vertical speed (m/s)"},
        {"distance_m", "distance flown (m)"},
        {"min_battery_v", "min battery voltage (V)"},
        {"satellites_min", "satellites min"},
        {"satellites_median", "satellites median"},
    };
    size_t width = 0;
    for (const auto& [key, label] : rows)
        width = std::max(width, std::string(label).size());
    std::ostringstream out;
    for (const auto& [key, label] : rows) {
        if (!s.contains(key))
            continue;
        const auto& v = s[key];
        out << std::left << std::setw(int(width) + 2) << label
            << (v.is_null()     ? std::string("-")
                : v.is_string() ? v.get<std::string>()
                                : v.dump())
            << '\n';
    }
    const auto alerts = s.value("alerts", nlohmann::json::array());
    out << std::left << std::setw(int(width) + 2) << "alerts" << alerts.size() << '\n';
    for (const auto& a : alerts)
        out << "  " << a["time"].get<std::string>() << "  " << a["alert"].get<std::string>() << '\n';
    return out.str();
}

}  // namespace flightlog
