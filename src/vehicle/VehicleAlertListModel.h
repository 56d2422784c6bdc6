#pragma once
// The active alerts of every vehicle of the fleet as one list for a view, in the order they were
// raised: a raise adds a row, a change refreshes it, a clear removes it, and a vehicle that
// leaves takes its rows along. Roles by name: "vehicleId", "vehicleCode", "key", "level"
// (VehicleAlertLevel as int), "levelText" (Info, Warning, Critical), "message" (the operator's
// text, VehicleAlertController::messageOf), "timeMs" (when raised or last changed). count is the
// row count; criticalCount the rows at Critical. Main thread only.

#include "telemetry/VehicleAlert.h"

#include <QAbstractListModel>
#include <QPointer>

#include <memory>
#include <vector>

class MultiVehicleManager;
class VehicleController;

class VehicleAlertListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(int criticalCount READ criticalCount NOTIFY countChanged)
public:
    enum Role {
        VehicleIdRole = Qt::UserRole + 1,
        VehicleCodeRole,
        KeyRole,
        LevelRole,
        LevelTextRole,
        MessageRole,
        TimeMsRole,
    };

    explicit VehicleAlertListModel(MultiVehicleManager* vehicles, QObject* parent = nullptr);

    int count() const { return int(m_rows.size()); }
    int criticalCount() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    struct Row {
        const VehicleController* vehicle = nullptr;
        VehicleAlert alert;
    };
    void watch(const std::shared_ptr<VehicleController>& vehicle);
    void forget(const std::shared_ptr<VehicleController>& vehicle);
    void apply(const VehicleController* vehicle, const VehicleAlert& alert);

    QPointer<MultiVehicleManager> m_vehicles;
    std::vector<Row> m_rows;
};
