#include "OstMqttClient.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include <mosquitto.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <random>
#include <utility>

namespace {

// The library's own reconnect must never fire before ours: its wait is made longer than any
// delay of ours, and every attempt ends its network thread before ours starts a new one.
constexpr unsigned kLibraryReconnectSec = 3600;
constexpr int kMinRefusedRetryMs = 100;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

OstMqttBackoff::OstMqttBackoff(std::chrono::milliseconds base, std::chrono::milliseconds cap,
                               std::chrono::milliseconds refusedCap, Random random)
    : m_base(std::max(base, std::chrono::milliseconds(1)))
    , m_cap(cap)
    , m_refusedCap(refusedCap)
    , m_random(std::move(random))
{
    if (!m_random) {
        auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
        m_random = [engine] { return (*engine)(); };
    }
}

std::chrono::milliseconds OstMqttBackoff::ceiling(int attempt, bool refused) const
{
    const auto cap = std::max(refused ? m_refusedCap : m_cap, std::chrono::milliseconds(0));
    // Doubling stops at the cap, so neither overflow nor a long loop.
    auto c = m_base;
    for (int i = 0; i < attempt && c < cap; ++i)
        c *= 2;
    return std::min(c, cap);
}

std::chrono::milliseconds OstMqttBackoff::next(bool refused)
{
    const auto top = std::uint64_t(ceiling(m_attempt, refused).count());
    if (m_attempt < 1000000)
        ++m_attempt;
    return std::chrono::milliseconds(m_random() % (top + 1));
}

OstMqttClient::OstMqttClient(const std::string& serverUri, const std::string& clientId, QObject* parent)
    : QObject(parent)
    , m_serverUri(serverUri)
    , m_clientId(clientId)
    , m_backoff(std::chrono::seconds(1), std::chrono::seconds(30), std::chrono::milliseconds(m_refusedRetryMs))
    , m_retryTimer(new QTimer(this))
{
    initLibrary();
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &OstMqttClient::handleRetry);
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
    m_backoff.reset();
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
    ++m_attemptId;  // the last attempt's thread is joined: its callbacks carry the old id
    mosquitto_connect_callback_set(m_mosq, &OstMqttClient::handleConnect);
    mosquitto_disconnect_callback_set(m_mosq, &OstMqttClient::handleDisconnect);
    mosquitto_message_callback_set(m_mosq, &OstMqttClient::handleMessage);
    mosquitto_reconnect_delay_set(m_mosq, kLibraryReconnectSec, kLibraryReconnectSec, false);
    const std::string user = userName();
    mosquitto_username_pw_set(m_mosq, user.empty() ? nullptr : user.c_str(),
                              m_password.empty() ? nullptr : m_password.c_str());
    // The network thread first: it waits for the connect.
    int rc = mosquitto_loop_start(m_mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        spdlog::error("<MqttClient> cannot start the network thread: {}", mosquitto_strerror(rc));
        return false;
    }
    m_loopRunning = true;
    rc = mosquitto_connect_async(m_mosq, m_host.c_str(), m_port, m_keepAliveSec);
    if (rc == MOSQ_ERR_ERRNO) {
        // Not reachable at once (nothing listening): no callback comes, so retry from here.
        if (m_state != State::Refused)
            noteOutage(rc);
        scheduleRetry(m_attemptId, m_state == State::Refused);
        return true;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        spdlog::error("<MqttClient> cannot connect to {}:{}: {}", m_host, m_port, mosquitto_strerror(rc));
        stopLoop();
        return false;
    }
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
    m_retryTimer->stop();
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
    m_backoff.setRefusedCap(std::chrono::milliseconds(m_refusedRetryMs));
}

void OstMqttClient::setBackoff(OstMqttBackoff backoff)
{
    m_backoff = std::move(backoff);
}

void OstMqttClient::scheduleRetry(unsigned attemptId, bool refused)
{
    // Called on the client's thread; a late call from an attempt already replaced is dropped.
    if (attemptId != m_attemptId || !m_loopRunning || m_state == State::Disconnected || m_retryTimer->isActive())
        return;
    const auto delay = m_backoff.next(refused);
    spdlog::debug("<MqttClient> next attempt on {}:{} in {} ms", m_host, m_port, delay.count());
    m_retryTimer->start(int(delay.count()));
}

