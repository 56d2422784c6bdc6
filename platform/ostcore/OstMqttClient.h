#pragma once
// MQTT client on libmosquitto, with the library's own network thread.
//
// Choices:
// - Server URI "tcp://host:port" (or "mqtt://"; the port defaults to 1883), or "mqtts://host:port"
//   for TLS (port 8883 by default) checked against the CA file of setCaFile() (or of
//   setDefaultCaFile()), else the system's CA store. MQTT 3.1.1, clean session.
// - Nothing blocks the client's thread on the network: each attempt runs on a thread of its
//   own (name lookup, TCP and TLS connect, then the library's loop). A lookup failure is retried
//   like any unreachable broker, and an attempt with no CONNACK within kConnectTimeoutMs is
//   abandoned and retried. Disconnecting or destroying the client hands the attempt's thread its
//   handle and returns: a thread stuck in a connect ends, and frees the handle, on its own.
// - connectToServer() only starts the attempt; the outcome shows in state() and stateChanged.
//   The client retries by itself, from a timer on its thread, each time on a fresh handle (the
//   library's own reconnect is not used: its delays have no jitter). Delays come from
//   OstMqttBackoff: exponential with full jitter, so that stations cut off by one broker restart
//   do not all return in the same second. "Not reachable" and "lost" are logged once per outage.
//   A fatal error that ends the library's network thread (protocol, out of memory, payload
//   size) reaches the disconnect callback like a lost connection and is retried the same way.
// - A broker that refuses the CONNECT (wrong user name or password, not authorised, or any
//   other CONNACK code) puts the client in State::Refused and logs one error line for the whole
//   streak of refusals, with the reason, the code, the server URI and the user name (never the
//   password). The client then tries again with the same credentials, quietly, with the
//   back-off's longer cap (5 min, or refusedRetryIntervalMs() when set): accounts are often
//   fixed on the broker side while the station keeps running. The state stays Refused, also
//   while such a retry cannot reach the broker, until a CONNACK accepts the connection.
//   disconnectFromServer() stops the retries; connectToServer() while Refused starts again at
//   once, and a new streak logs again. A successful CONNACK starts the back-off over.
// - lastConnackCode() is the return code of the last CONNACK seen on any connect, kept across
//   disconnects (nothing before the first one).
// - A call of connectToServer() while connecting or connected changes nothing and returns true
//   (disconnect first to change credentials).
// - The client keeps the list of its subscriptions and makes them again after every connect,
//   so they survive broker restarts and disconnectFromServer()/connectToServer(); a subscribe
//   while not connected is only recorded. unsubscribe() drops a topic from the list.
// - publish() while not connected returns false and sends nothing later. pendingPublishCount()
//   is what the library still holds of this connection's publishes (not yet written, or QoS 1/2
//   not yet acknowledged): a publisher that must not grow memory while the broker is slow
//   checks it, since the library's own queue has no bound.
// - setWill() is sent with every connect from the next attempt on: the broker publishes it when
//   the connection ends without a DISCONNECT (a crash, a network loss, a missed keep-alive).
// - setInboxLimit() raises the inbox bound for a client that subscribes to many retained
//   topics, whose whole set arrives at once after each connect.
// - Messages reach each registered receiver as an OstMqttMessageReceiver::MessageEvent, so they
//   are handled on the receiver's thread. Broker input is untrusted: a payload over
//   kMostPayloadBytes is dropped in the network thread before it is copied (oversizedCount()),
//   and messages wait in an inbox of at most kMostQueuedMessages that the client's thread hands
//   on; when it is full the oldest message is dropped (droppedCount()), so a flood while the
//   client's thread is busy costs bounded memory and keeps the newest data. Each kind of drop
//   logs one warning, then debug lines. stateChanged is
//   emitted from the network thread too (queued to receivers in other threads).
// - A subscribe() or unsubscribe() that races the connect is not lost: the switch to Connected
//   and the subscriptions made for it are one step under the client's lock, and subscribe()
//   and unsubscribe() decide under that lock whether to send now or leave it to the connect.
// - takenOverCount() counts the sessions that looked taken over by another client with the
//   same id: the broker said so (MQTT 5, setProtocolV5(), reason "session taken over"), or the
//   connection was lost while the broker stayed reachable (the first retry got straight back
//   in), which is how mosquitto's takeover looks to the client (it closes the socket before its
//   DISCONNECT is out). A network blip counts too: a caller reads a streak, not one.
// - Every call belongs to the client's thread, except isConnected(), state(),
//   lastConnackCode(), serverUri() and userName(). Each connectToServer() and each retry after
//   a refusal starts from a fresh libmosquitto handle.

