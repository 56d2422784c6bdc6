#include "MavWayPointsTableModel.h"

#include "mission/MavFlightRouteDataItem.h"

#include <algorithm>

MavWayPointsTableModel::MavWayPointsTableModel(QObject* parent)
    : QAbstractTableModel(parent)
{
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(this, signal, this, &MavWayPointsTableModel::countChanged);
    connect(this, &QAbstractItemModel::modelReset, this, &MavWayPointsTableModel::countChanged);
}

void MavWayPointsTableModel::setMissionsCtrler(const std::shared_ptr<MavMissionsController>& ctrler)
{
    if (m_missionsCtrler)
        disconnect(m_missionsCtrler.get(), nullptr, this, nullptr);
    m_missionsCtrler = ctrler;
    if (ctrler) {
        connect(ctrler.get(), &MavMissionsController::wayPointAdded, this,
                &MavWayPointsTableModel::handleWayPointAdded);
        connect(ctrler.get(), &MavMissionsController::wayPointWillRemoved, this,
                &MavWayPointsTableModel::handleWayPointWillRemoved);
        connect(ctrler.get(), &MavMissionsController::activeFlightRouteChanged, this,
                &MavWayPointsTableModel::handleActiveFlightRouteChanged);
        connect(ctrler.get(), &MavMissionsController::wayPointsReset, this,
                &MavWayPointsTableModel::handleActiveFlightRouteChanged);
    }
    handleActiveFlightRouteChanged();
}

void MavWayPointsTableModel::setWayPointsRelationDataQueryer(
    const std::shared_ptr<MavAbstractWayPointsRelationDataQuery>& query)
{
    m_relationDataQuery = query;
}

void MavWayPointsTableModel::handleActiveFlightRouteChanged()
{
    beginResetModel();
    for (const auto& wp : m_wayPoints)
        disconnect(wp.get(), nullptr, this, nullptr);
    m_wayPoints.clear();
    const auto route = m_missionsCtrler ? m_missionsCtrler->activeFlightRoute() : nullptr;
    if (route) {
        for (const auto& wp : route->wayPointList()) {
            if (!wp)
                continue;
            m_wayPoints.push_back(wp);
            watchWayPoint(wp.get());
        }
    }
    endResetModel();
}

void MavWayPointsTableModel::handleWayPointAdded(std::shared_ptr<MavWayPointDataItem> wp)
{
    if (!wp || rowOf(wp.get()) >= 0)
        return;
    const int row = int(m_wayPoints.size());
    beginInsertRows(QModelIndex(), row, row);
    m_wayPoints.push_back(wp);
    endInsertRows();
    watchWayPoint(wp.get());
}

void MavWayPointsTableModel::handleWayPointWillRemoved(std::shared_ptr<MavWayPointDataItem> wp)
{
    const int row = wp ? rowOf(wp.get()) : -1;
    if (row < 0)
        return;
    disconnect(wp.get(), nullptr, this, nullptr);
    beginRemoveRows(QModelIndex(), row, row);
    m_wayPoints.erase(m_wayPoints.begin() + row);
    endRemoveRows();
}

void MavWayPointsTableModel::watchWayPoint(MavWayPointDataItem* wp)
{
    using W = MavWayPointDataItem;
    const std::pair<void (W::*)(), int> cells[] = {
        {&W::numberChanged, ColNumber},
        {&W::typeChanged, ColType},
        {&W::lonChanged, ColLon},
        {&W::latChanged, ColLat},
        {&W::altChanged, ColAlt},
        {&W::velChanged, ColVel},
        {&W::radiusChanged, ColRadius},
        {&W::headingDirectionChanged, ColHeadingDirection},
        {&W::traceModeChanged, ColTraceMode},
        {&W::hoverTimeChanged, ColHoverTime},
        {&W::nextWpChanged, ColNextWp},
        {&W::headingChanged, ColHeading},
    };
    for (const auto& [signal, column] : cells)
        connect(wp, signal, this, [this, wp, column = column] { cellChanged(wp, column); });
}

