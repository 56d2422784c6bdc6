#include "FleetPublisher.h"

#include "OstMainLoopGate.h"

#include "fleet/FleetReadModel.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "OstMqttClient.h"
#include "OstMqttMessageReceiver.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTranslator>
#include <QUrl>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

using nlohmann::json;

namespace {

constexpr const char* kRoot = "velmora/fleet/";

const char* stateName(OstMqttClient::State s)
{
    switch (s) {
    case OstMqttClient::State::Disconnected: return "disconnected";
    case OstMqttClient::State::Connecting: return "connecting";
    case OstMqttClient::State::Connected: return "connected";
    case OstMqttClient::State::Refused: return "refused";
    }
    return "unknown";
}

}  // namespace

FleetPublisher::FleetPublisher(MultiVehicleManager* vehicles, Options options, QObject* parent)
    : QObject(parent)
    , m_vehicles(vehicles)
    , m_options(std::move(options))
    , m_english(std::make_unique<QTranslator>())
{
    if (!m_english->load(QStringLiteral(":/i18n/VelmoraCore_en.qm")))
        spdlog::warn("<fleet-pub> no English catalogue: texts go in the station's language");
    m_timer.setParent(this);  // names its owner in the main loop's stall log
    m_timer.setInterval(1000 / kRateHz);
    connect(&m_timer, &QTimer::timeout, this, &FleetPublisher::tick);
}

FleetPublisher::~FleetPublisher()
{
    stop();
}

QString FleetPublisher::checkStationId(const QString& id)
{
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$"));
    if (!valid.match(id).hasMatch())
        return QStringLiteral("station id '%1' must be 1-64 letters, digits, '_', '.' or '-'").arg(id.left(80));
    return {};
}

QString FleetPublisher::checkBrokerUri(const QString& uri)
{
    const QUrl url(uri, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != "mqtt" && url.scheme() != "mqtts") || url.host().isEmpty() ||
        !url.path().isEmpty() || !url.userInfo().isEmpty())
        return QStringLiteral("broker '%1' must be mqtt://HOST:PORT or mqtts://HOST:PORT").arg(uri.left(200));
    return {};
}

bool FleetPublisher::start(QString* error)
{
    QString why = checkStationId(m_options.stationId);
    if (why.isEmpty() && (m_options.statusEverySec < 1 || m_options.statusEverySec > 3600))
        why = QStringLiteral("the status interval must be 1-3600 s");
    if (why.isEmpty())
        why = checkBrokerUri(m_options.brokerUri);
    if (why.isEmpty() && !m_vehicles)
        why = QStringLiteral("no fleet to publish");
    if (!why.isEmpty()) {
        spdlog::error("<fleet-pub> not started: {}", why.toStdString());
        if (error)
            *error = why;
        return false;
    }
    m_startedAt = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
    m_client = std::make_unique<OstMqttClient>(m_options.brokerUri.toStdString(),
                                               "velmora-station-" + m_options.stationId.toStdString());
    m_client->setProtocolV5(true);
    m_client->setWill(topic("status"), json({{"online", false}}).dump(), 1, true);
    connect(m_client.get(), &OstMqttClient::stateChanged, this, [this](OstMqttClient::State s) {
        if (s == OstMqttClient::State::Connected)
            onConnected();
    });
    // The echo check (see the header): our own topics, until our status comes back.
    m_ownTopics = std::make_shared<OstMqttMessageReceiver>();
    connect(
        m_ownTopics.get(), &OstMqttMessageReceiver::messageReceived, this,
        [this](const QString& t, const QByteArray& payload) { onOwnMessage(t.toStdString(), payload.toStdString()); });
    m_client->registerMessageReceiver(m_ownTopics);
    m_client->subscribe(topic("status"), 1);
    m_client->subscribe(topic("vehicle/+"), 1);
    if (!m_client->connectToServer(m_options.user.toStdString(), m_options.password.toStdString(), kKeepAliveSec)) {
        if (error)
            *error = QStringLiteral("cannot connect to %1").arg(m_options.brokerUri);
        m_client.reset();
        return false;
    }
    m_timer.start();
    spdlog::info("<fleet-pub> publishing station '{}' to {}", m_options.stationId.toStdString(),
                 m_options.brokerUri.toStdString());
    return true;
}

