#pragma once
// Publishes every simulated vehicle's position and status to an MQTT broker, as the vehicles'
// cloud link would, at SimOptions::mqttRateHz, QoS 1, not retained:
//   gcs/notify/vehicle/CODE/position  {"latitude": deg, "longitude": deg, "altitude": m}
//   gcs/notify/vehicle/CODE/status    {"roll": deg, "pitch": deg, "yaw": deg, "speed": m/s}
// (speed is the horizontal ground speed). The values come from a sampler the simulator gives:
// the flight models with a link, orbit() without one.
//
// The client's own network thread does the networking, so a slow or absent broker never holds
// up the simulator; a message due while not connected is counted as dropped, not queued. A
// refused connect is logged once by the client, which tries again every 30 s by itself.
//
// With SimOptions::mqttCorrupt each message is replaced, with that probability, by one drawn
// from a table of malformed payloads (malformed()); the draws use SimOptions::seed, so a run
// can be repeated. Valid and malformed messages handed to the client are counted per code.
// The client id is "velmora-sim-<pid>-<random>", unique per process; the password is never
// logged.

#include "OstMqttClient.h"
#include "SimOptions.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

class SimMqttPublisher : public QObject {
    Q_OBJECT
public:
    struct Sample {
        QString code;
        double latitude = 0.0;
        double longitude = 0.0;
        double altitude = 0.0;
        double roll = 0.0;
        double pitch = 0.0;
        double yaw = 0.0;
        double speed = 0.0;
    };
    using Sampler = std::function<std::vector<Sample>()>;

    struct Counts {
        quint64 valid = 0;
        quint64 corrupt = 0;
    };

    SimMqttPublisher(const SimOptions& options, Sampler sampler, QObject* parent = nullptr);
    ~SimMqttPublisher() override;

    // Starts connecting and the publishing timer; false (with the reason) when the client
    // cannot start.
    bool start(QString& error);
    void stop();

    OstMqttClient::State state() const { return m_client->state(); }
    const std::string& clientId() const { return m_clientId; }
    const std::map<QString, Counts>& counts() const { return m_counts; }
    quint64 dropped() const { return m_dropped; }
    // One line: "mqtt CODE-1 valid 12 corrupt 3, CODE-2 valid 14 corrupt 1, dropped 0".
    QString countsText() const;

    // Without a link: a circle of 100 m radius around home, 50 m up, one lap a minute,
    // clockwise seen from above.
    static Sample orbit(double homeLat, double homeLon, qint64 timeMs);
    // Malformed payloads: not JSON, empty, an array, a number, a string, the first member of the
    // valid payload as a string, null, a bool, a number beyond a double, a 1 MiB unterminated
    // string, 200000 nested arrays, invalid UTF-8.
    static int malformedKinds();
    static QByteArray malformed(int kind, const QByteArray& valid);

private slots:
    void handlePublishTimeout();

private:
    void publish(const QString& code, const std::string& topic, const QByteArray& payload);

    const SimOptions& m_options;
    Sampler m_sampler;
    std::string m_clientId;
    std::unique_ptr<OstMqttClient> m_client;
    QTimer m_timer;
    std::mt19937_64 m_random;
    std::map<QString, Counts> m_counts;
    quint64 m_dropped = 0;
    std::set<QString> m_unusableCodes;
};