void MavWayPointsTableModel::cellChanged(MavWayPointDataItem* wp, int column)
{
    const int row = rowOf(wp);
    if (row < 0)
        return;
    const QModelIndex cell = index(row, column);
    emit dataChanged(cell, cell, {});
}

int MavWayPointsTableModel::rowOf(const MavWayPointDataItem* wp) const
{
    const auto it = std::find_if(m_wayPoints.begin(), m_wayPoints.end(), [&](const auto& w) { return w.get() == wp; });
    return it == m_wayPoints.end() ? -1 : int(it - m_wayPoints.begin());
}

std::shared_ptr<MavWayPointDataItem> MavWayPointsTableModel::indexToWayPoint(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this || index.parent().isValid() || index.row() >= int(m_wayPoints.size()))
        return nullptr;
    return m_wayPoints[size_t(index.row())];
}

QModelIndex MavWayPointsTableModel::wayPointToIndex(const std::shared_ptr<MavWayPointDataItem>& wp, int column) const
{
    const int row = wp ? rowOf(wp.get()) : -1;
    return row < 0 ? QModelIndex() : index(row, column);
}

QModelIndexList MavWayPointsTableModel::wayPointToIndexList(const std::shared_ptr<MavWayPointDataItem>& wp) const
{
    QModelIndexList list;
    const int row = wp ? rowOf(wp.get()) : -1;
    for (int column = 0; row >= 0 && column < ColCount; ++column)
        list.append(index(row, column));
    return list;
}

int MavWayPointsTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_wayPoints.size());
}

int MavWayPointsTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColCount;
}

QHash<int, QByteArray> MavWayPointsTableModel::roleNames() const
{
    return {{Qt::DisplayRole, "display"}, {Qt::EditRole, "edit"}, {WayPointRole, "wayPoint"}};
}

QVariant MavWayPointsTableModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::EditRole && role != WayPointRole)
        return QVariant();
    const auto wp = indexToWayPoint(index);
    if (!wp)
        return QVariant();
    if (role == WayPointRole)
        return QVariant::fromValue(static_cast<QObject*>(wp.get()));
    const auto fixed = [](double v, int decimals) { return QString::number(v, 'f', decimals); };
    switch (index.column()) {
    case ColNumber: return wp->number();
    case ColType: return wp->typeText();
    case ColLon: return fixed(wp->lon(), 8);
    case ColLat: return fixed(wp->lat(), 8);
    case ColAlt: return fixed(wp->alt(), 1);
    case ColVel: return fixed(wp->vel(), 2);
    case ColRadius: return fixed(wp->radius(), 2);
    case ColHeadingDirection: return wp->headingDirectionText();
    case ColTraceMode: return wp->traceModeText();
    case ColHoverTime: return int(wp->hoverTime());
    case ColNextWp: return int(wp->nextWp());
    case ColHeading: return fixed(wp->heading(), 1);
    case ColDistance:
    case ColDirection: {
        const auto query = m_relationDataQuery.lock();
        if (!query || index.row() + 1 >= rowCount())
            return QStringLiteral("--");
        double distance = 0;
        double direction = 0;
        query->queryWayPointRelationData(wp->number(), distance, direction);
        return fixed(index.column() == ColDistance ? distance : direction, 2);
    }
    default: return QString();
    }
}

QVariant MavWayPointsTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case ColNumber: return tr("编号");
    case ColType: return tr("类型");
    case ColLon: return tr("经度(°)");
    case ColLat: return tr("纬度(°)");
    case ColAlt: return tr("高度(m)");
    case ColVel: return tr("速度(m/s)");
    case ColRadius: return tr("航点半径(m)");
    case ColHeadingDirection: return tr("航向指向");
    case ColTraceMode: return tr("转弯模式");
    case ColHoverTime: return tr("悬停时间(s)");
    case ColNextWp: return tr("下个航点");
    case ColHeading: return tr("航向");
    case ColDistance: return tr("距离↓(m)");
    case ColDirection: return tr("方向↓(°)");
    case ColOperation: return tr("操作");
    default: return QVariant();
    }
}
