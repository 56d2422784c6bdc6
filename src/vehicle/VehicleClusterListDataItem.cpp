#include "VehicleClusterListDataItem.h"

#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTeleBaseDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleController.h"

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
    for (QObject* sender : {static_cast<QObject*>(m_teleCtrler.get()), static_cast<QObject*>(m_ahrs.get()),
                            static_cast<QObject*>(m_pos.get()), static_cast<QObject*>(m_vehicle.get())}) {
        if (sender)
            disconnect(sender, nullptr, this, nullptr);
    }
    m_vehicle = std::move(vehicle);
    m_teleCtrler = m_vehicle ? m_vehicle->teleCtrler() : nullptr;
    m_ahrs = m_teleCtrler ? m_teleCtrler->ahrsDataItem() : nullptr;
    m_pos = m_teleCtrler ? m_teleCtrler->posDataItem() : nullptr;
    if (m_vehicle) {
        m_vehicleId = m_vehicle->vehicleId();
        connect(m_vehicle.get(), &VehicleController::vehicleAliveChanged, this,
                &VehicleClusterListDataItem::handleVehicleAliveChanged);
    }
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

void VehicleClusterListDataItem::handleVehicleAliveChanged(bool)
{
    emit connectionStatusChanged();
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
