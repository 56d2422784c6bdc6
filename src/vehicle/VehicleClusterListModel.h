#pragma once
// The slots of the vehicle cluster view, one row each. Rows change only through addVehicle(s)
// and removeVehicle: a slot's own changes are not model changes, views follow each slot's
// signals (itemAt gives the slot of a row).

#include <QAbstractListModel>
#include <QList>

#include <memory>

class VehicleClusterListDataItem;

class VehicleClusterListModel : public QAbstractListModel {
    Q_OBJECT
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
    };

    explicit VehicleClusterListModel(QObject* parent = nullptr);

    void addVehicle(const std::shared_ptr<VehicleClusterListDataItem>& item);
    void addVehicles(const QList<std::shared_ptr<VehicleClusterListDataItem>>& items);
    // Removes the first row showing that vehicle id, if any.
    void removeVehicle(int vehicleId);
    std::shared_ptr<VehicleClusterListDataItem> itemAt(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    QList<std::shared_ptr<VehicleClusterListDataItem>> m_items;
};

using VehicleClusterListModelPtr = std::shared_ptr<VehicleClusterListModel>;