void FleetPublisher::stop()
{
    m_timer.stop();
    if (!m_client)
        return;
    if (m_client->isConnected() && publish("status", json({{"online", false}}).dump(), true)) {
        // A clean disconnect discards the will: the goodbye must be in the broker's hands first
        // (its acknowledgement, 1 s at most: quitting never waits on a dead broker for long).
        for (int i = 0; i < 100 && m_client->pendingPublishCount() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_client->disconnectFromServer();
    if (m_ownTopics)
        m_client->unregisterMessageReceiver(m_ownTopics);
    m_ownTopics.reset();
    m_client.reset();
    spdlog::info("<fleet-pub> stopped: {} published, {} dropped", m_published, m_dropped);
}

std::string FleetPublisher::topic(const std::string& leaf) const
{
    return kRoot + m_options.stationId.toStdString() + "/" + leaf;
}

bool FleetPublisher::publish(const std::string& leaf, const std::string& payload, bool retain)
{
    if (!m_client->publish(topic(leaf), payload, 1, retain)) {
        ++m_failed;
        return false;
    }
    ++m_published;
    return true;
}

void FleetPublisher::onOwnMessage(const std::string& t, const std::string& payload)
{
    if (!m_ownTopics || m_echoed || payload.empty())
        return;
    const std::string vehiclePrefix = topic("vehicle/");
    if (t.rfind(vehiclePrefix, 0) == 0) {
        // A retained state this run has not published: a vehicle from before a crash, cleared
        // by the next tick unless the station has it again.
        const int id = std::atoi(t.c_str() + vehiclePrefix.size());
        if (id >= 1 && id <= 255 && !m_sent.count(id))
            m_retained.insert(id);
        return;
    }
    const json doc = json::parse(payload, nullptr, false);
    if (t != topic("status") || !doc.is_object() || doc.value("startedAt", std::string()) != m_startedAt)
        return;
    m_echoed = true;
    if (m_notReaching) {
        m_notReaching = false;
        m_lastError.clear();
    }
    spdlog::info("<fleet-pub> the broker has this station's status: publishes arrive");
    // Not from inside the receiver's own signal: it goes away with its registration.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_client || !m_ownTopics)
                return;
            m_client->unregisterMessageReceiver(m_ownTopics);
            m_ownTopics.reset();
            m_client->unsubscribe(topic("status"));
            m_client->unsubscribe(topic("vehicle/+"));
        },
        Qt::QueuedConnection);
}

void FleetPublisher::checkHealth(int64_t now)
{
    const int64_t echoWaitMs = int64_t(kEchoWaitStatuses) * m_options.statusEverySec * 1000;
    if (m_client->isConnected() && !m_echoed && !m_notReaching && m_connectedAtMs &&
        now - m_connectedAtMs > echoWaitMs) {
        m_notReaching = true;
        m_lastError = "publishes are not reaching the broker: its own status never came back (is --fleet-user '" +
                      m_options.user.toStdString() + "' the station id, and may it write velmora/fleet/" +
                      m_options.stationId.toStdString() + "/?)";
        spdlog::error("<fleet-pub> {}", m_lastError);
    }
    // A session lost while the broker stays reachable, again and again: another client logs in
    // with this account (one loss alone may be the network).
    const uint64_t takenOver = m_client->takenOverCount();
    if (takenOver != m_takenOverSeen) {
        m_takenOverSeen = takenOver;
        m_takeoverTimes.push_back(now);
    }
    while (!m_takeoverTimes.empty() && now - m_takeoverTimes.front() > kTakeoverWindowMs)
        m_takeoverTimes.pop_front();
    if (m_takeoverTimes.size() >= kTakeoversReported) {
        m_lastError = "session taken over " + std::to_string(takenOver) +
                      " times: another client logs in to the broker as '" + m_options.user.toStdString() +
                      "' (a second station with this id?)";
        if (now - m_takeoverLoggedMs >= kTakeoverWindowMs) {
            m_takeoverLoggedMs = now;
            spdlog::error("<fleet-pub> {}", m_lastError);
        }
    }
}

