#pragma once
// The waypoints of the mission controller's active route as a 15-column table, one row per
// waypoint in route order. Follows the controller (active route switched, waypoints added,
// removed, reset) and each waypoint's change signals, one cell per change; never changes data.
// The distance and direction columns come from the user interface's query object and show
// "--" on the last row or without one; they get no change notification of their own.
// Roles by name: "display" and "edit" (the cell's text) and "wayPoint" (the row's
// MavWayPointDataItem, the same in every column, whose properties notify their own changes: a
// map binds to it). count is the row count. Main thread only.

#include "mission/MavAbstractWayPointsRelationDataQuery.h"
#include "mission/MavMissionsController.h"
#include "mission/MavWayPointDataItem.h"

#include <QAbstractTableModel>

#include <memory>
#include <vector>

class MavWayPointsTableModel : public QAbstractTableModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role { WayPointRole = Qt::UserRole + 1 };
    enum MavWpTableColumn {
        ColNumber = 0,
        ColType,
        ColLon,
        ColLat,
        ColAlt,
        ColVel,
        ColRadius,
        ColHeadingDirection,
        ColTraceMode,
        ColHoverTime,
        ColNextWp,
        ColHeading,
        ColDistance,
        ColDirection,
        ColOperation,
        ColCount
    };
    Q_ENUM(MavWpTableColumn)

    explicit MavWayPointsTableModel(QObject* parent = nullptr);

    void setMissionsCtrler(const std::shared_ptr<MavMissionsController>& ctrler);
    void setWayPointsRelationDataQueryer(const std::shared_ptr<MavAbstractWayPointsRelationDataQuery>& query);

    std::shared_ptr<MavWayPointDataItem> indexToWayPoint(const QModelIndex& index) const;
    QModelIndex wayPointToIndex(const std::shared_ptr<MavWayPointDataItem>& wp, int column = ColNumber) const;
    QModelIndexList wayPointToIndexList(const std::shared_ptr<MavWayPointDataItem>& wp) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    int count() const { return int(m_wayPoints.size()); }

signals:
    void countChanged();

private slots:
    void handleActiveFlightRouteChanged();
    void handleWayPointAdded(std::shared_ptr<MavWayPointDataItem> wp);
    void handleWayPointWillRemoved(std::shared_ptr<MavWayPointDataItem> wp);

private:
    void watchWayPoint(MavWayPointDataItem* wp);
    void cellChanged(MavWayPointDataItem* wp, int column);
    int rowOf(const MavWayPointDataItem* wp) const;

    std::shared_ptr<MavMissionsController> m_missionsCtrler;
    std::vector<std::shared_ptr<MavWayPointDataItem>> m_wayPoints;
    std::weak_ptr<MavAbstractWayPointsRelationDataQuery> m_relationDataQuery;
};
