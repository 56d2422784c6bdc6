#pragma once
// The station's connection to the cloud broker: publishes the local vehicles' reports on
// "/gcs/monitor/vehicle/report" and subscribes the notify topics of a watched vehicle, whose
// records come out of remoteVehicleMessageReceived on this object's thread.
//
// Choices:
// - A change of URI or client id replaces the client (subscriptions are not carried over); a
//   change of user name or password reconnects the same client. Either first disconnects a
//   client that is not Disconnected: a client that is still connecting would otherwise ignore
//   the new values.
// - A vehicle code goes into a topic, so one holding '+', '#', '/' or a control character is
//   refused (logged, nothing subscribed): it would widen or break the subscription.
// - The password is never logged; every log line starts with "<mqttCtrler> <mqtt>".

#include "common/RemoteVehicleMessages.h"
#include "common/VehicleMessage.h"

#include "OstMqttClient.h"

#include <QObject>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

class GcsMqttReceiver;

class GcsMqttController : public QObject, public GcsVehicleReportPublisher {
    Q_OBJECT
public:
    static constexpr int kKeepAliveSec = 60;
    static QString positionTopic(const QString& vehicleCode);
    static QString statusTopic(const QString& vehicleCode);
    static constexpr const char* kReportTopic = "/gcs/monitor/vehicle/report";
    // Why a vehicle code cannot go into a topic, or empty when it can.
    static QString vehicleCodeFault(const QString& vehicleCode);

    explicit GcsMqttController(QObject* parent = nullptr);
    ~GcsMqttController() override;

    void connectToServer(const QString& serverUri, const QString& clientId, const QString& userName,
                         const QString& password);
    void disconnectFromServer();

    void subscribeVehiclePosition(const QString& vehicleCode);
    void subscribeVehicleStatus(const QString& vehicleCode);
    void unsubscribeVehiclePosition(const QString& vehicleCode);
    void unsubscribeVehicleStatus(const QString& vehicleCode);

    void publishVehicleReport(const VehicleMessage& message) override;

    QString serverUri() const;
    QString clientId() const;
    QString userName() const;
    // Disconnected while there is no client.
    OstMqttClient::State clientState() const;
    std::optional<int> lastConnackCode() const;
    std::shared_ptr<OstMqttClient> client() const;

signals:
    void remoteVehicleMessageReceived(RemoteVehicleBaseMessagePtr msg);

private:
    void createClient();
    void connectClient();
    void subscribeTopic(const QString& topic, const QString& vehicleCode, const char* what);
    void unsubscribeTopic(const QString& topic, const QString& vehicleCode, const char* what);

    mutable std::mutex m_mutex;
    QString m_serverUri;
    QString m_clientId;
    QString m_userName;
    QString m_password;
    std::shared_ptr<OstMqttClient> m_client;
    std::shared_ptr<GcsMqttReceiver> m_receiver;
};