#include "OstMqttMessageReceiver.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QTimer;
struct mosquitto;
struct mosquitto_message;

// Reconnect delays, exponential with full jitter: retry n (from 0) waits a uniform draw in
// [0, min(cap, base * 2^n)]. The random source is injectable so delays can be checked without
// waiting; by default a generator seeded from std::random_device. Not thread-safe.
class OstMqttBackoff {
public:
    using Random = std::function<std::uint64_t()>;  // uniform over the whole uint64 range
    explicit OstMqttBackoff(std::chrono::milliseconds base = std::chrono::seconds(1),
                            std::chrono::milliseconds cap = std::chrono::seconds(30),
                            std::chrono::milliseconds refusedCap = std::chrono::minutes(5), Random random = {});
    // The upper bound of retry `attempt`'s delay.
    std::chrono::milliseconds ceiling(int attempt, bool refused) const;
    // Draws the next delay and counts the attempt.
    std::chrono::milliseconds next(bool refused);
    void reset() { m_attempt = 0; }
    int attempt() const { return m_attempt; }
    void setRefusedCap(std::chrono::milliseconds cap) { m_refusedCap = cap; }

private:
    std::chrono::milliseconds m_base;
    std::chrono::milliseconds m_cap;
    std::chrono::milliseconds m_refusedCap;
    Random m_random;
    int m_attempt = 0;
};

class OstMqttClient : public QObject {
    Q_OBJECT
public:
    enum class State { Disconnected, Connecting, Connected, Refused };
    Q_ENUM(State)
    static constexpr int kMostPayloadBytes = 16 * 1024;
    static constexpr size_t kMostQueuedMessages = 256;
    static constexpr int kConnectTimeoutMs = 20000;

    OstMqttClient(const std::string& serverUri, const std::string& clientId, QObject* parent = nullptr);
    ~OstMqttClient() override;

    // keepAliveSec: at least 5. False when the attempt cannot start (bad URI or arguments).
    bool connectToServer(const std::string& user, const std::string& password, int keepAliveSec);
    void disconnectFromServer();
    bool isConnected() const { return m_state == State::Connected; }
    State state() const { return m_state; }
    std::optional<int> lastConnackCode() const;
    // The URI given to the constructor, and the user name of the last connectToServer().
    const std::string& serverUri() const { return m_serverUri; }
    std::string userName() const;

    // The cap of the delays between retries after a refusal; at least 100 ms.
    void setRefusedRetryIntervalMs(int ms);
    int refusedRetryIntervalMs() const { return m_refusedRetryMs; }
    // The PEM file of the CAs an mqtts:// broker is checked against, from the next attempt on;
    // empty: the default below. The default applies to clients that set none (the station's
    // --mqtt-ca); empty: the system's CA store.
    void setCaFile(const std::string& path) { m_caFile = path; }
    static void setDefaultCaFile(const std::string& path);
    bool usesTls() const { return m_tls; }
    void setProtocolV5(bool v5) { m_v5 = v5; }
    // Sessions that looked taken over (see above); any thread.
    std::uint64_t takenOverCount() const { return m_takenOver; }
    // Replaces the reconnect back-off (tests: short delays, a seeded source).
    void setBackoff(OstMqttBackoff backoff);