void OstMqttClient::handleRetry()
{
    if (m_state == State::Disconnected)
        return;
    spdlog::debug("<MqttClient> trying {}:{} again", m_host, m_port);
    if (m_loopRunning)
        stopLoop();  // the last attempt's network thread has ended or is ending
    if (!startAttempt()) {
        const auto delay = m_backoff.next(m_state == State::Refused);
        m_retryTimer->start(int(delay.count()));
    }
}

void OstMqttClient::noteOutage(int rc)
{
    if (m_outageLogged.exchange(true))
        spdlog::debug("<MqttClient> {}:{} still not reachable ({})", m_host, m_port, mosquitto_strerror(rc));
    else if (m_state == State::Connected)
        spdlog::warn("<MqttClient> connection to {}:{} lost ({}), reconnecting", m_host, m_port, mosquitto_strerror(rc));
    else
        spdlog::warn("<MqttClient> broker {}:{} not reachable ({}), retrying", m_host, m_port, mosquitto_strerror(rc));
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
        const unsigned id = client->m_attemptId;
        QMetaObject::invokeMethod(
            client, [client, id] { client->scheduleRetry(id, true); }, Qt::QueuedConnection);
        return;
    }
    const unsigned id = client->m_attemptId;
    QMetaObject::invokeMethod(
        client, [client, id] { if (client->m_attemptId == id) client->m_backoff.reset(); }, Qt::QueuedConnection);
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

void OstMqttClient::handleDisconnect(mosquitto* mosq, void* self, int rc)
{
    auto* client = static_cast<OstMqttClient*>(self);
    if (rc == 0)
        return;  // asked for; disconnectFromServer() sets the state
    const bool refused = client->m_state == State::Refused;
    if (!refused) {
        client->noteOutage(rc);
        client->setState(State::Connecting);
    }
    mosquitto_disconnect(mosq);  // ends this network thread; the retry starts a new one
    const unsigned id = client->m_attemptId;
    QMetaObject::invokeMethod(
        client, [client, id, refused] { client->scheduleRetry(id, refused); }, Qt::QueuedConnection);
}

void OstMqttClient::handleMessage(mosquitto*, void* self, const mosquitto_message* msg)
{
    auto* client = static_cast<OstMqttClient*>(self);
    if (msg->payloadlen > kMostPayloadBytes) {
        const auto n = ++client->m_oversized;
        if (n == 1)
            spdlog::warn("<MqttClient> payload of {} bytes on {} dropped, over {} bytes", msg->payloadlen, msg->topic,
                         kMostPayloadBytes);
        else
            spdlog::debug("<MqttClient> payload of {} bytes dropped ({} so far)", msg->payloadlen, n);
        return;
    }
    std::pair<QString, QByteArray> item(QString::fromUtf8(msg->topic),
                                        QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen));
    bool post = false;
    {
        std::lock_guard lock(client->m_inboxMutex);
        client->m_inbox.push_back(std::move(item));
        if (client->m_inbox.size() > kMostQueuedMessages) {
            client->m_inbox.pop_front();
            const auto n = ++client->m_dropped;
            if (n == 1)
                spdlog::warn("<MqttClient> inbox full ({} messages), oldest dropped", kMostQueuedMessages);
            else
                spdlog::debug("<MqttClient> inbox full, {} dropped so far", n);
        }
        post = !std::exchange(client->m_deliveryPosted, true);
    }
    if (post)
        QMetaObject::invokeMethod(client, [client] { client->deliverInbox(); }, Qt::QueuedConnection);
}

void OstMqttClient::deliverInbox()
{
    std::deque<std::pair<QString, QByteArray>> batch;
    {
        std::lock_guard lock(m_inboxMutex);
        batch.swap(m_inbox);
        m_deliveryPosted = false;
    }
    std::lock_guard lock(m_mutex);
    if (m_receivers.empty() && !batch.empty())
        spdlog::debug("<MqttClient> {} messages dropped, no receiver", batch.size());
    for (const auto& [topic, payload] : batch)
        for (const auto& receiver : m_receivers)
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
