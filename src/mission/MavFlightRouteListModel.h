#pragma once
// The route store's routes as a one-column list, one row per route in the order they joined:
// "<name>(ID:<number>,Count:<waypoints>)". Follows the store's signals and each route's name,
// number and waypoint count; never changes the data. Main thread only.
// Roles by name: "display" (the label above), "routeId", "name", "number", "wayPointCount",
// "repeatTimes"; each route change refreshes its row. count is the row count.

#include "mission/MavFlightRouteManager.h"

#include <QAbstractListModel>

#include <memory>
#include <vector>

class MavFlightRouteListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role { RouteIdRole = Qt::UserRole + 1, NameRole, NumberRole, WayPointCountRole, RepeatTimesRole };
    explicit MavFlightRouteListModel(QObject* parent = nullptr);

    // Shows the store's current routes and follows it from then on.
    void setFlightRouteMgr(const std::shared_ptr<MavFlightRouteManager>& mgr);

    std::shared_ptr<MavFlightRouteDataItem> indexToFlightRoute(const QModelIndex& index) const;
    QModelIndex flightRouteToIndex(const std::shared_ptr<MavFlightRouteDataItem>& route) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    int count() const { return int(m_flightRoutes.size()); }
    // The row of the route with that id, or -1.
    Q_INVOKABLE int rowOfRoute(const QString& routeId) const;

signals:
    void countChanged();
    void flightRouteAdded(std::shared_ptr<MavFlightRouteDataItem> flightRoute);

private slots:
    void handleFlightRouteAdded(std::shared_ptr<MavFlightRouteDataItem> route);
    void handleFlightRouteWillRemoved(std::shared_ptr<MavFlightRouteDataItem> route);
    void handleFlightRoutesWillBeReset();
    void handleFlightRoutesReset();
    void handleRouteRowLabelNeedsRefresh();

private:
    void watchRoute(MavFlightRouteDataItem* route);
    void resetRows(const std::vector<std::shared_ptr<MavFlightRouteDataItem>>& routes);

    std::shared_ptr<MavFlightRouteManager> m_flightRouteMgr;
    std::vector<std::shared_ptr<MavFlightRouteDataItem>> m_flightRoutes;
};
