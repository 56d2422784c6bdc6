#include "VehicleClusterController.h"

#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleClusterListDataItem.h"
#include "vehicle/VehicleClusterListModel.h"
#include "vehicle/VehicleController.h"

#include <spdlog/spdlog.h>

VehicleClusterController::VehicleClusterController(MultiVehicleManager* multiVehicleMgr, QObject* parent)
    : QObject(parent)
    , m_multiVehicleMgr(multiVehicleMgr)
{
    if (multiVehicleMgr) {
        connect(multiVehicleMgr, &MultiVehicleManager::vehicleJoined, this,
                &VehicleClusterController::handleVehicleJoined);
    }
}

std::shared_ptr<VehicleClusterListModel> VehicleClusterController::getClusterListModel()
{
    createClusterListModelIfNeed();
    return m_model;
}

void VehicleClusterController::createClusterListModelIfNeed()
{
    if (m_model)
        return;
    m_model = std::make_shared<VehicleClusterListModel>();
    m_items.clear();
    QList<std::shared_ptr<VehicleClusterListDataItem>> fixedSlots;
    for (int id = 1; id <= kFixedSlotCount; ++id) {
        auto item = std::make_shared<VehicleClusterListDataItem>(id);
        m_items.emplace(id, item);
        fixedSlots.append(item);
    }
    m_model->addVehicles(fixedSlots);
    if (!m_multiVehicleMgr)
        return;
    for (const auto& vehicle : m_multiVehicleMgr->vehicleList()) {
        if (!vehicle)
            continue;
        spdlog::debug("<VehicleCluster> init cluster model with vehicle, vehicle id: {}", vehicle->vehicleId());
        bindVehicle(vehicle);
    }
}

void VehicleClusterController::handleVehicleJoined(std::shared_ptr<VehicleController> vehicle)
{
    if (!vehicle)
        return;
    createClusterListModelIfNeed();
    spdlog::info("<VehicleCluster> handleVehicleJoined: vehicleId={}", vehicle->vehicleId());
    bindVehicle(vehicle);
}

void VehicleClusterController::bindVehicle(const std::shared_ptr<VehicleController>& vehicle)
{
    const int id = vehicle->vehicleId();
    if (id < 0) {
        spdlog::debug("<VehicleCluster> vehicle without id, code {}, gets no slot",
                      vehicle->vehicleCode().toStdString());
        return;
    }
    auto it = m_items.find(id);
    if (it != m_items.end()) {
        it->second->setVehicleController(vehicle);
        return;
    }
    auto item = std::make_shared<VehicleClusterListDataItem>(id);
    item->setVehicleController(vehicle);
    m_items.emplace(id, item);
    m_model->addVehicle(item);
}
