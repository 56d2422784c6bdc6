#pragma once
// The route store's routes as a one-column list, one row per route in the order they joined:
// "<name>(ID:<number>,Count:<waypoints>)". Follows the store's signals and each route's name,
// number and waypoint count; never changes the data. Main thread only.

#include "mission/MavFlightRouteManager.h"

#include <QAbstractListModel>

#include <memory>
#include <vector>

class MavFlightRouteListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit MavFlightRouteListModel(QObject* parent = nullptr);

    // Shows the store's current routes and follows it from then on.
    void setFlightRouteMgr(const std::shared_ptr<MavFlightRouteManager>& mgr);

    std::shared_ptr<MavFlightRouteDataItem> indexToFlightRoute(const QModelIndex& index) const;
    QModelIndex flightRouteToIndex(const std::shared_ptr<MavFlightRouteDataItem>& route) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

signals:
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
