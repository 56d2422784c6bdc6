#include "OstMqttClient.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include <mosquitto.h>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace {

// Linear back-off: 1, 2, 3, then every 4 seconds.
constexpr unsigned kReconnectMinSec = 1;
constexpr unsigned kReconnectMaxSec = 4;
constexpr int kMinRefusedRetryMs = 100;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

OstMqttClient::OstMqttClient(const std::string& serverUri, const std::string& clientId, QObject* parent)
    : QObject(parent)
    , m_serverUri(serverUri)
    , m_clientId(clientId)
    , m_refusedRetryTimer(new QTimer(this))
{
    initLibrary();
    m_refusedRetryTimer->setSingleShot(true);
    connect(m_refusedRetryTimer, &QTimer::timeout, this, &OstMqttClient::handleRefusedRetry);
    const QUrl url(QString::fromStdString(serverUri));
    if ((url.scheme() == "tcp" || url.scheme() == "mqtt") && !url.host().isEmpty()) {
        m_host = url.host().toStdString();
        m_port = url.port(1883);
    } else {
        spdlog::error("<MqttClient> unusable server uri '{}', expected tcp://host:port", serverUri);
    }
}

OstMqttClient::~OstMqttClient()
{
    disconnectFromServer();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

bool OstMqttClient::connectToServer(const std::string& user, const std::string& password, int keepAliveSec)
{
    if (m_host.empty())
        return false;
    if (keepAliveSec < 5) {
        spdlog::error("<MqttClient> keep-alive of {} s refused, at least 5 s", keepAliveSec);
        return false;
    }
    if (m_loopRunning && m_state != State::Refused) {
        spdlog::debug("<MqttClient> connect ignored, already {}", m_state == State::Connected ? "connected" : "connecting");
        return true;
    }
    disconnectFromServer();
    {
        std::lock_guard lock(m_mutex);
        m_user = user;
    }
    m_password = password;
    m_keepAliveSec = keepAliveSec;
    m_refusalLogged = false;
    m_outageLogged = false;
    setState(State::Connecting);
    spdlog::info("<MqttClient> connecting to {}:{} as '{}', user '{}'", m_host, m_port, m_clientId, user);
    if (!startAttempt()) {
        setState(State::Disconnected);
        return false;
    }
    return true;
}

bool OstMqttClient::startAttempt()
{
    // A fresh handle per attempt: the network thread of a used one may end before the new
    // connect is under way.
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    m_mosq = mosquitto_new(m_clientId.empty() ? nullptr : m_clientId.c_str(), true, this);
    if (!m_mosq) {
        spdlog::error("<MqttClient> cannot create a client for id '{}'", m_clientId);
        return false;
    }
    mosquitto_connect_callback_set(m_mosq, &OstMqttClient::handleConnect);
    mosquitto_disconnect_callback_set(m_mosq, &OstMqttClient::handleDisconnect);
    mosquitto_message_callback_set(m_mosq, &OstMqttClient::handleMessage);
    mosquitto_reconnect_delay_set(m_mosq, kReconnectMinSec, kReconnectMaxSec, false);
    const std::string user = userName();
    mosquitto_username_pw_set(m_mosq, user.empty() ? nullptr : user.c_str(),
                              m_password.empty() ? nullptr : m_password.c_str());
    // The network thread first: it waits for the connect and then also retries a broker that is
    // not reachable yet.
    int rc = mosquitto_loop_start(m_mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        spdlog::error("<MqttClient> cannot start the network thread: {}", mosquitto_strerror(rc));
        return false;
    }
    rc = mosquitto_connect_async(m_mosq, m_host.c_str(), m_port, m_keepAliveSec);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_ERRNO) {
        spdlog::error("<MqttClient> cannot connect to {}:{}: {}", m_host, m_port, mosquitto_strerror(rc));
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        return false;
    }
    m_loopRunning = true;
    return true;
}

void OstMqttClient::stopLoop()
{
    // Also ends a back-off wait: the network thread sees the disconnect and stops.
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    m_loopRunning = false;
}

void OstMqttClient::disconnectFromServer()
{
    m_refusedRetryTimer->stop();
    m_refusalLogged = false;
    if (m_loopRunning)
        stopLoop();
    else if (m_state == State::Disconnected)
        return;
    setState(State::Disconnected);
    spdlog::info("<MqttClient> disconnected from {}:{}", m_host, m_port);
}

bool OstMqttClient::publish(const std::string& topic, const std::string& payload, int qos)
{
    if (topic.empty() || qos < 0 || qos > 2 || mosquitto_pub_topic_check(topic.c_str()) != MOSQ_ERR_SUCCESS) {
        spdlog::warn("<MqttClient> publish refused, topic '{}', qos {}", topic, qos);
        return false;
    }
    if (!m_mosq || !isConnected()) {
        spdlog::debug("<MqttClient> publish to {} dropped, not connected", topic);
        return false;
    }
    const int rc = mosquitto_publish(m_mosq, nullptr, topic.c_str(), int(payload.size()), payload.data(), qos, false);
    if (rc != MOSQ_ERR_SUCCESS) {
        spdlog::warn("<MqttClient> publish to {} failed: {}", topic, mosquitto_strerror(rc));
        return false;
    }
    spdlog::debug("<MqttClient> published {} bytes to {}", payload.size(), topic);
    return true;
}

