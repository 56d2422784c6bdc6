#include "CustomTeleDataListModel.h"

#include "telemetry/MavTeleBaseDataItem.h"
#include "telemetry/MavTeleDataItemBox.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleController.h"

#include <spdlog/spdlog.h>

CustomTeleDataListModel::CustomTeleDataListModel(QObject* parent)
    : QAbstractListModel(parent)
{
}

int CustomTeleDataListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_elements.size());
}

int CustomTeleDataListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QModelIndex CustomTeleDataListModel::parent(const QModelIndex&) const
{
    return QModelIndex();
}

QVariant CustomTeleDataListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= m_elements.size())
        return QVariant();
    const auto& element = m_elements.at(index.row());
    if (!element)
        return QVariant();
    switch (role) {
    case DisplayNameRole: return element->displayName();
    case DisplayValueRole: return element->displayValue();
    case UnitRole: return element->unit();
    case ElementIdRole: return int(element->id());
    default: return QVariant();
    }
}

QHash<int, QByteArray> CustomTeleDataListModel::roleNames() const
{
    return {{DisplayNameRole, "name"}, {DisplayValueRole, "value"}, {UnitRole, "unit"}, {ElementIdRole, "elementId"}};
}

void CustomTeleDataListModel::setTeleDataItemBox(const std::shared_ptr<MavTeleDataItemBox>& box)
{
    m_box = box;
}

void CustomTeleDataListModel::setActiveVehicleCtrler(const std::shared_ptr<VehicleController>& vehicle)
{
    if (m_vehicle.lock() == vehicle)
        return;
    disconnect(m_teleConnection);
    m_vehicle = vehicle;
    m_teleCtrler.reset();
    if (vehicle) {
        if (auto tele = vehicle->teleCtrler()) {
            m_teleCtrler = tele;
            m_teleConnection = connect(tele.get(), &MavTelemetryController::teleDataChanged, this,
                                       &CustomTeleDataListModel::handleTeleDataChanged);
        } else {
            spdlog::warn("<TeleList> vehicle {} has no telemetry controller, its list stays empty",
                         vehicle->vehicleId());
        }
    }
    rebuild();
}

void CustomTeleDataListModel::setTeleDataEids(const QList<MavTeleDataElement::TeleElementId>& eids)
{
    if (eids == m_eids)
        return;
    m_eids = eids;
    rebuild();
}

void CustomTeleDataListModel::handleTeleDataChanged(std::shared_ptr<MavTeleBaseDataItem> item)
{
    if (!item || m_elements.isEmpty() || !m_commands.count(int16_t(item->dataCommand())))
        return;
    emit dataChanged(index(0), index(int(m_elements.size()) - 1), {});
}

void CustomTeleDataListModel::rebuild()
{
    const int before = count();
    beginResetModel();
    m_elements.clear();
    m_commands.clear();
    if (!m_vehicle.expired()) {
        if (auto tele = m_teleCtrler.lock()) {
            for (const auto& element : tele->allTeleDataElements()) {
                if (element && m_eids.contains(element->id()))
                    m_elements.append(element);
            }
        }
    } else if (m_box) {
        for (auto id : m_eids) {
            if (auto element = m_box->getDataElement(int(id)))
                m_elements.append(element);
        }
    }
    for (const auto& element : m_elements)
        m_commands.insert(element->dataCommand());
    endResetModel();
    if (count() != before)
        emit countChanged();
}