std::string FleetPublisher::fitted(json doc)
{
    std::string text = doc.dump();
    if (text.size() <= kMostDocumentBytes)
        return text;
    ++m_trimmed;
    auto& alerts = doc["alerts"];
    // Lowest level first ("Info" < "Warning" < "Critical" as texts go: I < W, C first).
    std::stable_sort(alerts.begin(), alerts.end(), [](const json& a, const json& b) {
        auto rank = [](const json& x) {
            const std::string l = x.value("level", std::string());
            return l == "Critical" ? 0 : l == "Warning" ? 1 : 2;
        };
        return rank(a) < rank(b);
    });
    while (text.size() > kMostDocumentBytes && !alerts.empty()) {
        alerts.erase(alerts.end() - 1);
        text = doc.dump();
    }
    return text;
}

void FleetPublisher::onConnected()
{
    m_fresh = true;
    // Queued: the stateChanged signal may come from the network thread's callback.
    QMetaObject::invokeMethod(this, &FleetPublisher::tick, Qt::QueuedConnection);
}

void FleetPublisher::publishStatus(const QSet<int>& present)
{
    QList<int> ids = present.values();
    std::sort(ids.begin(), ids.end());
    const int64_t now = FleetReadModel::nowMs();
    if (publish("status",
                json({{"online", true},
                      {"version", m_options.version.toStdString()},
                      {"vehicles", ids.size()},
                      {"vehicleIds", std::vector<int>(ids.begin(), ids.end())},
                      {"startedAt", m_startedAt},
                      {"time", now},
                      {"statusEveryS", m_options.statusEverySec}})
                    .dump(),
                true)) {
        m_statusIds = present;
        m_statusSent = true;
        m_statusAtMs = now;
    }
}

QString FleetPublisher::english(const char* context, const QString& text) const
{
    const QString translated = m_english->translate(context, text.toUtf8().constData());
    return translated.isEmpty() ? text : translated;
}

json FleetPublisher::vehicleDocument(const VehicleController& vehicle) const
{
    // From what the page shows, filled in place: this runs for every vehicle at each publish.
    const auto s = FleetReadModel::shown(vehicle, false);
    json alerts = json::array();
    for (const json& a : FleetReadModel::alertRecords(vehicle))
        alerts.push_back({{"id", a["id"]},
                          {"level", a["level"]},
                          {"message", a["message"]},
                          {"sourceField", a["sourceField"]},
                          {"timestampMs", a["timestampMs"]}});
    auto text = [&](const QString& shown, int code) {
        return shown.isEmpty() ? std::to_string(code) : english("MavFlightStatusDataItem", shown).toStdString();
    };
    // The broker keeps ages whole seconds so that a steady link is no change (see the header).
    auto age = [](std::optional<int64_t> ms) { return ms ? json(*ms / 1000 * 1000) : json(nullptr); };
    json doc = json::object();
    auto& o = doc.get_ref<json::object_t&>();
    o.emplace("id", s.vehicleId);
    o.emplace("code", s.vehicleCode.toStdString());
    o.emplace("alive", s.alive);
    FleetReadModel::putPosition(o, s);
    o.emplace("batteryState", s.battery);
    o.emplace("posSatNum", s.sats);
    o.emplace("flightMode", s.mode);
    o.emplace("flightState", s.state);
    o.emplace("batteryStateText", text(MavFlightStatusDataItem::batteryStateText(s.battery), s.battery));
    o.emplace("flightModeText", text(MavFlightStatusDataItem::flightModeText(s.mode), s.mode));
    o.emplace("flightStateText", text(MavFlightStatusDataItem::flightStateText(s.state), s.state));
    o.emplace("lastTelemetryAgeMs", age(vehicle.telemetryAgeMs()));
    o.emplace("lastHeartbeatAgeMs", age(vehicle.heartbeatAgeMs()));
    o.emplace("alerts", std::move(alerts));
    return doc;
}

