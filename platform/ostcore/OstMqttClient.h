#pragma once
// MQTT client on libmosquitto, with the library's own network thread.
//
// Choices:
// - Server URI "tcp://host:port" (or "mqtt://"; the port defaults to 1883). MQTT 3.1.1, clean
//   session.
// - connectToServer() only starts the attempt; the outcome shows in state() and stateChanged.
//   A broker that cannot be reached (not running yet, gone away later) is retried by itself
//   with back-off: 1, 4, 9, 16, 25, then every 30 seconds. A broker that refuses the CONNECT
//   (wrong user name or password, ...) ends in State::Refused with an error log line, and is
//   not retried: call disconnectFromServer() and connectToServer() with other credentials.
// - A call of connectToServer() while connecting or connected changes nothing and returns true
//   (disconnect first to change credentials).
// - The client keeps the list of its subscriptions and makes them again after every connect,
//   so they survive broker restarts and disconnectFromServer()/connectToServer(); a subscribe
//   while not connected is only recorded. unsubscribe() drops a topic from the list.
// - publish() while not connected returns false and sends nothing later.
// - Messages reach each registered receiver as an OstMqttMessageReceiver::MessageEvent posted
//   from the network thread, so they are handled on the receiver's thread. stateChanged is
//   emitted from the network thread too (queued to receivers in other threads).
// - Every call belongs to the client's thread, except isConnected() and state(). Each
//   connectToServer() starts from a fresh libmosquitto handle.

#include "OstMqttMessageReceiver.h"

#include <QObject>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
    void setState(State state);

    std::string m_host;  // empty when the URI is not usable
    int m_port = 1883;
    std::string m_clientId;
    mosquitto* m_mosq = nullptr;
    bool m_loopRunning = false;
    std::atomic<State> m_state{State::Disconnected};

    std::mutex m_mutex;  // guards the two lists below, shared with the network thread
    std::map<std::string, int> m_topics;  // topic -> QoS
    std::vector<std::shared_ptr<OstMqttMessageReceiver>> m_receivers;
};
