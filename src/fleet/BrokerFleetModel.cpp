#include "BrokerFleetModel.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <unordered_map>

using nlohmann::json;

namespace {

enum class Kind { Number, Int, Text, Flag, Age, Latitude, Longitude, Alerts, Ids, Interval };

struct Field {
    const char* name;
    Kind kind;
};

// What a vehicle message may carry; anything else is an unknown field.
const Field kVehicleFields[] = {
    {"id", Kind::Int},
    {"code", Kind::Text},
    {"alive", Kind::Flag},
    {"lat", Kind::Latitude},
    {"lon", Kind::Longitude},
    {"alt", Kind::Number},
    {"heading", Kind::Number},
    {"northSpd", Kind::Number},
    {"eastSpd", Kind::Number},
    {"upSpd", Kind::Number},
    {"groundSpeed", Kind::Number},
    {"fcuVol", Kind::Number},
    {"batteryState", Kind::Int},
    {"batteryStateText", Kind::Text},
    {"posSatNum", Kind::Int},
    {"flightMode", Kind::Int},
    {"flightModeText", Kind::Text},
    {"flightState", Kind::Int},
    {"flightStateText", Kind::Text},
    {"lastTelemetryAgeMs", Kind::Age},
    {"lastHeartbeatAgeMs", Kind::Age},
    {"alerts", Kind::Alerts},
    {"time", Kind::Int},
};
const Field kAlertFields[] = {{"id", Kind::Text},
                              {"level", Kind::Text},
                              {"message", Kind::Text},
                              {"sourceField", Kind::Text},
                              {"timestampMs", Kind::Int}};
const Field kAlertEventFields[] = {{"vehicleId", Kind::Int},    {"vehicleCode", Kind::Text}, {"raised", Kind::Flag},
                                   {"id", Kind::Text},          {"level", Kind::Text},       {"message", Kind::Text},
                                   {"sourceField", Kind::Text}, {"timestampMs", Kind::Int}};
const Field kStatusFields[] = {{"online", Kind::Flag},          {"version", Kind::Text},   {"vehicles", Kind::Int},
                               {"vehicleIds", Kind::Ids},       {"startedAt", Kind::Text}, {"time", Kind::Int},
                               {"statusEveryS", Kind::Interval}};
constexpr size_t kMostTextBytes = 256;
constexpr size_t kMostAlertsPerVehicle = 64;
const char* const kLevels[] = {"Info", "Warning", "Critical"};

bool validStationId(std::string_view id)
{
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
}

int vehicleId(std::string_view text)
{
    int id = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    const bool whole = ec == std::errc() && end == text.data() + text.size() && text.size() <= 3 && text[0] != '0';
    return whole && id >= 1 && id <= 255 ? id : 0;
}

// A table's fields by name: every key of every message is looked up.
class FieldIndex {
public:
    template <size_t N>
    explicit FieldIndex(const Field (&fields)[N])
    {
        for (const Field& f : fields)
            m_byName.emplace(f.name, &f);
    }
    const Field* find(const std::string& name) const
    {
        const auto it = m_byName.find(name);
        return it == m_byName.end() ? nullptr : it->second;
    }

private:
    std::unordered_map<std::string_view, const Field*> m_byName;
};
const FieldIndex kVehicleIndex(kVehicleFields);
const FieldIndex kAlertIndex(kAlertFields);
const FieldIndex kAlertEventIndex(kAlertEventFields);
const FieldIndex kStatusIndex(kStatusFields);

// Checks one field's value; an empty text when it fits its kind, else why not.
std::string check(const Field& f, const json& value)
{
    switch (f.kind) {
    case Kind::Number: return value.is_number() ? "" : "is not a number";
    case Kind::Int: return value.is_number_integer() ? "" : "is not an integer";
    case Kind::Text:
        return !value.is_string()                                            ? "is not a text"
               : value.get_ref<const std::string&>().size() > kMostTextBytes ? "is too long"
                                                                             : "";
    case Kind::Flag: return value.is_boolean() ? "" : "is not true or false";
    case Kind::Age: return value.is_null() || (value.is_number_integer() && value >= 0) ? "" : "is not an age";
    // null: no fix, no position.
    case Kind::Latitude:
        return value.is_null() || (value.is_number() && std::abs(value.get<double>()) <= 90.0) ? ""
                                                                                               : "is not a latitude";
    case Kind::Longitude:
        return value.is_null() || (value.is_number() && std::abs(value.get<double>()) <= 180.0) ? ""
                                                                                                : "is not a longitude";
    case Kind::Alerts: return value.is_array() && value.size() <= kMostAlertsPerVehicle ? "" : "is not an alert list";
    case Kind::Ids:
        return value.is_array() && value.size() <= 255 &&
                       std::all_of(value.begin(), value.end(),
                                   [](const json& id) { return id.is_number_integer() && id >= 1 && id <= 255; })
                   ? ""
                   : "is not a list of vehicle ids";
    case Kind::Interval: return value.is_number_integer() && value >= 1 && value <= 3600 ? "" : "is not 1-3600 s";
    }
    return "is unknown";
}

// Keeps the known fields of a checked object; counts the unknown ones. An empty text when
// every known field fits, else which one does not.
std::string checkObject(const FieldIndex& fields, json& object, uint64_t& unknown)
{
    for (auto it = object.begin(); it != object.end();) {
        const Field* f = fields.find(it.key());
        if (!f) {
            ++unknown;
            it = object.erase(it);
            continue;
        }
        if (std::string why = check(*f, *it); !why.empty())
            return "field \"" + it.key() + "\" " + why;
        ++it;
    }
    return {};
}

int levelOf(const json& alert)
{
    const std::string level = alert.value("level", std::string());
    for (int i = 0; i < 3; ++i)
        if (level == kLevels[i])
            return i + 1;
    return 1;
}

}  // namespace

