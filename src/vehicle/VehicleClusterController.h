#pragma once
// Keeps the vehicle cluster view's slots: ids 1 to 14 exist from the first use of the model, a
// joining vehicle binds the slot of its id (a new slot is appended for an id beyond them), and a
// vehicle joining again under the same id rebinds its slot. Slots are never dropped here;
// a vehicle that leaves stays bound until another one with its id joins.
//
// Vehicles without an id (watched remotely, id -1) get no slot: they would all share one.

#include <QObject>
#include <QPointer>

#include <map>
#include <memory>

class MultiVehicleManager;
class VehicleClusterListDataItem;
class VehicleClusterListModel;
class VehicleController;

class VehicleClusterController : public QObject {
    Q_OBJECT
public:
    static constexpr int kFixedSlotCount = 14;

    explicit VehicleClusterController(MultiVehicleManager* multiVehicleMgr, QObject* parent = nullptr);

    std::shared_ptr<VehicleClusterListModel> getClusterListModel();

private slots:
    void handleVehicleJoined(std::shared_ptr<VehicleController> vehicle);

private:
    void createClusterListModelIfNeed();
    void bindVehicle(const std::shared_ptr<VehicleController>& vehicle);

    QPointer<MultiVehicleManager> m_multiVehicleMgr;
    std::shared_ptr<VehicleClusterListModel> m_model;
    std::map<int, std::shared_ptr<VehicleClusterListDataItem>> m_items;
};

using VehicleClusterControllerPtr = std::shared_ptr<VehicleClusterController>;
