#include "VehicleClusterListDataItem.h"

#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTeleBaseDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/VehicleController.h"

#include <algorithm>
#include <cmath>
#include <limits>

VehicleClusterListDataItem::VehicleClusterListDataItem(int vehicleId, QObject* parent)
    : QObject(parent)
    , m_vehicleId(vehicleId)
{
}

void VehicleClusterListDataItem::setVehicleController(std::shared_ptr<VehicleController> vehicle)
{
    if (vehicle == m_vehicle)
        return;
    const bool wasConnected = isConnected();
    QObject* alerts = m_vehicle ? m_vehicle->alertCtrler().get() : nullptr;
    for (QObject* sender : {static_cast<QObject*>(m_teleCtrler.get()), static_cast<QObject*>(m_ahrs.get()),
                            static_cast<QObject*>(m_pos.get()), static_cast<QObject*>(m_status.get()),
                            static_cast<QObject*>(m_vehicle.get()), alerts}) {
        if (sender)
            disconnect(sender, nullptr, this, nullptr);
    }
    m_vehicle = std::move(vehicle);
    m_teleCtrler = m_vehicle ? m_vehicle->teleCtrler() : nullptr;
    m_ahrs = m_teleCtrler ? m_teleCtrler->ahrsDataItem() : nullptr;
    m_pos = m_teleCtrler ? m_teleCtrler->posDataItem() : nullptr;
    m_status = m_teleCtrler ? m_teleCtrler->flightStatusDataItem() : nullptr;
    m_statusSeen = false;
    m_everAlive = m_vehicle && m_vehicle->alive();
    if (m_vehicle) {
        m_vehicleId = m_vehicle->vehicleId();
        connect(m_vehicle.get(), &VehicleController::vehicleAliveChanged, this,
                &VehicleClusterListDataItem::handleVehicleAliveChanged);
        if (const auto alertCtrler = m_vehicle->alertCtrler())
            connect(alertCtrler.get(), &VehicleAlertController::alertChanged, this,
                    &VehicleClusterListDataItem::dataChanged);
    }
    if (m_status)
        connect(m_status.get(), &MavTeleBaseDataItem::dataChanged, this,
                &VehicleClusterListDataItem::handleStatusDataChanged);
    if (m_ahrs)
        connect(m_ahrs.get(), &MavTeleBaseDataItem::dataChanged, this,
                &VehicleClusterListDataItem::handleAhrsDataChanged);
    if (m_pos)
        connect(m_pos.get(), &MavTeleBaseDataItem::dataChanged, this,
                &VehicleClusterListDataItem::handlePosDataChanged);
    emit dataChanged();
    if (isConnected() != wasConnected)
        emit connectionStatusChanged();
}

bool VehicleClusterListDataItem::isConnected() const
{
    return m_vehicle && m_vehicle->alive();
}

float VehicleClusterListDataItem::roll() const
{
    return m_ahrs ? m_ahrs->roll() : 0.0f;
}

float VehicleClusterListDataItem::pitch() const
{
    return m_ahrs ? m_ahrs->pitch() : 0.0f;
}

float VehicleClusterListDataItem::yaw() const
{
    return m_ahrs ? m_ahrs->yaw() : 0.0f;
}

double VehicleClusterListDataItem::lat() const
{
    return m_pos ? m_pos->lat() : 0.0;
}

double VehicleClusterListDataItem::lon() const
{
    return m_pos ? m_pos->lon() : 0.0;
}

double VehicleClusterListDataItem::alt() const
{
    return m_pos ? m_pos->alt() : 0.0;
}

double VehicleClusterListDataItem::upSpeed() const
{
    return m_pos ? double(m_pos->upSpd()) : 0.0;
}

QString VehicleClusterListDataItem::vehicleCode() const
{
    return m_vehicle ? m_vehicle->vehicleCode() : QString();
}

QString VehicleClusterListDataItem::linkState() const
{
    if (!m_vehicle)
        return QString();
    if (m_vehicle->alive())
        return QStringLiteral("alive");
    return m_everAlive ? QStringLiteral("lost") : QStringLiteral("joining");
}

bool VehicleClusterListDataItem::positionKnown() const
{
    // A vehicle reports 0/0 until its fix.
    return m_pos && !(m_pos->lat() == 0 && m_pos->lon() == 0);
}

bool VehicleClusterListDataItem::homeKnown() const
{
    return m_pos && !(m_pos->homeLat() == 0 && m_pos->homeLon() == 0);
}

double VehicleClusterListDataItem::homeLat() const
{
    return m_pos ? m_pos->homeLat() : 0.0;
}

double VehicleClusterListDataItem::homeLon() const
{
    return m_pos ? m_pos->homeLon() : 0.0;
}

double VehicleClusterListDataItem::groundSpeed() const
{
    return m_pos ? std::hypot(double(m_pos->northSpd()), double(m_pos->eastSpd())) : 0.0;
}

QString VehicleClusterListDataItem::flightModeText() const
{
    return m_statusSeen ? MavFlightStatusDataItem::flightModeText(m_status->flightMode()) : QString();
}

QString VehicleClusterListDataItem::flightStateText() const
{
    return m_statusSeen ? MavFlightStatusDataItem::flightStateText(m_status->flightState()) : QString();
}

QString VehicleClusterListDataItem::batteryText() const
{
    return m_statusSeen ? MavFlightStatusDataItem::batteryStateText(m_status->batteryState()) : QString();
}

double VehicleClusterListDataItem::supplyVoltage() const
{
    return m_statusSeen ? double(m_status->fcuVol()) : std::numeric_limits<double>::quiet_NaN();
}

int VehicleClusterListDataItem::alertCount() const
{
    const auto alerts = m_vehicle ? m_vehicle->alertCtrler() : nullptr;
    return alerts ? int(alerts->activeAlerts().size()) : 0;
}

int VehicleClusterListDataItem::worstAlertLevel() const
{
    const auto alerts = m_vehicle ? m_vehicle->alertCtrler() : nullptr;
    int worst = -1;
    if (alerts)
        for (const auto& a : alerts->activeAlerts())
            worst = std::max(worst, int(a.level));
    return worst;
}

void VehicleClusterListDataItem::handleVehicleAliveChanged(bool alive)
{
    m_everAlive = m_everAlive || alive;
    emit connectionStatusChanged();
}

void VehicleClusterListDataItem::handleStatusDataChanged(int dataRole)
{
    if (dataRole != MavTeleBaseDataItem::ValuesUpdated)
        return;
    m_statusSeen = true;
    emit dataChanged();
}

void VehicleClusterListDataItem::handleAhrsDataChanged(int dataRole)
{
    // Relabelling (role 1) changes no value shown here.
    if (dataRole == MavTeleBaseDataItem::ValuesUpdated)
        emit dataChanged();
}

void VehicleClusterListDataItem::handlePosDataChanged(int dataRole)
{
    if (dataRole == MavTeleBaseDataItem::ValuesUpdated)
        emit dataChanged();
}