BrokerFleetModel::BrokerFleetModel(std::function<json()> linkState, std::function<int64_t()> clockMs)
    : m_linkState(std::move(linkState))
    , m_clockMs(clockMs ? std::move(clockMs) : [] { return QDateTime::currentMSecsSinceEpoch(); })
    , m_connectedAtMs(m_clockMs())
{
}

bool BrokerFleetModel::drop(uint64_t Counters::*counter, const char* reason, std::string_view topic, std::string* error,
                            const std::string& detail)
{
    ++(m_counters.*counter);
    const std::string why = std::string(reason) + (detail.empty() ? "" : ": " + detail);
    if (error)
        *error = why;
    // One line a second per reason: a flood of bad messages must not flood the log.
    const int64_t now = m_clockMs();
    int64_t& last = m_lastLogMs[reason];
    uint64_t& quiet = m_quietDrops[reason];
    if (now - last >= 1000) {
        spdlog::warn("<fleet-view> dropped a message on '{}': {}{}", std::string(topic.substr(0, 200)), why,
                     quiet ? fmt::format(" ({} more of this kind since the last line)", quiet) : "");
        last = now;
        quiet = 0;
    } else {
        ++quiet;
    }
    return false;
}

bool BrokerFleetModel::handleMessage(std::string_view topic, std::string_view payload, std::string* error)
{
    ++m_counters.received;
    if (payload.size() > kMostPayloadBytes)
        return drop(&Counters::oversized, "payload too large", topic, error, std::to_string(payload.size()) + " bytes");
    const std::string_view root(kTopicRoot);
    if (topic.substr(0, root.size()) != root)
        return drop(&Counters::outsideLayout, "topic outside velmora/fleet/", topic, error);
    std::vector<std::string_view> parts;
    for (std::string_view rest = topic.substr(root.size());;) {
        const size_t slash = rest.find('/');
        parts.push_back(rest.substr(0, slash));
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    if (parts.empty() || !validStationId(parts[0]))
        return drop(&Counters::outsideLayout, "not a station id", topic, error);
    const std::string stationId(parts[0]);
    bool ok = false;
    if (parts.size() == 2 && parts[1] == "status")
        ok = applyStatus(stationId, topic, payload, error);
    else if (parts.size() == 2 && parts[1] == "alert")
        ok = applyAlert(stationId, topic, payload, error);
    else if (parts.size() == 3 && parts[1] == "vehicle" && vehicleId(parts[2]))
        ok = applyVehicle(stationId, vehicleId(parts[2]), topic, payload, error);
    else
        return drop(&Counters::outsideLayout, "topic outside the fleet layout", topic, error);
    if (ok)
        ++m_counters.accepted;
    return ok;
}

BrokerFleetModel::Station* BrokerFleetModel::station(const std::string& id, std::string_view topic, std::string* error)
{
    const int64_t now = m_clockMs();
    if (const auto it = m_stations.find(id); it != m_stations.end()) {
        it->second.heardAtMs = now;
        return &it->second;
    }
    forgetSilentStations(now);
    if (m_stations.size() >= kMostStations) {
        drop(&Counters::overLimit, "too many stations", topic, error, std::to_string(kMostStations) + " known");
        return nullptr;
    }
    Station& s = m_stations[id];
    s.heardAtMs = now;
    return &s;
}

bool BrokerFleetModel::applyStatus(const std::string& id, std::string_view topic, std::string_view payload,
                                   std::string* error)
{
    const int64_t now = m_clockMs();
    if (payload.empty()) {
        // The retained status was cleared: the station is gone, or not yet back.
        if (const auto it = m_stations.find(id); it != m_stations.end() && it->second.online) {
            it->second.online = false;
            it->second.saidOfflineAtMs = now;
        }
        return true;
    }
    json doc = json::parse(payload, nullptr, false);
    if (!doc.is_object())
        return drop(&Counters::malformed, "status is not a JSON object", topic, error);
    if (std::string why = checkObject(kStatusIndex, doc, m_counters.unknownFields); !why.empty())
        return drop(&Counters::malformed, "bad status", topic, error, why);
    if (!doc.contains("online"))
        return drop(&Counters::malformed, "bad status", topic, error, "no \"online\"");
    Station* s = station(id, topic, error);
    if (!s)
        return false;
    const bool online = doc["online"].get<bool>();
    if (s->online && !online)
        s->saidOfflineAtMs = now;
    s->online = online;
    if (doc.contains("statusEveryS"))
        s->statusEveryMs = doc["statusEveryS"].get<int64_t>() * 1000;
    if (online && doc.contains("time")) {
        const int64_t time = doc["time"].get<int64_t>();
        if (!s->baselineSeen) {
            // Maybe the broker's retained copy: it proves nothing about now.
            s->baselineSeen = true;
            s->baselineTimeMs = time;
        } else if (time != s->baselineTimeMs && (!s->confirmed || time > s->liveTimeMs)) {
            s->confirmed = true;
            s->liveAtMs = now;
            s->liveTimeMs = time;
        }
    }
    if (doc.contains("vehicleIds")) {
        std::vector<int> listed = doc["vehicleIds"].get<std::vector<int>>();
        std::sort(listed.begin(), listed.end());
        for (auto it = s->vehicles.begin(); it != s->vehicles.end();)
            it = std::binary_search(listed.begin(), listed.end(), it->first) ? std::next(it) : s->vehicles.erase(it);
    }
    s->version = doc.value("version", s->version);
    s->startedAt = doc.value("startedAt", s->startedAt);
    const QDateTime started = QDateTime::fromString(QString::fromStdString(s->startedAt), Qt::ISODateWithMs);
    s->startedAtMs = started.isValid() ? started.toMSecsSinceEpoch() : 0;
    s->announcedVehicles = doc.value("vehicles", s->online ? s->announcedVehicles : 0);
    return true;
}

bool BrokerFleetModel::applyVehicle(const std::string& id, int vehicle, std::string_view topic,
                                    std::string_view payload, std::string* error)
{
    if (payload.empty()) {
        if (const auto it = m_stations.find(id); it != m_stations.end())
            it->second.vehicles.erase(vehicle);
        return true;
    }
    json doc = json::parse(payload, nullptr, false);
    if (!doc.is_object())
        return drop(&Counters::malformed, "vehicle is not a JSON object", topic, error);
    if (std::string why = checkObject(kVehicleIndex, doc, m_counters.unknownFields); !why.empty())
        return drop(&Counters::malformed, "bad vehicle", topic, error, why);
    if (doc.contains("id") && doc["id"] != vehicle)
        return drop(&Counters::malformed, "bad vehicle", topic, error, "its id is not the topic's");
    json alerts = json::array();
    for (json& a : doc.contains("alerts") ? doc["alerts"] : alerts) {
        if (!a.is_object())
            return drop(&Counters::malformed, "bad vehicle", topic, error, "an alert is not an object");
        if (std::string why = checkObject(kAlertIndex, a, m_counters.unknownFields); !why.empty())
            return drop(&Counters::malformed, "bad vehicle", topic, error, "alert " + why);
    }
    Station* s = station(id, topic, error);
    if (!s)
        return false;
    VehicleState& state = s->vehicles[vehicle];
    const std::string key = id + "/" + std::to_string(vehicle);
    if (doc.contains("alerts"))
        alerts = std::move(doc["alerts"]);
    int worst = 0;
    for (json& a : alerts) {
        worst = std::max(worst, levelOf(a));
        a["key"] = key;
        a["station"] = id;
        a["vehicleId"] = vehicle;
        a["vehicleCode"] = doc.value("code", std::string());
    }
    state.alerts = std::move(alerts);
    state.key = key;
    state.version = ++m_counter;
    state.alive = doc.value("alive", false);
    state.timeMs = doc.value("time", int64_t(0));
    // The message becomes the page's V in place: ten thousand vehicles send ten thousand a second.
    json code = doc.contains("code") ? std::move(doc["code"]) : json("");
    for (const char* gone : {"alerts", "alive", "id", "code"})
        doc.erase(gone);
    for (const Field& f : kVehicleFields) {
        if (f.kind == Kind::Alerts || f.kind == Kind::Flag || std::string_view(f.name) == "id" ||
            std::string_view(f.name) == "code" || doc.contains(f.name))
            continue;
        doc[f.name] = f.kind == Kind::Text                                                           ? json("")
                      : f.kind == Kind::Age || f.kind == Kind::Latitude || f.kind == Kind::Longitude ? json(nullptr)
                                                                                                     : json(0);
    }
    doc["key"] = key;
    doc["station"] = id;
    doc["vehicleId"] = vehicle;
    doc["vehicleCode"] = std::move(code);
    doc["controllerType"] = "Local";
    doc["active"] = false;
    doc["worstAlertLevel"] = worst;
    state.v = std::move(doc);
    return true;
}

bool BrokerFleetModel::applyAlert(const std::string& id, std::string_view topic, std::string_view payload,
                                  std::string* error)
{
    json doc = json::parse(payload, nullptr, false);
    if (!doc.is_object())
        return drop(&Counters::malformed, "alert is not a JSON object", topic, error);
    if (std::string why = checkObject(kAlertEventIndex, doc, m_counters.unknownFields); !why.empty())
        return drop(&Counters::malformed, "bad alert", topic, error, why);
    Station* s = station(id, topic, error);
    if (!s)
        return false;
    ++s->alertEvents;
    ++m_counters.alertEvents;
    return true;
}

void BrokerFleetModel::setBrokerConnected(bool connected)
{
    m_brokerConnected = connected;
    m_connectedAtMs = m_clockMs();
    // Whatever arrives first after a connect may be the broker's retained copy.
    for (auto& [id, s] : m_stations) {
        s.confirmed = false;
        s.baselineSeen = false;
    }
}

void BrokerFleetModel::forgetSilentStations(int64_t now)
{
    for (auto it = m_stations.begin(); it != m_stations.end();) {
        if (now - it->second.heardAtMs > m_forgetAfterMs && !live(it->second, now)) {
            spdlog::info("<fleet-view> forgot station '{}': not heard from for {} s", it->first,
                         (now - it->second.heardAtMs) / 1000);
            it = m_stations.erase(it);
        } else {
            ++it;
        }
    }
}

json BrokerFleetModel::countersJson() const
{
    return {{"received", m_counters.received},           {"accepted", m_counters.accepted},
            {"malformed", m_counters.malformed},         {"oversized", m_counters.oversized},
            {"outsideLayout", m_counters.outsideLayout}, {"unknownFields", m_counters.unknownFields},
            {"overLimit", m_counters.overLimit},         {"alertEvents", m_counters.alertEvents}};
}

size_t BrokerFleetModel::vehicleCount() const
{
    size_t n = 0;
    for (const auto& [id, s] : m_stations)
        n += s.vehicles.size();
    return n;
}

bool BrokerFleetModel::live(const Station& s, int64_t now) const
{
    return s.online && s.confirmed && m_brokerConnected && now - s.liveAtMs <= kMissedStatuses * s.statusEveryMs;
}

bool BrokerFleetModel::current(const Station& s, const VehicleState& vehicle, int64_t now) const
{
    const int64_t stationNow = s.liveTimeMs + (now - s.liveAtMs);
    return vehicle.alive && live(s, now) && vehicle.timeMs >= s.startedAtMs &&
           stationNow - vehicle.timeMs <= kMissedStatuses * s.statusEveryMs;
}

// "state", "offlineSince" and "lastStatusMs" of a station, on the viewer's clock.
json BrokerFleetModel::stationTimes(const Station& s, int64_t now) const
{
    const bool isLive = live(s, now);
    json since = nullptr;
    if (!isLive && s.liveAtMs) {
        const int64_t stale = s.liveAtMs + kMissedStatuses * s.statusEveryMs;
        since = !s.online && s.saidOfflineAtMs >= s.liveAtMs ? s.saidOfflineAtMs : std::min(stale, now);
    }
    // Unconfirmed for as long as a live station takes to be heard; then it is not there.
    const bool waiting =
        s.online && m_brokerConnected && !s.confirmed && now - m_connectedAtMs <= kMissedStatuses * s.statusEveryMs;
    const char* state = isLive ? "online" : waiting ? "unconfirmed" : "offline";
    return {{"state", state}, {"offlineSince", since}, {"lastStatusMs", s.liveAtMs ? json(s.liveAtMs) : json(nullptr)}};
}

json BrokerFleetModel::lastSeen(const Station& s, const VehicleState& vehicle)
{
    if (!s.liveAtMs || !vehicle.timeMs)
        return nullptr;
    const int64_t ms = vehicle.timeMs - (s.liveTimeMs - s.liveAtMs);
    return ms - ((ms % 1000) + 1000) % 1000;
}

json BrokerFleetModel::shown(const Station& s, const VehicleState& vehicle, int64_t now) const
{
    json v = vehicle.v;
    v["alive"] = current(s, vehicle, now);
    v["stationOnline"] = live(s, now);
    v["lastSeenMs"] = lastSeen(s, vehicle);
    return v;
}

std::vector<FleetPageSource::Vehicle> BrokerFleetModel::vehicles()
{
    return vehiclesSince({});
}

std::vector<FleetPageSource::Vehicle>
BrokerFleetModel::vehiclesSince(const std::function<uint64_t(const std::string& key)>& held)
{
    const int64_t now = m_clockMs();
    forgetSilentStations(now);
    std::vector<Vehicle> list;
    list.reserve(vehicleCount());
    for (auto& [id, s] : m_stations) {
        const bool online = live(s, now);
        for (auto& [vehicle, state] : s.vehicles) {
            const bool alive = current(s, state, now);
            const json seen = lastSeen(s, state);
            const int64_t seenMs = seen.is_null() ? -1 : seen.get<int64_t>();
            if (!state.stamp || state.stampedVersion != state.version || state.stampedAlive != alive ||
                state.stampedOnline != online || state.stampedSeen != seenMs) {
                state.stamp = ++m_counter;
                state.stampedVersion = state.version;
                state.stampedAlive = alive;
                state.stampedOnline = online;
                state.stampedSeen = seenMs;
            }
            if (held && held(state.key) == state.stamp)
                list.push_back({state.key, nullptr, nullptr, state.stamp});
            else
                list.push_back({state.key, shown(s, state, now), json::object(), state.stamp});
        }
    }
    return list;
}

json BrokerFleetModel::fleet()
{
    json list = json::array();
    for (auto& [key, v, linkStats, stamp] : vehicles()) {
        v["linkStats"] = std::move(linkStats);
        list.push_back(std::move(v));
    }
    const auto count = list.size();
    return {{"vehicles", std::move(list)}, {"count", count}, {"activeVehicleId", nullptr}, {"time", m_clockMs()}};
}

json BrokerFleetModel::alerts()
{
    const int64_t now = m_clockMs();
    // Also when nothing arrived: a station's liveness changes with time alone.
    if (m_alertsDoc.is_null() || now - m_alertsBuiltMs >= kAlertsEveryMs) {
        // By station, then vehicle: the page lists them in this order within each level. Each
        // vehicle and each station has a bounded share, the most severe first.
        auto bySeverity = [](const json& a, const json& b) { return levelOf(a) > levelOf(b); };
        json list = json::array();
        size_t omitted = 0;
        for (const auto& [id, s] : m_stations) {
            std::vector<json> station;
            for (const auto& [vehicle, state] : s.vehicles) {
                std::vector<json> mine(state.alerts.begin(), state.alerts.end());
                std::stable_sort(mine.begin(), mine.end(), bySeverity);
                omitted += mine.size() > kMostShownAlertsPerVehicle ? mine.size() - kMostShownAlertsPerVehicle : 0;
                mine.resize(std::min(mine.size(), kMostShownAlertsPerVehicle));
                station.insert(station.end(), mine.begin(), mine.end());
            }
            if (station.size() > kMostShownAlertsPerStation) {
                std::stable_sort(station.begin(), station.end(), bySeverity);
                omitted += station.size() - kMostShownAlertsPerStation;
                station.resize(kMostShownAlertsPerStation);
            }
            const bool online = live(s, now);
            for (json& a : station) {
                a["stationOnline"] = online;
                list.push_back(std::move(a));
            }
        }
        const auto count = list.size();
        m_alertsDoc = {{"alerts", std::move(list)}, {"count", count}, {"omitted", omitted}};
        m_alertsBuiltMs = now;
    }
    return m_alertsDoc;
}

json BrokerFleetModel::activeRoute()
{
    return {{"route", nullptr}};
}

json BrokerFleetModel::zones()
{
    return {{"zones", json::array()}, {"count", 0}};
}

json BrokerFleetModel::link()
{
    json doc = m_linkState ? m_linkState() : json::object();
    doc["messages"] = countersJson();
    return doc;
}

json BrokerFleetModel::stations()
{
    const int64_t now = m_clockMs();
    forgetSilentStations(now);
    json list = json::array();
    for (const auto& [id, s] : m_stations) {
        size_t alive = 0;
        for (const auto& [vehicle, state] : s.vehicles)
            alive += current(s, state, now);
        json entry = {{"id", id},
                      {"online", live(s, now)},
                      {"version", s.version},
                      {"startedAt", s.startedAt},
                      {"vehicles", s.vehicles.size()},
                      {"aliveVehicles", alive},
                      {"alertEvents", s.alertEvents}};
        entry.update(stationTimes(s, now));
        list.push_back(std::move(entry));
    }
    const auto count = list.size();
    return {{"stations", std::move(list)}, {"count", count}};
}
