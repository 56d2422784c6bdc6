#pragma once
// Watches a vehicle's flight status telemetry and keeps one active alert per rule; every raise,
// change or clear is one alertChanged with the full record. Each raise and each clear is also
// one console line and one log line (a raise of a Warning or Critical alert at warning level),
// so an operator who watches only the console or the log still sees it.
//
// The link rule ("vehicle.link.lost"): the vehicle stops answering (it turns not alive, the
// rule the vehicle list uses). Its last flight status decides the level: flying or armed, or
// never reported, is Critical ("link lost while flying", or "flight state unknown"); landed and
// disarmed is a Warning. The record carries the last position and height (unknown when the
// vehicle never reported a fix; 0/0 is no fix) and silentSinceMs, the last time it was heard,
// so messageOf() tells how long it has been silent whenever it is read. When the vehicle answers
// again the alert clears with a note of how long it was silent.

#include "VehicleAlert.h"

#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QObject>

#include <memory>
#include <optional>

class MavFlightStatusDataItem;
class MavTeleBaseDataItem;
class MavTelemetryController;
class VehicleController;

class VehicleAlertController : public QObject {
    Q_OBJECT
public:
    explicit VehicleAlertController(const std::shared_ptr<VehicleController>& vehicle, QObject* parent = nullptr);

    void bindTelemetryController(const std::shared_ptr<MavTelemetryController>& tele);
    QList<VehicleAlert> activeAlerts() const { return m_alerts.values(); }

    float gnssHdopThreshold() const { return m_gnssHdopThreshold; }
    void setGnssHdopThreshold(float v) { m_gnssHdopThreshold = v; }
    float gnssVdopThreshold() const { return m_gnssVdopThreshold; }
    void setGnssVdopThreshold(float v) { m_gnssVdopThreshold = v; }

    static bool isImuOverallFault(quint8 state) { return (state & 0x20) == 0; }
    static bool isImuUnitFault(quint8 state, quint8 bit) { return (state & bit) == 0; }
    static bool isHeadingOverallFault(quint8 state) { return (state & 0x80) == 0; }
    static bool isMagSensorFault(quint8 state) { return (state & 0x01) == 0; }
    static bool isDualAntennaFault(quint8 state) { return (state & 0x04) == 0; }
    static bool hasEmergencyProtectAction(quint8 code) { return code >= 32; }
    static QString emergencyProtectMessage(quint8 code);
    static QString takeoffCheckForbiddenMessage(quint16 bits);

    // The text of an alert as the operator reads it at nowMs (console, page, fleet broker,
    // MAVLink STATUSTEXT): the message of the protection, take-off and link rules, else which value
    // was seen against its threshold or the value expected.
    static QString messageOf(const VehicleAlert& alert, int64_t nowMs);

public slots:
    void handleTeleDataChanged(std::shared_ptr<MavTeleBaseDataItem> item, int dataRole);
    void handleVehicleAliveChanged(bool alive);

signals:
    void alertChanged(const VehicleAlert& alert);

private:
    void evaluateFlightStatus(const MavFlightStatusDataItem& item);
    void announce(const VehicleAlert& alert) const;
    void evaluateAlert(const QString& key, const QString& sourceField, VehicleAlertLevel level, bool active,
                       const QString& currentValue, const QString& expectedValue, const QString& thresholdValue);
    VehicleAlert makeAlert(const QString& key, const QString& sourceField, VehicleAlertLevel level,
                           VehicleAlertState state, const QString& currentValue, const QString& expectedValue,
                           const QString& thresholdValue) const;

    std::weak_ptr<VehicleController> m_vehicle;
    std::weak_ptr<MavTelemetryController> m_tele;
    QMetaObject::Connection m_teleConnection;
    QHash<QString, VehicleAlert> m_alerts;
    float m_gnssHdopThreshold = 3.0f;
    float m_gnssVdopThreshold = 3.0f;
    // What the vehicle last said: flying or armed (unknown before its first flight status), where.
    std::optional<bool> m_lastFlying;
    std::optional<double> m_lastLat, m_lastLon, m_lastAlt;
    int64_t m_lastHeardMs = 0;
};
