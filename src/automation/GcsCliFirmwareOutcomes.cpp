#include "GcsCliFirmwareOutcomes.h"

#include "firmware/FirmwareUpdateController.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavParamsController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include "MavProtoFirmwareProcesser.h"

#include <algorithm>

using nlohmann::json;
using Step = FirmwareEnums::UpdateStep;
using Result = FirmwareEnums::UpdateResult;

GcsCliFirmwareOutcomes::GcsCliFirmwareOutcomes(QObject* parent)
    : QObject(parent)
{
    m_clock.start();
}

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
    FirmwareUpdateController* c = ctrl.get();
    if (!c || m_followed.count(c))
        return;
    m_followed.insert(c);
    const int vehicleId = vehicle->vehicleId();
    connect(c, &QObject::destroyed, this, [this, c] {
        m_followed.erase(c);
        m_current.erase(c);
    });
    connect(c, &FirmwareUpdateController::updateStepAndProgressChanged, this,
            [this, c, vehicleId](Step step, int done, int total) {
                // A new update, from here or another front end.
                if (step == Step::Reset)
                    begin(c, vehicleId);
                Update* u = currentOf(c);
                if (!u)
                    return;
                u->step = int(step);
                if (step == Step::UploadingData) {
                    u->framesAcked = done;
                    u->frameCount = total;
                    u->lastProgressMs = m_clock.elapsed();
                    if (u->uploadStartMs < 0)
                        u->uploadStartMs = u->lastProgressMs;
                }
            });
    connect(c, &FirmwareUpdateController::updateFinished, this, [this, c](Result ret) {
        Update* u = currentOf(c);
        if (!u || u->result)
            return;
        u->step = int(c->updateStep());
        u->result = int(ret);
    });
}

void GcsCliFirmwareOutcomes::begin(FirmwareUpdateController* ctrl, int vehicleId)
{
    Update u;
    u.vehicleId = vehicleId;
    u.step = int(ctrl->updateStep());
    u.path = ctrl->filePath().toStdString();
    u.sha256 = ctrl->imageSha256().toStdString();
    u.totalSize = ctrl->imageSize();
    u.frameCount = ctrl->imageFrameCount();
    const int64_t key = m_nextLocalKey--;
    keep(key, std::move(u));
    m_current[ctrl] = key;
    m_latest[vehicleId] = key;
}

GcsCliFirmwareOutcomes::Update* GcsCliFirmwareOutcomes::currentOf(FirmwareUpdateController* ctrl)
{
    const auto key = m_current.find(ctrl);
    if (key == m_current.end())
        return nullptr;
    const auto it = m_updates.find(key->second);
    return it == m_updates.end() ? nullptr : &it->second;
}

void GcsCliFirmwareOutcomes::keep(int64_t key, Update update)
{
    m_updates[key] = std::move(update);
    m_order.push_back(key);
    while (m_order.size() > kMaxUpdates) {
        m_updates.erase(m_order.front());
        m_order.pop_front();
    }
}

void GcsCliFirmwareOutcomes::adopt(int64_t requestId, const std::shared_ptr<VehicleController>& vehicle)
{
    follow(vehicle);
    const auto ctrl = vehicle ? vehicle->firmwareUpdateCtrler() : nullptr;
    if (!ctrl)
        return;
    if (!currentOf(ctrl.get()))
        begin(ctrl.get(), vehicle->vehicleId());
    const int64_t old = m_current[ctrl.get()];
    Update u = m_updates[old];
    m_updates.erase(old);
    if (const auto at = std::find(m_order.begin(), m_order.end(), old); at != m_order.end())
        m_order.erase(at);
    u.requestId = requestId;
    const int vehicleId = u.vehicleId;
    keep(requestId, std::move(u));
    m_current[ctrl.get()] = requestId;
    m_latest[vehicleId] = requestId;
}

std::optional<json> GcsCliFirmwareOutcomes::statusOfRequest(int64_t requestId) const
{
    const auto it = m_updates.find(requestId);
    if (requestId <= 0 || it == m_updates.end())
        return std::nullopt;
    return describe(it->second);
}

json GcsCliFirmwareOutcomes::statusOfVehicle(int vehicleId) const
{
    const auto key = m_latest.find(vehicleId);
    const auto it = key == m_latest.end() ? m_updates.end() : m_updates.find(key->second);
    if (it != m_updates.end())
        return describe(it->second);
    Update idle;
    idle.vehicleId = vehicleId;
    return describe(idle);
}

json GcsCliFirmwareOutcomes::describe(const Update& u) const
{
    const auto vehicle = m_vehicleMgr ? m_vehicleMgr->findVehicleControllerById(u.vehicleId) : nullptr;
    const auto basic = vehicle && vehicle->paramsCtrler() ? vehicle->paramsCtrler()->basicParamsDataItem() : nullptr;
    QString version = basic ? basic->version() : QString();
    version.remove(QChar(0));

    const int64_t bytes =
        std::min<int64_t>(int64_t(u.framesAcked) * MavProtoFirmwareProcesser::kMaxFrameData, u.totalSize);
    // The rate of the data phase alone: the final-ack wait moves no bytes.
    const double seconds = u.uploadStartMs >= 0 ? double(u.lastProgressMs - u.uploadStartMs) / 1000.0 : 0.0;
    const double bytesPerSecond = seconds > 0 ? double(bytes) / seconds : 0.0;
    json eta = nullptr;
    if (u.result)
        eta = 0.0;
    else if (bytesPerSecond > 0)
        eta = double(u.totalSize - bytes) / bytesPerSecond;
    const bool started = u.requestId != 0 || !u.path.empty();
    return {{"requestId", u.requestId > 0 ? json(u.requestId) : json(nullptr)},
            {"vehicleId", u.vehicleId},
            {"running", started && !u.result},
            {"step", FirmwareEnums::name(Step(u.step)).toStdString()},
            {"framesAcked", u.framesAcked},
            {"frameCount", u.frameCount},
            {"percent", u.frameCount > 0 ? 100.0 * u.framesAcked / u.frameCount : 0.0},
            {"result", u.result ? json(FirmwareEnums::name(Result(*u.result)).toStdString()) : json(nullptr)},
            {"resultCode", u.result ? json(*u.result) : json(nullptr)},
            {"path", u.path},
            {"sha256", u.sha256},
            {"totalSize", u.totalSize},
            {"bytesPerSecond", bytesPerSecond},
            {"etaSeconds", eta},
            {"vehicleVersion", version.toStdString()}};
}
