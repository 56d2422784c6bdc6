#include "VehicleAlertListModel.h"

#include "telemetry/VehicleAlertController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <QDateTime>

#include <algorithm>

VehicleAlertListModel::VehicleAlertListModel(MultiVehicleManager* vehicles, QObject* parent)
    : QAbstractListModel(parent)
    , m_vehicles(vehicles)
{
    if (!vehicles)
        return;
    connect(vehicles, &MultiVehicleManager::vehicleJoined, this, &VehicleAlertListModel::watch);
    connect(vehicles, &MultiVehicleManager::vehicleLeft, this, &VehicleAlertListModel::forget);
    for (const auto& vehicle : vehicles->vehicleList())
        watch(vehicle);
}

void VehicleAlertListModel::watch(const std::shared_ptr<VehicleController>& vehicle)
{
    const auto alerts = vehicle ? vehicle->alertCtrler() : nullptr;
    if (!alerts)
        return;
    const VehicleController* v = vehicle.get();
    connect(alerts.get(), &VehicleAlertController::alertChanged, this,
            [this, v](const VehicleAlert& alert) { apply(v, alert); });
    for (const auto& alert : alerts->activeAlerts())
        apply(v, alert);
}

void VehicleAlertListModel::forget(const std::shared_ptr<VehicleController>& vehicle)
{
    if (!vehicle)
        return;
    if (const auto alerts = vehicle->alertCtrler())
        disconnect(alerts.get(), nullptr, this, nullptr);
    const int before = count();
    for (int row = count() - 1; row >= 0; --row) {
        if (m_rows[size_t(row)].vehicle != vehicle.get())
            continue;
        beginRemoveRows(QModelIndex(), row, row);
        m_rows.erase(m_rows.begin() + row);
        endRemoveRows();
    }
    if (count() != before)
        emit countChanged();
}

void VehicleAlertListModel::apply(const VehicleController* vehicle, const VehicleAlert& alert)
{
    const auto it = std::find_if(m_rows.begin(), m_rows.end(),
                                 [&](const Row& r) { return r.vehicle == vehicle && r.alert.key == alert.key; });
    const int row = int(it - m_rows.begin());
    if (alert.state == VehicleAlertState::Cleared) {
        if (it == m_rows.end())
            return;
        beginRemoveRows(QModelIndex(), row, row);
        m_rows.erase(it);
        endRemoveRows();
        emit countChanged();
    } else if (it == m_rows.end()) {
        beginInsertRows(QModelIndex(), row, row);
        m_rows.push_back({vehicle, alert});
        endInsertRows();
        emit countChanged();
    } else {
        const bool levelChanged = it->alert.level != alert.level;
        it->alert = alert;
        emit dataChanged(index(row), index(row), {});
        if (levelChanged)
            emit countChanged();
    }
}

int VehicleAlertListModel::criticalCount() const
{
    return int(std::count_if(m_rows.begin(), m_rows.end(),
                             [](const Row& r) { return r.alert.level == VehicleAlertLevel::Critical; }));
}

int VehicleAlertListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant VehicleAlertListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= count())
        return QVariant();
    const VehicleAlert& a = m_rows[size_t(index.row())].alert;
    switch (role) {
    case VehicleIdRole: return a.vehicleId;
    case VehicleCodeRole: return a.vehicleCode;
    case KeyRole: return a.key;
    case LevelRole: return int(a.level);
    case LevelTextRole: return VehicleAlert::levelText(a.level);
    case Qt::DisplayRole:
    case MessageRole: return VehicleAlertController::messageOf(a, QDateTime::currentMSecsSinceEpoch());
    case TimeMsRole: return qint64(a.timestampMs);
    default: return QVariant();
    }
}

QHash<int, QByteArray> VehicleAlertListModel::roleNames() const
{
    return {{VehicleIdRole, "vehicleId"}, {VehicleCodeRole, "vehicleCode"}, {KeyRole, "key"},      {LevelRole, "level"},
            {LevelTextRole, "levelText"}, {MessageRole, "message"},         {TimeMsRole, "timeMs"}};
}
