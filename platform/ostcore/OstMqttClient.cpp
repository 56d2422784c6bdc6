#include "OstMqttClient.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <random>
#include <thread>
#include <utility>

namespace {

// The library's own reconnect must never fire before ours: its wait is made longer than any
// delay of ours, and every attempt ends its network thread before ours starts a new one.
constexpr unsigned kLibraryReconnectSec = 3600;
constexpr int kMinRefusedRetryMs = 100;
// Where Debian and most others keep the system's CA certificates, hashed.
constexpr const char* kSystemCaPath = "/etc/ssl/certs";

std::mutex g_defaultCaMutex;
std::string g_defaultCaFile;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

// One attempt: a libmosquitto handle and the thread that connects and runs its loop. The thread
// and the client share it; whoever lets go last frees the handle, so the client never waits
// for a connect to give up.
struct OstMqttClient::Link {
    mosquitto* mosq = nullptr;
    unsigned id = 0;
    std::mutex mutex;  // a callback holds it while it uses the client
    OstMqttClient* client = nullptr;  // null once the client has let go of this attempt
    bool looping = false;
    ~Link()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }
};

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
    , m_connectTimer(new QTimer(this))
{
    initLibrary();
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &OstMqttClient::handleRetry);
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, &OstMqttClient::handleConnectTimeout);
    const QUrl url(QString::fromStdString(serverUri));
    const QString scheme = url.scheme();
    if ((scheme == "tcp" || scheme == "mqtt" || scheme == "mqtts") && !url.host().isEmpty()) {
        m_tls = scheme == "mqtts";
        m_host = url.host().toStdString();
        m_port = url.port(m_tls ? 8883 : 1883);
    } else {
        spdlog::error("<MqttClient> unusable server uri '{}', expected tcp://host:port or mqtts://host:port",
                      serverUri);
    }
}

OstMqttClient::~OstMqttClient()
{
    disconnectFromServer();
}

void OstMqttClient::setDefaultCaFile(const std::string& path)
{
    std::lock_guard lock(g_defaultCaMutex);
    g_defaultCaFile = path;
}