    bool publish(const std::string& topic, const std::string& payload, int qos, bool retain = false);
    int pendingPublishCount() const { return m_pendingPublishes; }
    void setWill(const std::string& topic, const std::string& payload, int qos, bool retain);
    void setInboxLimit(size_t messages) { m_inboxLimit = std::max<size_t>(messages, 1); }
    bool subscribe(const std::string& topic, int qos);
    bool unsubscribe(const std::string& topic);

    // Messages dropped from a full inbox, and payloads dropped for their size; any thread.
    std::uint64_t droppedCount() const { return m_dropped; }
    std::uint64_t oversizedCount() const { return m_oversized; }

    void registerMessageReceiver(std::shared_ptr<OstMqttMessageReceiver> receiver);
    void unregisterMessageReceiver(const std::shared_ptr<OstMqttMessageReceiver>& receiver);

signals:
    void stateChanged(OstMqttClient::State state);

private:
    struct Link;
    static void runLink(std::shared_ptr<Link> link, std::string host, int port, int keepAliveSec);
    static void handleConnect(mosquitto* mosq, void* link, int rc);
    static void handleDisconnect(mosquitto* mosq, void* link, int rc);
    static void handleMessage(mosquitto* mosq, void* link, const mosquitto_message* msg);
    static void handlePublish(mosquitto* mosq, void* link, int mid);
    void onConnect(mosquitto* mosq, int rc);
    void onDisconnect(mosquitto* mosq, int rc);
    void onMessage(const mosquitto_message* msg);
    void handleRetry();
    void handleConnectTimeout();
    void attemptEnded(unsigned attemptId, int rc, bool looped);
    void deliverInbox();
    void scheduleRetry(unsigned attemptId, bool refused);
    void noteOutage(const char* why);
    bool startAttempt();
    void retireLink();
    void setState(State state);

    const std::string m_serverUri;
    std::string m_host;  // empty when the URI is not usable
    int m_port = 1883;
    bool m_tls = false;
    std::string m_clientId;
    std::string m_caFile;
    // The current attempt; its thread holds it too. Client's thread only.
    std::shared_ptr<Link> m_link;
    std::atomic<State> m_state{State::Disconnected};
    std::atomic<int> m_lastConnack{-1};  // -1: none seen yet
    std::atomic<bool> m_refusalLogged{false};  // this streak of refusals has its log line
    std::atomic<bool> m_outageLogged{false};  // this outage has its log line
    // Kept for the retries after a refusal; client's thread only.
    std::string m_password;
    int m_keepAliveSec = 60;
    int m_refusedRetryMs = 300000;
    OstMqttBackoff m_backoff;
    QTimer* m_retryTimer = nullptr;
    QTimer* m_connectTimer = nullptr;
    std::atomic<unsigned> m_attemptId{0};  // written on the client's thread between attempts

    // Guards the state changes to and from Connected together with what depends on them (the
    // subscriptions sent), and the members below, shared with the network thread.
    mutable std::mutex m_mutex;
    std::string m_user;
    std::map<std::string, int> m_topics;  // topic -> QoS
    std::vector<std::shared_ptr<OstMqttMessageReceiver>> m_receivers;

    // Messages from the network thread waiting for the client's thread.
    std::mutex m_inboxMutex;
    std::deque<std::pair<QString, QByteArray>> m_inbox;
    bool m_deliveryPosted = false;
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_oversized{0};
    std::atomic<std::uint64_t> m_takenOver{0};
    std::atomic<bool> m_lossPending{false};  // lost, not yet back
    std::atomic<int> m_attemptsSinceLoss{0};
    bool m_v5 = false;  // client's thread only
    std::atomic<size_t> m_inboxLimit{kMostQueuedMessages};
    std::atomic<int> m_pendingPublishes{0};
    struct Will {
        std::string topic;
        std::string payload;
        int qos = 0;
        bool retain = false;
    };
    std::optional<Will> m_will;  // client's thread only
};
