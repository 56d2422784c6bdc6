#pragma once
// The slots of the vehicle cluster view, one row each (VehicleClusterController keeps them).
// Rows change only through addVehicle(s) and removeVehicle. A slot's own changes (values,
// connection, alerts) reach views as dataChanged of its row, gathered: a row changed any number
// of times within kBatchMs is reported once, so a fleet of 253 vehicles at 5 Hz costs a view at
// most one refresh per row and batch. itemAt gives the slot of a row, whose signals are immediate.
//
// Every role has a name (roleNames), for views that bind by name. Values a vehicle has not
// reported are unknown: positionKnown is false before a fix, the texts are empty before the first
// flight status, supplyVoltage is NaN then, and an unbound slot has an empty linkState.

#include <QAbstractListModel>
#include <QList>
#include <QSet>
#include <QTimer>

#include <memory>

class VehicleClusterListDataItem;

class VehicleClusterListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role {
        VehicleIdRole = 257,
        IsConnectedRole,
        HeadingRole,
        RollRole,
        PitchRole,
        LongitudeRole,
        LatitudeRole,
        AltitudeRole,
        UpSpeedRole,
        BoundRole,
        VehicleCodeRole,
        LinkStateRole,
        PositionKnownRole,
        HomeKnownRole,
        HomeLatitudeRole,
        HomeLongitudeRole,
        GroundSpeedRole,
        StatusKnownRole,
        FlightModeTextRole,
        FlightStateTextRole,
        BatteryTextRole,
        SupplyVoltageRole,
        AlertCountRole,
        WorstAlertLevelRole,
    };
    Q_ENUM(Role)
    static constexpr int kBatchMs = 100;

    explicit VehicleClusterListModel(QObject* parent = nullptr);

    void addVehicle(const std::shared_ptr<VehicleClusterListDataItem>& item);
    void addVehicles(const QList<std::shared_ptr<VehicleClusterListDataItem>>& items);
    // Removes the first row showing that vehicle id, if any.
    void removeVehicle(int vehicleId);
    std::shared_ptr<VehicleClusterListDataItem> itemAt(int row) const;
    // The row of the slot of that vehicle id, or -1.
    Q_INVOKABLE int rowOfVehicle(int vehicleId) const;
    int count() const { return int(m_items.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    void watch(VehicleClusterListDataItem* item);
    void flushChangedRows();

    QList<std::shared_ptr<VehicleClusterListDataItem>> m_items;
    QSet<const VehicleClusterListDataItem*> m_changed;
    QTimer m_batch;
};

using VehicleClusterListModelPtr = std::shared_ptr<VehicleClusterListModel>;