bool OstMqttClient::connectToServer(const std::string& user, const std::string& password, int keepAliveSec)
{
    if (m_host.empty())
        return false;
    if (keepAliveSec < 5) {
        spdlog::error("<MqttClient> keep-alive of {} s refused, at least 5 s", keepAliveSec);
        return false;
    }
    if (m_state == State::Connecting || m_state == State::Connected) {
        spdlog::debug("<MqttClient> connect ignored, already {}",
                      m_state == State::Connected ? "connected" : "connecting");
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
    // A fresh handle per attempt: the last one's thread may still be stuck in its connect.
    retireLink();
    ++m_attemptsSinceLoss;
    auto link = std::make_shared<Link>();
    link->mosq = mosquitto_new(m_clientId.empty() ? nullptr : m_clientId.c_str(), true, link.get());
    if (!link->mosq) {
        spdlog::error("<MqttClient> cannot create a client for id '{}'", m_clientId);
        return false;
    }
    // Our own thread runs the loop: calls from the client's thread then only queue packets.
    mosquitto_threaded_set(link->mosq, true);
    if (m_v5)
        mosquitto_int_option(link->mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(link->mosq, &OstMqttClient::handleConnect);
    mosquitto_disconnect_callback_set(link->mosq, &OstMqttClient::handleDisconnect);
    mosquitto_message_callback_set(link->mosq, &OstMqttClient::handleMessage);
    mosquitto_publish_callback_set(link->mosq, &OstMqttClient::handlePublish);
    if (m_will) {
        const int rc = mosquitto_will_set(link->mosq, m_will->topic.c_str(), int(m_will->payload.size()),
                                          m_will->payload.data(), m_will->qos, m_will->retain);
        if (rc != MOSQ_ERR_SUCCESS) {
            spdlog::error("<MqttClient> last will on {} refused: {}", m_will->topic, mosquitto_strerror(rc));
            return false;
        }
    }
    mosquitto_reconnect_delay_set(link->mosq, kLibraryReconnectSec, kLibraryReconnectSec, false);
    const std::string user = userName();
    mosquitto_username_pw_set(link->mosq, user.empty() ? nullptr : user.c_str(),
                              m_password.empty() ? nullptr : m_password.c_str());
    if (m_tls) {
        std::string ca = m_caFile;
        if (ca.empty()) {
            std::lock_guard lock(g_defaultCaMutex);
            ca = g_defaultCaFile;
        }
        int rc = MOSQ_ERR_SUCCESS;
        if (ca.empty()) {
            rc = mosquitto_tls_set(link->mosq, nullptr, kSystemCaPath, nullptr, nullptr, nullptr);
            mosquitto_int_option(link->mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            rc = mosquitto_tls_set(link->mosq, ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            spdlog::error("<MqttClient> cannot set up TLS with CA '{}': {}", ca.empty() ? kSystemCaPath : ca,
                          mosquitto_strerror(rc));
            return false;
        }
    }
    link->id = ++m_attemptId;
    link->client = this;
    m_pendingPublishes = 0;  // what the last handle held went with it
    m_link = link;
    m_connectTimer->start(kConnectTimeoutMs);
    std::thread(&OstMqttClient::runLink, std::move(link), m_host, m_port, m_keepAliveSec).detach();
    return true;
}

void OstMqttClient::runLink(std::shared_ptr<Link> link, std::string host, int port, int keepAliveSec)
{
    // The name lookup, the connect and the TLS handshake block here, never on the client's
    // thread. (The library's asynchronous connect would start a TLS handshake on a socket
    // still connecting, and can hang in it when the connect fails.)
    int rc = mosquitto_connect(link->mosq, host.c_str(), port, keepAliveSec);
    bool looped = false;
    if (rc == MOSQ_ERR_SUCCESS) {
        {
            std::lock_guard lock(link->mutex);
            looped = link->looping = link->client != nullptr;
        }
        if (looped)
            rc = mosquitto_loop_forever(link->mosq, 1000, 1);
    }
    std::lock_guard lock(link->mutex);
    if (OstMqttClient* client = link->client) {
        const unsigned id = link->id;
        QMetaObject::invokeMethod(
            client, [client, id, rc, looped] { client->attemptEnded(id, rc, looped); }, Qt::QueuedConnection);
    }
}

void OstMqttClient::retireLink()
{
    m_connectTimer->stop();
    const std::shared_ptr<Link> link = std::exchange(m_link, nullptr);
    if (!link)
        return;
    bool looping = false;
    {
        // Waits only for a callback under way; none starts on this client afterwards.
        std::lock_guard lock(link->mutex);
        link->client = nullptr;
        looping = link->looping;
    }
    // The loop ends as soon as its socket lets it; its thread frees the handle.
    if (looping)
        mosquitto_disconnect(link->mosq);
}

void OstMqttClient::attemptEnded(unsigned attemptId, int rc, bool looped)
{
    if (attemptId != m_attemptId || m_state == State::Disconnected)
        return;
    m_connectTimer->stop();
    // Without a loop no callback came (lookup failed, nothing listening); a loop that ended on
    // a fatal error may not have said so either.
    if (!looped || m_state == State::Connected) {
        if (m_state != State::Refused) {
            noteOutage(mosquitto_strerror(rc));
            setState(State::Connecting);
        }
    }
    scheduleRetry(attemptId, m_state == State::Refused);
}

void OstMqttClient::handleConnectTimeout()
{
    if (m_state == State::Connected || m_state == State::Disconnected || m_retryTimer->isActive())
        return;
    const unsigned id = m_attemptId;
    retireLink();
    if (m_state != State::Refused)
        noteOutage("no answer within the connect timeout");
    scheduleRetry(id, m_state == State::Refused);
}

void OstMqttClient::disconnectFromServer()
{
    m_retryTimer->stop();
    m_refusalLogged = false;
    const bool attempting = m_link != nullptr;
    retireLink();
    if (!attempting && m_state == State::Disconnected)
        return;
    setState(State::Disconnected);
    spdlog::info("<MqttClient> disconnected from {}:{}", m_host, m_port);
}

void OstMqttClient::setWill(const std::string& topic, const std::string& payload, int qos, bool retain)
{
    m_will = Will{topic, payload, qos, retain};
}

bool OstMqttClient::publish(const std::string& topic, const std::string& payload, int qos, bool retain)
{
    if (topic.empty() || qos < 0 || qos > 2 || mosquitto_pub_topic_check(topic.c_str()) != MOSQ_ERR_SUCCESS) {
        spdlog::warn("<MqttClient> publish refused, topic '{}', qos {}", topic, qos);
        return false;
    }
    if (!m_link || !isConnected()) {
        spdlog::debug("<MqttClient> publish to {} dropped, not connected", topic);
        return false;
    }
    ++m_pendingPublishes;
    const int rc =
        mosquitto_publish(m_link->mosq, nullptr, topic.c_str(), int(payload.size()), payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        --m_pendingPublishes;
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
    if (!m_link || !isConnected())
        return true;
    const int rc = mosquitto_subscribe(m_link->mosq, nullptr, topic.c_str(), qos);
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
    if (!m_link || !isConnected())
        return true;
    const int rc = mosquitto_unsubscribe(m_link->mosq, nullptr, topic.c_str());
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
    if (attemptId != m_attemptId || m_state == State::Disconnected || m_retryTimer->isActive())
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
    if (!startAttempt()) {
        const auto delay = m_backoff.next(m_state == State::Refused);
        m_retryTimer->start(int(delay.count()));
    }
}

void OstMqttClient::noteOutage(const char* why)
{
    if (m_outageLogged.exchange(true))
        spdlog::debug("<MqttClient> {}:{} still not reachable ({})", m_host, m_port, why);
    else if (m_state == State::Connected)
        spdlog::warn("<MqttClient> connection to {}:{} lost ({}), reconnecting", m_host, m_port, why);
    else
        spdlog::warn("<MqttClient> broker {}:{} not reachable ({}), retrying", m_host, m_port, why);
}

// The library's callbacks, on an attempt's thread: they reach the client only while it still
// holds that attempt, and otherwise just let the thread end.
void OstMqttClient::handleConnect(mosquitto* mosq, void* obj, int rc)
{
    auto* link = static_cast<Link*>(obj);
    std::lock_guard lock(link->mutex);
    if (link->client)
        link->client->onConnect(mosq, rc);
    else
        mosquitto_disconnect(mosq);
}

void OstMqttClient::handleDisconnect(mosquitto* mosq, void* obj, int rc)
{
    auto* link = static_cast<Link*>(obj);
    std::lock_guard lock(link->mutex);
    if (link->client)
        link->client->onDisconnect(mosq, rc);
    else if (rc != 0)
        mosquitto_disconnect(mosq);
}

void OstMqttClient::handleMessage(mosquitto*, void* obj, const mosquitto_message* msg)
{
    auto* link = static_cast<Link*>(obj);
    std::lock_guard lock(link->mutex);
    if (link->client)
        link->client->onMessage(msg);
}

void OstMqttClient::handlePublish(mosquitto*, void* obj, int)
{
    auto* link = static_cast<Link*>(obj);
    std::lock_guard lock(link->mutex);
    if (link->client && link->client->m_pendingPublishes > 0)
        --link->client->m_pendingPublishes;
}

void OstMqttClient::onConnect(mosquitto* mosq, int rc)
{
    m_lastConnack = rc;
    if (rc != 0) {
        if (!m_refusalLogged.exchange(true))
            spdlog::error("<mqtt> broker refused the connection: {}, code: {}, serverUri: {}, username: {}",
                          rc > 5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc), rc, m_serverUri,
                          userName());
        setState(State::Refused);
        mosquitto_disconnect(mosq);  // ends this network thread; the retry starts a new one
        // The timer lives on the client's thread, which also stops it.
        const unsigned id = m_attemptId;
        QMetaObject::invokeMethod(
            this, [this, id] { scheduleRetry(id, true); }, Qt::QueuedConnection);
        return;
    }
    const unsigned id = m_attemptId;
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            if (m_attemptId == id)
                m_backoff.reset();
        },
        Qt::QueuedConnection);
    m_refusalLogged = false;
    m_outageLogged = false;
    if (m_lossPending.exchange(false) && m_attemptsSinceLoss == 1)
        ++m_takenOver;
    size_t count = 0;
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [topic, qos] : m_topics)
            mosquitto_subscribe(mosq, nullptr, topic.c_str(), qos);
        count = m_topics.size();
        changed = m_state.exchange(State::Connected) != State::Connected;
    }
    spdlog::info("<MqttClient> connected to {}:{}, {} subscriptions made", m_host, m_port, count);
    if (changed)
        emit stateChanged(State::Connected);
}

