#pragma once
// The vehicles of the logged-in account on the cloud, and remote monitoring: watching one of
// them through the broker instead of a local link.
//
// Choices:
// - Account operations answer with their signal and the HTTP code; -1 when the tool box or its
//   HTTP client is gone (the list refresh then emits nothing), -2005 when an add does not name
//   the active vehicle's code.
// - Monitoring is off (empty code) or on for one code; switching codes passes through off, so
//   remoteMonitorStateChanged(first, false) comes before (second, true). Activating the code
//   already watched keeps the subscriptions and announces the activation again.
// - Records applied to the remote vehicle are counted from the activation, with the time of the
//   last one, for status reports; both clear when the watch ends.

#include "common/RemoteVehicleMessages.h"
#include "GcsHttpReqs.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class GcsMqttController;
class GcsHttp;
class MultiVehicleManager;
class VehicleDataItem;

class MyVehicleController : public QObject {
    Q_OBJECT
public:
    static constexpr int kNoHttp = -1;
    static constexpr int kNotActiveVehicle = -2005;

    explicit MyVehicleController(MultiVehicleManager* multiVehicleMgr, QObject* parent = nullptr);
    ~MyVehicleController() override;

    void setHttp(std::weak_ptr<GcsHttp> http) { m_http = std::move(http); }
    void setMqttController(std::weak_ptr<GcsMqttController> mqtt) { m_mqttController = std::move(mqtt); }
    std::shared_ptr<GcsMqttController> mqttController() const { return m_mqttController.lock(); }

    const std::vector<std::shared_ptr<VehicleDataItem>>& vehicleList() const { return m_vehicleList; }

    void refreshVehicleList();
    void addVehicle(const AddUserVehicleReq& req);
    void removeVehicle(const QString& vehicleCode);
    void updateVehicle(const QString& vehicleCode, const QString& name, std::optional<int> vehicleLocalId);
    void subscribeVehicle(const QString& vehicleCode);
    void requestAssociatedVehicleEmailCaptcha(const QString& email);

    void activateRemoteMonitor(const QString& vehicleCode);
    void deactivateRemoteMonitor();
    QString remoteMonitorVehicleCode() const { return m_remoteMonitorVehicleCode; }
    bool isRemoteMonitorActive() const { return !m_remoteMonitorVehicleCode.isEmpty(); }
    quint64 remoteMessagesApplied() const { return m_messagesApplied; }
    // Milliseconds since the last applied record; nullopt when none since the activation.
    std::optional<qint64> lastRemoteMessageAgeMs() const;

public slots:
    void handleRemoteVehicleMessage(RemoteVehicleBaseMessagePtr msg);

signals:
    void refreshVehicleListResp(int code);
    void addVehicleResp(int code);
    void vehicleAdded(std::shared_ptr<VehicleDataItem> vehicle);
    void removeVehicleResp(int code, QString vehicleCode);
    void updateVehicleResp(int code, std::shared_ptr<VehicleDataItem> vehicle);
    void subscribeVehicleResp(int code);
    void associatedVehicleEmailCaptchaResp(int code);
    void remoteMonitorStateChanged(QString vehicleCode, bool active);

private:
    bool hasHttp(const char* what) const;

    MultiVehicleManager* m_multiVehicleMgr = nullptr;
    std::weak_ptr<GcsHttp> m_http;
    std::vector<std::shared_ptr<VehicleDataItem>> m_vehicleList;
    std::weak_ptr<GcsMqttController> m_mqttController;
    QString m_remoteMonitorVehicleCode;
    quint64 m_messagesApplied = 0;
    QElapsedTimer m_sinceLastMessage;
};