bool OstMqttClient::subscribe(const std::string& topic, int qos)
{
    if (topic.empty() || qos < 0 || qos > 2 || mosquitto_sub_topic_check(topic.c_str()) != MOSQ_ERR_SUCCESS) {
        spdlog::warn("<MqttClient> subscribe refused, topic '{}', qos {}", topic, qos);
        return false;
    }
    // Under the lock: either the connect's copy of the list has this topic or the state already
    // says Connected and it is sent here.
    std::lock_guard lock(m_mutex);
    m_topics[topic] = qos;
    if (!m_mosq || !isConnected())
        return true;
    const int rc = mosquitto_subscribe(m_mosq, nullptr, topic.c_str(), qos);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        spdlog::warn("<MqttClient> subscribe to {} failed: {}", topic, mosquitto_strerror(rc));
        return false;
    }
    return true;
}

bool OstMqttClient::unsubscribe(const std::string& topic)
{
    std::lock_guard lock(m_mutex);
    m_topics.erase(topic);
    if (!m_mosq || !isConnected())
        return true;
    const int rc = mosquitto_unsubscribe(m_mosq, nullptr, topic.c_str());
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        spdlog::warn("<MqttClient> unsubscribe from {} failed: {}", topic, mosquitto_strerror(rc));
        return false;
    }
    return true;
}

void OstMqttClient::registerMessageReceiver(std::shared_ptr<OstMqttMessageReceiver> receiver)
{
    std::lock_guard lock(m_mutex);
    if (receiver && std::find(m_receivers.begin(), m_receivers.end(), receiver) == m_receivers.end())
        m_receivers.push_back(std::move(receiver));
}

void OstMqttClient::unregisterMessageReceiver(const std::shared_ptr<OstMqttMessageReceiver>& receiver)
{
    std::lock_guard lock(m_mutex);
    m_receivers.erase(std::remove(m_receivers.begin(), m_receivers.end(), receiver), m_receivers.end());
}

std::optional<int> OstMqttClient::lastConnackCode() const
{
    const int code = m_lastConnack;
    return code < 0 ? std::nullopt : std::optional<int>(code);
}

std::string OstMqttClient::userName() const
{
    std::lock_guard lock(m_mutex);
    return m_user;
}

void OstMqttClient::setRefusedRetryIntervalMs(int ms)
{
    m_refusedRetryMs = std::max(ms, kMinRefusedRetryMs);
}

void OstMqttClient::handleRefusedRetry()
{
    if (m_state != State::Refused)
        return;
    spdlog::debug("<MqttClient> trying {}:{} again after a refusal", m_host, m_port);
    if (m_loopRunning)
        stopLoop();  // the refused attempt's network thread has ended or is ending
    if (!startAttempt())
        m_refusedRetryTimer->start(m_refusedRetryMs);
}

void OstMqttClient::handleConnect(mosquitto* mosq, void* self, int rc)
{
    auto* client = static_cast<OstMqttClient*>(self);
    client->m_lastConnack = rc;
    if (rc != 0) {
        if (!client->m_refusalLogged.exchange(true))
            spdlog::error("<mqtt> broker refused the connection: {}, code: {}, serverUri: {}, username: {}",
                          mosquitto_connack_string(rc), rc, client->m_serverUri, client->userName());
        client->setState(State::Refused);
        mosquitto_disconnect(mosq);  // ends this network thread; the retry starts a new one
        // The timer lives on the client's thread, which also stops it.
        QMetaObject::invokeMethod(
            client,
            [client] {
                if (client->m_state == State::Refused && client->m_loopRunning)
                    client->m_refusedRetryTimer->start(client->m_refusedRetryMs);
            },
            Qt::QueuedConnection);
        return;
    }
    client->m_refusalLogged = false;
    client->m_outageLogged = false;
    size_t count = 0;
    bool changed = false;
    {
        std::lock_guard lock(client->m_mutex);
        for (const auto& [topic, qos] : client->m_topics)
            mosquitto_subscribe(mosq, nullptr, topic.c_str(), qos);
        count = client->m_topics.size();
        changed = client->m_state.exchange(State::Connected) != State::Connected;
    }
    spdlog::info("<MqttClient> connected to {}:{}, {} subscriptions made", client->m_host, client->m_port, count);
    if (changed)
        emit client->stateChanged(State::Connected);
}

void OstMqttClient::handleDisconnect(mosquitto*, void* self, int rc)
{
    auto* client = static_cast<OstMqttClient*>(self);
    if (client->m_state == State::Refused || rc == 0)
        return;  // asked for; disconnectFromServer() sets the state
    if (client->m_outageLogged.exchange(true))
        spdlog::debug("<MqttClient> {}:{} still not reachable ({})", client->m_host, client->m_port, mosquitto_strerror(rc));
    else if (client->m_state == State::Connected)
        spdlog::warn("<MqttClient> connection to {}:{} lost ({}), reconnecting", client->m_host, client->m_port,
                     mosquitto_strerror(rc));
    else
        spdlog::warn("<MqttClient> broker {}:{} not reachable ({}), retrying", client->m_host, client->m_port,
                     mosquitto_strerror(rc));
    client->setState(State::Connecting);
}

void OstMqttClient::handleMessage(mosquitto*, void* self, const mosquitto_message* msg)
{
    auto* client = static_cast<OstMqttClient*>(self);
    const QString topic = QString::fromUtf8(msg->topic);
    const QByteArray payload(static_cast<const char*>(msg->payload), msg->payloadlen);
    std::lock_guard lock(client->m_mutex);
    if (client->m_receivers.empty())
        spdlog::debug("<MqttClient> message on {} dropped, no receiver", msg->topic);
    for (const auto& receiver : client->m_receivers)
        QCoreApplication::postEvent(receiver.get(), new OstMqttMessageReceiver::MessageEvent(topic, payload));
}

void OstMqttClient::setState(State state)
{
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        changed = m_state.exchange(state) != state;
    }
    if (changed)
        emit stateChanged(state);
}