void OstMqttClient::onDisconnect(mosquitto* mosq, int rc)
{
    if (rc == 0)
        return;  // asked for, after a refusal
    const bool refused = m_state == State::Refused;
    if (rc == MQTT_RC_SESSION_TAKEN_OVER) {
        ++m_takenOver;
        spdlog::warn("<MqttClient> {}:{} closed the session of '{}': another client connected with that id", m_host,
                     m_port, m_clientId);
    } else if (!refused) {
        m_attemptsSinceLoss = 0;
        m_lossPending = true;
    }
    if (!refused) {
        noteOutage(mosquitto_strerror(rc));
        setState(State::Connecting);
    }
    mosquitto_disconnect(mosq);  // ends this network thread; the retry starts a new one
    const unsigned id = m_attemptId;
    QMetaObject::invokeMethod(
        this, [this, id, refused] { scheduleRetry(id, refused); }, Qt::QueuedConnection);
}

void OstMqttClient::onMessage(const mosquitto_message* msg)
{
    if (msg->payloadlen > kMostPayloadBytes) {
        const auto n = ++m_oversized;
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
        std::lock_guard lock(m_inboxMutex);
        m_inbox.push_back(std::move(item));
        if (m_inbox.size() > m_inboxLimit) {
            m_inbox.pop_front();
            const auto n = ++m_dropped;
            if (n == 1)
                spdlog::warn("<MqttClient> inbox full ({} messages), oldest dropped", size_t(m_inboxLimit));
            else
                spdlog::debug("<MqttClient> inbox full, {} dropped so far", n);
        }
        post = !std::exchange(m_deliveryPosted, true);
    }
    if (post)
        QMetaObject::invokeMethod(
            this, [this] { deliverInbox(); }, Qt::QueuedConnection);
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
