#pragma once
// One slot of the vehicle cluster view: a fixed vehicle id, bound to the vehicle of that id once
// it joins, showing its connection state, attitude and position. Unbound, it reads as not
// connected with every value 0.
//
// Binding also emits connectionStatusChanged() when the new vehicle's connection state differs
// from what the slot showed, so a slot rebound to a vehicle that is already alive (or dead) never
// shows the old state.
//
// Beyond the slot's own attitude and position, it shows what a fleet list needs: the vehicle's
// code, link (alive, lost, not heard yet), flight mode and state, battery, ground speed, home and
// its active alerts. What the vehicle has not reported yet is unknown, never a default: no
// position before a fix (0/0), no mode, state or battery text before its first flight status.

#include <QObject>

#include <memory>

class MavAhrsDataItem;
class MavFlightStatusDataItem;
class MavPosDataItem;
class MavTelemetryController;
class VehicleController;

class VehicleClusterListDataItem : public QObject {
    Q_OBJECT
public:
    explicit VehicleClusterListDataItem(int vehicleId, QObject* parent = nullptr);

    // Binding the vehicle already bound changes nothing; an empty pointer unbinds.
    void setVehicleController(std::shared_ptr<VehicleController> vehicle);
    std::shared_ptr<VehicleController> vehicleController() const { return m_vehicle; }

    int vehicleId() const { return m_vehicleId; }
    bool isConnected() const;
    float heading() const { return yaw(); }
    float roll() const;
    float pitch() const;
    float yaw() const;
    double lat() const;
    double lon() const;
    double alt() const;
    double upSpeed() const;

    bool bound() const { return m_vehicle != nullptr; }
    QString vehicleCode() const;
    // "alive", "lost" (was alive, now silent), "joining" (heard, no telemetry yet) or "" (unbound).
    QString linkState() const;
    bool positionKnown() const;
    bool homeKnown() const;
    double homeLat() const;
    double homeLon() const;
    double groundSpeed() const;
    bool statusKnown() const { return m_statusSeen; }
    QString flightModeText() const;
    QString flightStateText() const;
    QString batteryText() const;
    double supplyVoltage() const;  // NaN while unknown
    int alertCount() const;
    int worstAlertLevel() const;  // -1 without alerts, else VehicleAlertLevel

signals:
    void connectionStatusChanged();
    void dataChanged();

private slots:
    void handleVehicleAliveChanged(bool alive);
    void handleAhrsDataChanged(int dataRole);
    void handlePosDataChanged(int dataRole);
    void handleStatusDataChanged(int dataRole);

private:
    int m_vehicleId;
    std::shared_ptr<VehicleController> m_vehicle;
    std::shared_ptr<MavTelemetryController> m_teleCtrler;
    std::shared_ptr<MavAhrsDataItem> m_ahrs;
    std::shared_ptr<MavPosDataItem> m_pos;
    std::shared_ptr<MavFlightStatusDataItem> m_status;
    bool m_statusSeen = false;
    bool m_everAlive = false;
};

using VehicleClusterListDataItemPtr = std::shared_ptr<VehicleClusterListDataItem>;
