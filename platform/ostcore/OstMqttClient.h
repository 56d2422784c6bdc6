#pragma once
// MQTT client on libmosquitto, with the library's own network thread.
//
// Choices:
// - Server URI "tcp://host:port" (or "mqtt://"; the port defaults to 1883). MQTT 3.1.1, clean
//   session.
// - connectToServer() only starts the attempt; the outcome shows in state() and stateChanged.
//   A broker that cannot be reached (not running yet, gone away later) is retried by itself
//   after 1, 2 and 3 seconds, then every 4 seconds: a broker restart is over in seconds, and a
//   station waiting longer than that for its cloud link looks broken. "Not reachable" and
//   "lost" are logged once per outage.
// - A broker that refuses the CONNECT (wrong user name or password, not authorised, or any
//   other CONNACK code) puts the client in State::Refused and logs one error line for the whole
//   streak of refusals, with the reason, the code, the server URI and the user name (never the
//   password). The client then tries again with the same credentials every
//   refusedRetryIntervalMs() (30 s unless set), from a timer on the client's thread, quietly:
//   accounts are often fixed on the broker side while the station keeps running. The state
//   stays Refused, also while such a retry cannot reach the broker, until a CONNACK accepts
//   the connection. disconnectFromServer() stops the retries; connectToServer() while Refused
//   starts again at once, and a new streak logs again.
// - lastConnackCode() is the return code of the last CONNACK seen on any connect, kept across
//   disconnects (nothing before the first one).
// - A call of connectToServer() while connecting or connected changes nothing and returns true
//   (disconnect first to change credentials).
// - The client keeps the list of its subscriptions and makes them again after every connect,
//   so they survive broker restarts and disconnectFromServer()/connectToServer(); a subscribe
//   while not connected is only recorded. unsubscribe() drops a topic from the list.
// - publish() while not connected returns false and sends nothing later.
// - Messages reach each registered receiver as an OstMqttMessageReceiver::MessageEvent posted
//   from the network thread, so they are handled on the receiver's thread. stateChanged is
//   emitted from the network thread too (queued to receivers in other threads).
// - A subscribe() or unsubscribe() that races the connect is not lost: the switch to Connected
//   and the subscriptions made for it are one step under the client's lock, and subscribe()
//   and unsubscribe() decide under that lock whether to send now or leave it to the connect.
// - Every call belongs to the client's thread, except isConnected(), state(),
//   lastConnackCode(), serverUri() and userName(). Each connectToServer() and each retry after
//   a refusal starts from a fresh libmosquitto handle.

#include "OstMqttMessageReceiver.h"

#include <QObject>

#include <atomic>
#include <optional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QTimer;
struct mosquitto;
struct mosquitto_message;

class OstMqttClient : public QObject {
    Q_OBJECT
public:
    enum class State { Disconnected, Connecting, Connected, Refused };
    Q_ENUM(State)

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

    // Between retries after a refusal; at least 100 ms. Takes effect from the next refusal.
    void setRefusedRetryIntervalMs(int ms);
    int refusedRetryIntervalMs() const { return m_refusedRetryMs; }

    bool publish(const std::string& topic, const std::string& payload, int qos);
    bool subscribe(const std::string& topic, int qos);
    bool unsubscribe(const std::string& topic);

    void registerMessageReceiver(std::shared_ptr<OstMqttMessageReceiver> receiver);
    void unregisterMessageReceiver(const std::shared_ptr<OstMqttMessageReceiver>& receiver);

signals:
    void stateChanged(OstMqttClient::State state);

private:
    static void handleConnect(mosquitto* mosq, void* self, int rc);
    static void handleDisconnect(mosquitto* mosq, void* self, int rc);
    static void handleMessage(mosquitto* mosq, void* self, const mosquitto_message* msg);
    void handleRefusedRetry();
    bool startAttempt();
    void stopLoop();
    void setState(State state);

    const std::string m_serverUri;
    std::string m_host;  // empty when the URI is not usable
    int m_port = 1883;
    std::string m_clientId;
    mosquitto* m_mosq = nullptr;
    bool m_loopRunning = false;
    std::atomic<State> m_state{State::Disconnected};
    std::atomic<int> m_lastConnack{-1};      // -1: none seen yet
    std::atomic<bool> m_refusalLogged{false};  // this streak of refusals has its log line
    std::atomic<bool> m_outageLogged{false};   // this outage has its log line
    // Kept for the retries after a refusal; client's thread only.
    std::string m_password;
    int m_keepAliveSec = 60;
    int m_refusedRetryMs = 30000;
    QTimer* m_refusedRetryTimer = nullptr;

    // Guards the state changes to and from Connected together with what depends on them (the
    // subscriptions sent), and the members below, shared with the network thread.
    mutable std::mutex m_mutex;
    std::string m_user;
    std::map<std::string, int> m_topics;  // topic -> QoS
    std::vector<std::shared_ptr<OstMqttMessageReceiver>> m_receivers;
};
