#include "VehicleClusterListModel.h"

#include "vehicle/VehicleClusterListDataItem.h"

VehicleClusterListModel::VehicleClusterListModel(QObject* parent)
    : QAbstractListModel(parent)
{
    m_batch.setSingleShot(true);
    m_batch.setInterval(kBatchMs);
    connect(&m_batch, &QTimer::timeout, this, &VehicleClusterListModel::flushChangedRows);
}

void VehicleClusterListModel::watch(VehicleClusterListDataItem* item)
{
    const auto changed = [this, item] {
        m_changed.insert(item);
        if (!m_batch.isActive())
            m_batch.start();
    };
    connect(item, &VehicleClusterListDataItem::dataChanged, this, changed);
    connect(item, &VehicleClusterListDataItem::connectionStatusChanged, this, changed);
}

void VehicleClusterListModel::flushChangedRows()
{
    // Rows in order, neighbours joined into one range.
    QList<int> rows;
    for (int row = 0; row < m_items.size(); ++row)
        if (m_changed.contains(m_items.at(row).get()))
            rows.append(row);
    m_changed.clear();
    for (int i = 0; i < rows.size();) {
        int last = i;
        while (last + 1 < rows.size() && rows.at(last + 1) == rows.at(last) + 1)
            ++last;
        emit dataChanged(index(rows.at(i)), index(rows.at(last)), {});
        i = last + 1;
    }
}

int VehicleClusterListModel::rowOfVehicle(int vehicleId) const
{
    for (int row = 0; row < m_items.size(); ++row)
        if (m_items.at(row) && m_items.at(row)->vehicleId() == vehicleId)
            return row;
    return -1;
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
    for (const auto& item : items)
        if (item)
            watch(item.get());
    emit countChanged();
}

void VehicleClusterListModel::removeVehicle(int vehicleId)
{
    for (int row = 0; row < m_items.size(); ++row) {
        if (m_items.at(row) && m_items.at(row)->vehicleId() == vehicleId) {
            beginRemoveRows(QModelIndex(), row, row);
            disconnect(m_items.at(row).get(), nullptr, this, nullptr);
            m_changed.remove(m_items.at(row).get());
            m_items.removeAt(row);
            endRemoveRows();
            emit countChanged();
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
    case BoundRole: return item->bound();
    case VehicleCodeRole: return item->vehicleCode();
    case LinkStateRole: return item->linkState();
    case PositionKnownRole: return item->positionKnown();
    case HomeKnownRole: return item->homeKnown();
    case HomeLatitudeRole: return item->homeLat();
    case HomeLongitudeRole: return item->homeLon();
    case GroundSpeedRole: return item->groundSpeed();
    case StatusKnownRole: return item->statusKnown();
    case FlightModeTextRole: return item->flightModeText();
    case FlightStateTextRole: return item->flightStateText();
    case BatteryTextRole: return item->batteryText();
    case SupplyVoltageRole: return item->supplyVoltage();
    case AlertCountRole: return item->alertCount();
    case WorstAlertLevelRole: return item->worstAlertLevel();
    default: return QVariant();
    }
}

QHash<int, QByteArray> VehicleClusterListModel::roleNames() const
{
    return {{VehicleIdRole, "vehicleId"},
            {IsConnectedRole, "isConnected"},
            {HeadingRole, "heading"},
            {RollRole, "roll"},
            {PitchRole, "pitch"},
            {LongitudeRole, "lon"},
            {LatitudeRole, "lat"},
            {AltitudeRole, "alt"},
            {UpSpeedRole, "upSpeed"},
            {BoundRole, "bound"},
            {VehicleCodeRole, "vehicleCode"},
            {LinkStateRole, "linkState"},
            {PositionKnownRole, "positionKnown"},
            {HomeKnownRole, "homeKnown"},
            {HomeLatitudeRole, "homeLat"},
            {HomeLongitudeRole, "homeLon"},
            {GroundSpeedRole, "groundSpeed"},
            {StatusKnownRole, "statusKnown"},
            {FlightModeTextRole, "flightModeText"},
            {FlightStateTextRole, "flightStateText"},
            {BatteryTextRole, "batteryText"},
            {SupplyVoltageRole, "supplyVoltage"},
            {AlertCountRole, "alertCount"},
            {WorstAlertLevelRole, "worstAlertLevel"}};
}
