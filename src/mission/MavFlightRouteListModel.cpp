#include "MavFlightRouteListModel.h"

#include <algorithm>

MavFlightRouteListModel::MavFlightRouteListModel(QObject* parent)
    : QAbstractListModel(parent)
{
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(this, signal, this, &MavFlightRouteListModel::countChanged);
    connect(this, &QAbstractItemModel::modelReset, this, &MavFlightRouteListModel::countChanged);
}

void MavFlightRouteListModel::setFlightRouteMgr(const std::shared_ptr<MavFlightRouteManager>& mgr)
{
    if (m_flightRouteMgr)
        disconnect(m_flightRouteMgr.get(), nullptr, this, nullptr);
    m_flightRouteMgr = mgr;
    resetRows(mgr ? mgr->flightRoutes() : std::vector<std::shared_ptr<MavFlightRouteDataItem>>());
    if (!mgr)
        return;
    connect(mgr.get(), &MavFlightRouteManager::flightRouteAdded, this,
            &MavFlightRouteListModel::handleFlightRouteAdded);
    connect(mgr.get(), &MavFlightRouteManager::flightRouteWillRemoved, this,
            &MavFlightRouteListModel::handleFlightRouteWillRemoved);
    connect(mgr.get(), &MavFlightRouteManager::flightRoutesWillBeReset, this,
            &MavFlightRouteListModel::handleFlightRoutesWillBeReset);
    connect(mgr.get(), &MavFlightRouteManager::flightRoutesReset, this,
            &MavFlightRouteListModel::handleFlightRoutesReset);
}

void MavFlightRouteListModel::watchRoute(MavFlightRouteDataItem* route)
{
    for (auto signal : {&MavFlightRouteDataItem::wayPointCountChanged, &MavFlightRouteDataItem::wayPointsReset,
                        &MavFlightRouteDataItem::nameChanged, &MavFlightRouteDataItem::numberChanged,
                        &MavFlightRouteDataItem::repeatTimesChanged})
        connect(route, signal, this, &MavFlightRouteListModel::handleRouteRowLabelNeedsRefresh);
}

void MavFlightRouteListModel::resetRows(const std::vector<std::shared_ptr<MavFlightRouteDataItem>>& routes)
{
    beginResetModel();
    for (const auto& route : m_flightRoutes)
        disconnect(route.get(), nullptr, this, nullptr);
    m_flightRoutes = routes;
    for (const auto& route : m_flightRoutes)
        watchRoute(route.get());
    endResetModel();
}

void MavFlightRouteListModel::handleFlightRouteAdded(std::shared_ptr<MavFlightRouteDataItem> route)
{
    if (!route || std::find(m_flightRoutes.begin(), m_flightRoutes.end(), route) != m_flightRoutes.end())
        return;
    const int row = int(m_flightRoutes.size());
    beginInsertRows(QModelIndex(), row, row);
    m_flightRoutes.push_back(route);
    endInsertRows();
    watchRoute(route.get());
    emit flightRouteAdded(route);
}

void MavFlightRouteListModel::handleFlightRouteWillRemoved(std::shared_ptr<MavFlightRouteDataItem> route)
{
    const auto it = std::find(m_flightRoutes.begin(), m_flightRoutes.end(), route);
    if (it == m_flightRoutes.end())
        return;
    disconnect(route.get(), nullptr, this, nullptr);
    const int row = int(it - m_flightRoutes.begin());
    beginRemoveRows(QModelIndex(), row, row);
    m_flightRoutes.erase(it);
    endRemoveRows();
}

// The store clears its list, then adds the refreshed routes one by one: the rows empty at once
// so that each route arrives as an ordinary insertion.
void MavFlightRouteListModel::handleFlightRoutesWillBeReset()
{
    resetRows({});
}

void MavFlightRouteListModel::handleFlightRoutesReset()
{
    if (m_flightRouteMgr && m_flightRouteMgr->flightRoutes() != m_flightRoutes)
        resetRows(m_flightRouteMgr->flightRoutes());
}

void MavFlightRouteListModel::handleRouteRowLabelNeedsRefresh()
{
    const auto* route = qobject_cast<MavFlightRouteDataItem*>(sender());
    const auto it =
        std::find_if(m_flightRoutes.begin(), m_flightRoutes.end(), [&](const auto& r) { return r.get() == route; });
    if (it == m_flightRoutes.end())
        return;
    const QModelIndex cell = index(int(it - m_flightRoutes.begin()));
    emit dataChanged(cell, cell);
}

std::shared_ptr<MavFlightRouteDataItem> MavFlightRouteListModel::indexToFlightRoute(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this || index.parent().isValid() ||
        index.row() >= int(m_flightRoutes.size()))
        return nullptr;
    return m_flightRoutes[size_t(index.row())];
}

QModelIndex MavFlightRouteListModel::flightRouteToIndex(const std::shared_ptr<MavFlightRouteDataItem>& route) const
{
    const auto it = std::find(m_flightRoutes.begin(), m_flightRoutes.end(), route);
    return !route || it == m_flightRoutes.end() ? QModelIndex() : index(int(it - m_flightRoutes.begin()));
}

int MavFlightRouteListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_flightRoutes.size());
}

QVariant MavFlightRouteListModel::data(const QModelIndex& index, int role) const
{
    const auto route = indexToFlightRoute(index);
    if (!route)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return QStringLiteral("%1(ID:%2,Count:%3)")
            .arg(route->name(), QString::number(route->number()), QString::number(route->wayPointCount()));
    case RouteIdRole: return route->id();
    case NameRole: return route->name();
    case NumberRole: return int(route->number());
    case WayPointCountRole: return route->wayPointCount();
    case RepeatTimesRole: return int(route->repeatTimes());
    default: return QVariant();
    }
}

QHash<int, QByteArray> MavFlightRouteListModel::roleNames() const
{
    return {{Qt::DisplayRole, "display"},    {Qt::EditRole, "edit"},
            {RouteIdRole, "routeId"},        {NameRole, "name"},
            {NumberRole, "number"},          {WayPointCountRole, "wayPointCount"},
            {RepeatTimesRole, "repeatTimes"}};
}

int MavFlightRouteListModel::rowOfRoute(const QString& routeId) const
{
    for (size_t row = 0; row < m_flightRoutes.size(); ++row)
        if (m_flightRoutes[row]->id() == routeId)
            return int(row);
    return -1;
}
