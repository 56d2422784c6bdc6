#pragma once
// Watches a vehicle's flight status telemetry and keeps one active alert per rule; every raise,
// change or clear is one alertChanged with the full record.

#include "VehicleAlert.h"

#include <QHash>
#include <QList>
#include <QMetaObject>
#include <QObject>

#include <memory>

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

public slots:
    void handleTeleDataChanged(std::shared_ptr<MavTeleBaseDataItem> item, int dataRole);

signals:
    void alertChanged(const VehicleAlert& alert);

private:
    void evaluateFlightStatus(const MavFlightStatusDataItem& item);
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
};
