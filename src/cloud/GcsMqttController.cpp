#include "GcsMqttController.h"

#include "GcsMqttReceiver.h"

#include <QDateTime>

#include <spdlog/spdlog.h>

#include <atomic>

namespace {

constexpr char kTag[] = "<mqttCtrler> <mqtt>";
constexpr qint64 kPublishLogEveryMs = 30000;
// Only throttles a debug line, so a race between threads costs at most one extra line.
std::atomic<qint64> g_lastPublishLogMs{0};

}  // namespace

QString GcsMqttController::positionTopic(const QString& vehicleCode)
{
    return QStringLiteral("gcs/notify/vehicle/") + vehicleCode + QStringLiteral("/position");
}

QString GcsMqttController::statusTopic(const QString& vehicleCode)
{
    return QStringLiteral("gcs/notify/vehicle/") + vehicleCode + QStringLiteral("/status");
}

QString GcsMqttController::vehicleCodeFault(const QString& vehicleCode)
{
    if (vehicleCode.isEmpty())
        return QStringLiteral("vehicleCode must not be empty");
    for (const QChar c : vehicleCode) {
        if (c == '+' || c == '#')
            return QStringLiteral("vehicleCode must not contain the MQTT wildcard '%1'").arg(c);
        if (c == '/')
            return QStringLiteral("vehicleCode must not contain '/'");
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return QStringLiteral("vehicleCode must not contain control characters");
    }
    return {};
}

GcsMqttController::GcsMqttController(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<RemoteVehicleBaseMessagePtr>("RemoteVehicleBaseMessagePtr");
}

GcsMqttController::~GcsMqttController()
{
    std::lock_guard lock(m_mutex);
    if (m_client)
        m_client->disconnectFromServer();
}

void GcsMqttController::connectToServer(const QString& serverUri, const QString& clientId, const QString& userName,
                                        const QString& password)
{
    if (serverUri.isEmpty()) {
        spdlog::error("{} connectToServer failed, serverUri is empty", kTag);
        return;
    }
    spdlog::info("{} connectToServer, serverUri: {}, clientId: {}, username: {}", kTag, serverUri.toStdString(),
                 clientId.toStdString(), userName.toStdString());
    std::lock_guard lock(m_mutex);
    if (serverUri != m_serverUri || clientId != m_clientId) {
        m_serverUri = serverUri;
        m_clientId = clientId;
        m_userName = userName;
        m_password = password;
        if (m_client && m_client->state() != OstMqttClient::State::Disconnected)
            m_client->disconnectFromServer();
        createClient();
        connectClient();
    } else if (userName != m_userName || password != m_password) {
        m_userName = userName;
        m_password = password;
        if (m_client && m_client->state() != OstMqttClient::State::Disconnected)
            m_client->disconnectFromServer();
        if (!m_client)
            createClient();
        connectClient();
    } else {
        if (!m_client)
            createClient();
        if (!m_client->isConnected())
            connectClient();
    }
}

void GcsMqttController::createClient()
{
    if (m_client && m_receiver)
        m_client->unregisterMessageReceiver(m_receiver);
    m_client = std::make_shared<OstMqttClient>(m_serverUri.toStdString(), m_clientId.toStdString());
    m_receiver = std::make_shared<GcsMqttReceiver>();
    m_client->registerMessageReceiver(m_receiver);
    connect(m_receiver.get(), &GcsMqttReceiver::remoteVehicleMessageReceived, this,
            &GcsMqttController::remoteVehicleMessageReceived, Qt::QueuedConnection);
}

void GcsMqttController::connectClient()
{
    m_client->connectToServer(m_userName.toStdString(), m_password.toStdString(), kKeepAliveSec);
}

void GcsMqttController::disconnectFromServer()
{
    std::lock_guard lock(m_mutex);
    if (m_client)
        m_client->disconnectFromServer();
}

void GcsMqttController::subscribeTopic(const QString& topic, const QString& vehicleCode, const char* what)
{
    if (const QString fault = vehicleCodeFault(vehicleCode); !fault.isEmpty()) {
        std::string shown;
        for (const QChar c : vehicleCode.left(64))
            shown.push_back(c.unicode() >= 0x20 && c.unicode() < 0x7F ? char(c.unicode()) : '?');
        spdlog::warn("{} subscribeVehicle{} refused, {}, vehicleCode: {}", kTag, what, fault.toStdString(), shown);
        return;
    }
    const auto client = this->client();
    if (!client) {
        spdlog::warn("{} subscribeVehicle{} failed, client is null, vehicleCode: {}", kTag, what,
                     vehicleCode.toStdString());
        return;
    }
    client->subscribe(topic.toStdString(), 1);
    spdlog::info("{} subscribed vehicle {}, topic: {}", kTag, QString(what).toLower().toStdString(),
                 topic.toStdString());
}

void GcsMqttController::unsubscribeTopic(const QString& topic, const QString& vehicleCode, const char* what)
{
    const auto client = this->client();
    if (!client) {
        spdlog::warn("{} unsubscribeVehicle{} failed, client is null, vehicleCode: {}", kTag, what,
                     vehicleCode.toStdString());
        return;
    }
    client->unsubscribe(topic.toStdString());
    spdlog::info("{} unsubscribed vehicle {}, topic: {}", kTag, QString(what).toLower().toStdString(),
                 topic.toStdString());
}

void GcsMqttController::subscribeVehiclePosition(const QString& vehicleCode)
{
    subscribeTopic(positionTopic(vehicleCode), vehicleCode, "Position");
}

void GcsMqttController::subscribeVehicleStatus(const QString& vehicleCode)
{
    subscribeTopic(statusTopic(vehicleCode), vehicleCode, "Status");
}

void GcsMqttController::unsubscribeVehiclePosition(const QString& vehicleCode)
{
    unsubscribeTopic(positionTopic(vehicleCode), vehicleCode, "Position");
}

void GcsMqttController::unsubscribeVehicleStatus(const QString& vehicleCode)
{
    unsubscribeTopic(statusTopic(vehicleCode), vehicleCode, "Status");
}

void GcsMqttController::publishVehicleReport(const VehicleMessage& message)
{
    const auto client = this->client();
    if (!client)
        return;
    const std::string text = message.toJson().dump();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now - g_lastPublishLogMs.load(std::memory_order_relaxed) >= kPublishLogEveryMs) {
        g_lastPublishLogMs.store(now, std::memory_order_relaxed);
        // The token is a credential: the line names the report, not its contents.
        spdlog::debug("{} publish message, topic:{}, message:{}", kTag, kReportTopic,
                      message.vehicleId.toStdString() + " " + message.messageType.toStdString());
    }
    client->publish(kReportTopic, text, 1);
}

QString GcsMqttController::serverUri() const
{
    std::lock_guard lock(m_mutex);
    return m_serverUri;
}

QString GcsMqttController::clientId() const
{
    std::lock_guard lock(m_mutex);
    return m_clientId;
}

QString GcsMqttController::userName() const
{
    std::lock_guard lock(m_mutex);
    return m_userName;
}

OstMqttClient::State GcsMqttController::clientState() const
{
    const auto c = client();
    return c ? c->state() : OstMqttClient::State::Disconnected;
}

std::optional<int> GcsMqttController::lastConnackCode() const
{
    const auto c = client();
    return c ? c->lastConnackCode() : std::nullopt;
}

std::shared_ptr<OstMqttClient> GcsMqttController::client() const
{
    std::lock_guard lock(m_mutex);
    return m_client;
}