void FleetPublisher::collectAlerts(const VehicleController& vehicle, const json& alerts)
{
    auto& known = m_activeAlerts[vehicle.vehicleId()];
    std::map<std::string, json> now;
    for (const json& a : alerts)
        now[a["id"].get<std::string>()] = a;
    auto event = [&](const json& a, bool raised) {
        json e = {{"vehicleId", vehicle.vehicleId()},
                  {"vehicleCode", vehicle.vehicleCode().toStdString()},
                  {"raised", raised}};
        e.update(a);
        m_alertQueue.push_back(e.dump());
        if (m_alertQueue.size() > kMostQueuedAlerts) {
            m_alertQueue.pop_front();
            if (++m_dropped == 1)
                spdlog::warn("<fleet-pub> alert queue full ({}), oldest dropped", kMostQueuedAlerts);
        }
    };
    for (const auto& [id, a] : now)
        if (const auto old = known.find(id); old == known.end() || old->second["level"] != a["level"])
            event(a, true);
    for (const auto& [id, a] : known)
        if (!now.count(id))
            event(a, false);
    known = std::move(now);
}

void FleetPublisher::tick()
{
    if (!m_client || !m_vehicles)
        return;
    const bool connected = m_client->isConnected();
    const int64_t now = FleetReadModel::nowMs();
    if (connected && m_fresh) {
        m_fresh = false;
        m_sent.clear();
        m_statusSent = false;
        m_connectedAtMs = now;
    }
    checkHealth(now);
    const int64_t refreshMs = int64_t(m_options.statusEverySec) * 1000;
    QSet<int> present;
    for (const auto& v : m_vehicles->vehicleList()) {
        if (v->vehicleControllerType() == VehicleControllerType::Remote || v->vehicleId() < 1)
            continue;
        OstMainLoopGate::instance().pass();  // 253 documents: a waiting CLI read goes between them
        const int id = v->vehicleId();
        present.insert(id);
        json doc = vehicleDocument(*v);
        collectAlerts(*v, doc["alerts"]);
        const auto sent = m_sent.find(id);
        if (sent != m_sent.end() && sent->second == doc && now - m_sentAtMs[id] < refreshMs)
            continue;
        if (!connected || m_client->pendingPublishCount() > kMostPending) {
            ++m_deferred;
            continue;
        }
        json payload = doc;
        payload["time"] = now;
        if (publish("vehicle/" + std::to_string(id), fitted(std::move(payload)), true)) {
            m_sent[id] = std::move(doc);
            m_sentAtMs[id] = now;
            m_retained.insert(id);
        }
    }
    for (auto it = m_activeAlerts.begin(); it != m_activeAlerts.end();)
        it = present.contains(it->first) ? std::next(it) : m_activeAlerts.erase(it);
    if (!connected)
        return;
    // Vehicles that left: their retained state is cleared, so a viewer forgets them.
    for (const int id : QSet<int>(m_retained)) {
        if (present.contains(id))
            continue;
        if (publish("vehicle/" + std::to_string(id), std::string(), true)) {
            m_retained.remove(id);
            m_sent.erase(id);
            m_sentAtMs.erase(id);
        }
    }
    if (!m_statusSent || m_statusIds != present || now - m_statusAtMs >= refreshMs)
        publishStatus(present);
    while (!m_alertQueue.empty() && m_client->pendingPublishCount() <= kMostPending &&
           publish("alert", m_alertQueue.front(), false))
        m_alertQueue.pop_front();
}

json FleetPublisher::status() const
{
    json s = {{"enabled", true},
              {"stationId", m_options.stationId.toStdString()},
              {"broker", m_options.brokerUri.toStdString()},
              {"user", m_options.user.toStdString()},
              {"state", m_client ? stateName(m_client->state()) : "stopped"},
              {"lastConnackCode", nullptr},
              {"published", m_published},
              {"dropped", m_dropped},
              {"deferred", m_deferred},
              {"failed", m_failed},
              {"queuedAlerts", m_alertQueue.size()},
              {"pending", m_client ? m_client->pendingPublishCount() : 0},
              {"vehicles", m_sent.size()},
              {"startedAt", m_startedAt},
              {"statusEveryS", m_options.statusEverySec},
              {"trimmed", m_trimmed},
              {"takenOver", m_client ? m_client->takenOverCount() : 0},
              {"check", !m_client       ? "stopped"
                        : m_echoed      ? "publishes reach the broker"
                        : m_notReaching ? "publishes are not reaching the broker"
                                        : "waiting for the broker to echo the status"},
              {"lastError", m_lastError.empty() ? json(nullptr) : json(m_lastError)}};
    if (m_client && m_client->lastConnackCode())
        s["lastConnackCode"] = *m_client->lastConnackCode();
    return s;
}
