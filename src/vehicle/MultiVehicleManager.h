#pragma once
// Registry of vehicles: heartbeats of every link become vehicle controllers; local and remote
// vehicles are kept in joining order with one active vehicle; lookups by id or code; targets
// of control commands. A vehicle is identified by its id alone, whatever link it is heard on.

#include "MavProtoDefs.h"
#include "VehicleController.h"
#include "VehicleFrameRoutes.h"
#include "common/GcsPeriodicTask.h"
#include "common/VehicleMessage.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <map>
#include <memory>
#include <optional>

class GcsLoginManager;
class LinkManager;
class OstAbstractLink;
class VehicleController;

class MultiVehicleManager : public QObject {
    Q_OBJECT
public:
    explicit MultiVehicleManager(QObject* parent = nullptr);
    ~MultiVehicleManager() override;

    void setLoginManager(std::weak_ptr<GcsLoginManager> loginMgr) { m_loginMgr = std::move(loginMgr); }
    // Where the periodic reports of local vehicles with an active code go (the MQTT controller).
    void setMqttController(std::weak_ptr<GcsVehicleReportPublisher> mqtt) { m_mqttController = std::move(mqtt); }
    // Handed to every vehicle before its setup (the login manager from setLoginManager).
    void setVehicleServices(const VehicleController::Services& services) { m_vehicleServices = services; }

    QList<std::shared_ptr<VehicleController>> vehicleList() const { return m_vehicles; }
    std::shared_ptr<VehicleController> activeVehicle() const { return m_activeVehicle; }

    void addRemoteVehicle(const QString& vehicleCode);
    void removeRemoteVehicle(const QString& vehicleCode);
    void removeLocalVehicle(const std::shared_ptr<VehicleController>& ctrl);
    void removeAllLocalVehicles();
    // Shutdown: stops the report task and removes (and so retires) every vehicle, local or remote.
    void release();

    std::shared_ptr<VehicleController> findVehicleControllerById(int id) const;
    std::shared_ptr<VehicleController> findVehicleControllerByCode(const QString& code) const;
    bool hasVehicle(int id) const { return findVehicleControllerById(id) != nullptr; }
    QList<std::shared_ptr<VehicleController>> controllableLocalVehicles() const;
    QList<std::shared_ptr<VehicleController>> vehiclesForControlCommand() const;
    std::shared_ptr<VehicleController> resolveVehicleTargetForCli(std::optional<QString> code,
                                                                  std::optional<int> id) const;

    void setTeleReqEnableByLinkManager(const std::shared_ptr<LinkManager>& linkMgr, bool enable);
    void startReportVehiclesData();
    void stopReportVehiclesData();
    bool reportVehiclesDataRunning() const { return m_reportTask.isRunning(); }

    // Hands a received frame to the vehicle of its sender id (its request queue, then its
    // telemetry): one lookup per frame, whatever the fleet size. Frames of ids no vehicle holds,
    // or from another link than the vehicle's, go nowhere.
    void routeMavPFrame(MavPFramePtr pframe, OstAbstractLink* link);
    const VehicleFrameRoutes& frameRoutes() const { return m_frameRoutes; }

    // The user's choice of active vehicle (the CLI's vehicle.setActive); announces a change.
    void setActiveVevhile(std::shared_ptr<VehicleController> vehicle);

    // A session on the active vehicle (a mission transfer, a no-fly-zone session) holds the
    // active role: a vehicle that joins meanwhile is listed and announced but becomes active only
    // when the last hold ends (the latest such joiner still present). Removal and the user's
    // choice still change it.
    enum ActiveVehicleHold : unsigned { MissionTransferActiveHold = 1 };
    void setActiveVehicleHold(ActiveVehicleHold hold, bool on);
    bool activeVehicleHeld() const { return m_activeHolds != 0; }

    static constexpr int kJoinsPerTurn = 8;

public slots:
    // A heartbeat from an unknown id makes a vehicle (two threads, its items and models, about a
    // millisecond each). At most kJoinsPerTurn join in one pass of the event loop; the rest wait
    // for the next passes, so a whole fleet heard at once (a station restarted under 253
    // vehicles) never holds the CLI, the page or the bridge for the length of all the joins.
    void processMavHeartbeatFrame(int vehicleId, OstAbstractLink* link, QString address);

signals:
    void activeVehicleChanged(std::shared_ptr<VehicleController> vehicleCtrler);
    void vehicleJoined(std::shared_ptr<VehicleController> vehicle);
    void vehicleLeft(std::shared_ptr<VehicleController> vehicle);
    void reportVehiclesDataTimerTriggered();

private:
    void chooseActiveAfterRemoval();
    VehicleController::Services servicesForVehicles() const;
    void handleVechileAliveChanged(bool alive);
    void handleTeleReqIntervalChanged(int ms);
    void handleReportVehiclesDataTimerTriggered();
    void joinVehicle(int vehicleId, OstAbstractLink* link, const QString& address);
    void joinWaitingVehicles();

    QList<std::shared_ptr<VehicleController>> m_vehicles;
    VehicleFrameRoutes m_frameRoutes;
    std::shared_ptr<VehicleController> m_activeVehicle;
    std::weak_ptr<VehicleController> m_previousActive;  // what a removal of the active one returns to
    GcsPeriodicTask m_reportTask;
    std::weak_ptr<GcsLoginManager> m_loginMgr;
    std::weak_ptr<GcsVehicleReportPublisher> m_mqttController;
    VehicleController::Services m_vehicleServices;
    std::map<int, qint64> m_heartbeatLogTimes;
    // Heard but not yet made (ids are 0-255, so this stays small); in order of first heartbeat.
    struct WaitingJoin {
        int vehicleId;
        QPointer<OstAbstractLink> link;
        QString address;
    };
    QList<WaitingJoin> m_waitingJoins;
    int m_joinsThisTurn = 0;
    bool m_turnResetPosted = false;
    unsigned m_activeHolds = 0;
    QList<std::weak_ptr<VehicleController>> m_deferredActive;
};
