#include "GcsCliFirmwareOutcomes.h"

#include "firmware/FirmwareUpdateController.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavParamsController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

using nlohmann::json;
using Step = FirmwareEnums::UpdateStep;
using Result = FirmwareEnums::UpdateResult;

GcsCliFirmwareOutcomes::GcsCliFirmwareOutcomes(QObject* parent) : QObject(parent) {}

void GcsCliFirmwareOutcomes::followVehicles(MultiVehicleManager* vehicleMgr)
{
    if (!vehicleMgr || vehicleMgr == m_vehicleMgr.data())
        return;
    m_vehicleMgr = vehicleMgr;
    connect(vehicleMgr, &MultiVehicleManager::vehicleJoined, this, &GcsCliFirmwareOutcomes::follow);
    for (const auto& vehicle : vehicleMgr->vehicleList())
        follow(vehicle);
}

void GcsCliFirmwareOutcomes::follow(const std::shared_ptr<VehicleController>& vehicle)
{
    const auto ctrl = vehicle ? vehicle->firmwareUpdateCtrler() : nullptr;
    VehicleController* raw = vehicle.get();
    if (!ctrl || m_updates.count(raw))
        return;
    m_updates[raw] = {};
    connect(raw, &QObject::destroyed, this, [this, raw] { m_updates.erase(raw); });
    FirmwareUpdateController* c = ctrl.get();
    connect(c, &FirmwareUpdateController::updateStepAndProgressChanged, this,
            [this, raw, c](Step step, int done, int total) {
                Update& u = m_updates[raw];
                if (step == Step::Reset) {
                    // A new update, from here or another front end.
                    u = {};
                    u.path = c->filePath().toStdString();
                }
                u.step = int(step);
                if (step == Step::UploadingData) {
                    u.framesAcked = done;
                    u.frameCount = total;
                }
            });
    connect(c, &FirmwareUpdateController::updateFinished, this, [this, raw, c](Result ret) {
        Update& u = m_updates[raw];
        u.step = int(c->updateStep());
        u.result = int(ret);
    });
}

json GcsCliFirmwareOutcomes::status(const std::shared_ptr<VehicleController>& vehicle) const
{
    const auto ctrl = vehicle ? vehicle->firmwareUpdateCtrler() : nullptr;
    const auto it = m_updates.find(vehicle.get());
    const Update u = it == m_updates.end() ? Update{} : it->second;
    const auto basic = vehicle && vehicle->paramsCtrler() ? vehicle->paramsCtrler()->basicParamsDataItem() : nullptr;
    QString version = basic ? basic->version() : QString();
    version.remove(QChar(0));
    return {{"vehicleId", vehicle ? vehicle->vehicleId() : -1},
            {"running", ctrl && ctrl->isRunning()},
            {"step", FirmwareEnums::name(Step(u.step)).toStdString()},
            {"framesAcked", u.framesAcked},
            {"frameCount", u.frameCount},
            {"percent", u.frameCount > 0 ? 100.0 * u.framesAcked / u.frameCount : 0.0},
            {"result", u.result ? json(FirmwareEnums::name(Result(*u.result)).toStdString()) : json(nullptr)},
            {"resultCode", u.result ? json(*u.result) : json(nullptr)},
            {"path", u.path},
            {"vehicleVersion", version.toStdString()}};
}
