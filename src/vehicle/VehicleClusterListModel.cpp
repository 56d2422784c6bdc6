#include "VehicleClusterListModel.h"

#include "vehicle/VehicleClusterListDataItem.h"

VehicleClusterListModel::VehicleClusterListModel(QObject* parent)
    : QAbstractListModel(parent)
{
}

void VehicleClusterListModel::addVehicle(const std::shared_ptr<VehicleClusterListDataItem>& item)
{
    addVehicles({item});
}

void VehicleClusterListModel::addVehicles(const QList<std::shared_ptr<VehicleClusterListDataItem>>& items)
{
    if (items.isEmpty())
        return;
    const int first = int(m_items.size());
    beginInsertRows(QModelIndex(), first, first + int(items.size()) - 1);
    m_items.append(items);
    endInsertRows();
}

void VehicleClusterListModel::removeVehicle(int vehicleId)
{
    for (int row = 0; row < m_items.size(); ++row) {
        if (m_items.at(row) && m_items.at(row)->vehicleId() == vehicleId) {
            beginRemoveRows(QModelIndex(), row, row);
            m_items.removeAt(row);
            endRemoveRows();
            return;
        }
    }
}

std::shared_ptr<VehicleClusterListDataItem> VehicleClusterListModel::itemAt(int row) const
{
    return row >= 0 && row < m_items.size() ? m_items.at(row) : nullptr;
}

int VehicleClusterListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

int VehicleClusterListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant VehicleClusterListModel::data(const QModelIndex& index, int role) const
{
    const auto item = index.isValid() ? itemAt(index.row()) : nullptr;
    if (!item)
        return QVariant();
    switch (role) {
    case VehicleIdRole: return item->vehicleId();
    case IsConnectedRole: return item->isConnected();
    case HeadingRole: return item->heading();
    case RollRole: return item->roll();
    case PitchRole: return item->pitch();
    case LongitudeRole: return item->lon();
    case LatitudeRole: return item->lat();
    case AltitudeRole: return item->alt();
    case UpSpeedRole: return item->upSpeed();
    default: return QVariant();
    }
}

QHash<int, QByteArray> VehicleClusterListModel::roleNames() const
{
    return {{VehicleIdRole, "vehicleId"}, {IsConnectedRole, "isConnected"}, {HeadingRole, "heading"}};
}
