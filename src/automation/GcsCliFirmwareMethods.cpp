#include "GcsCliFirmwareMethods.h"

#include "GcsCliFirmwareOutcomes.h"
#include "GcsCliOutcomeRecorder.h"
#include "app/GcsAppController.h"
#include "firmware/FirmwareUpdateController.h"
#include "settings/GcsSettings.h"
#include "vehicle/VehicleController.h"

#include "MavProtoFirmwareProcesser.h"

#include <QDir>
#include <QFileInfo>

#include <spdlog/spdlog.h>

namespace gcscli {
namespace {

using Startup = FirmwareEnums::UpdateStartupResult;

// The vehicle must take commands now: local, over an open link, alive.
Failure checkReachable(const Call& call, const VehicleController& vehicle)
{
    if (!vehicle.isLocal())
        return rejected("firmware.update requires a locally controllable vehicle; Remote monitoring targets are not "
                        "supported");
    if (!call.ctrl->isConnected())
        return rejected("GCS link is not connected; firmware update is blocked");
    if (!vehicle.alive())
        return rejected("Target vehicle is not alive; firmware update is blocked");
    return {};
}

Failure checkImage(const std::string& path, qint64& size)
{
    const QString file = QString::fromStdString(path);
    if (!QDir::isAbsolutePath(file))
        return invalid("path must be absolute");
    const QFileInfo info(file);
    if (!info.isFile() || info.size() == 0)
        return invalid("Firmware file does not exist or is empty: " + path);
    if (info.size() > FirmwareUpdateController::kMaxImageSize)
        return invalid("Firmware file too large: at most " + std::to_string(FirmwareUpdateController::kMaxImageSize) +
                       " bytes");
    size = info.size();
    return {};
}

json firmwareUpdate(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    std::string path;
    qint64 size = 0;
    if (auto f = readString(*call.params, "path", path); f || (f = checkImage(path, size)))
        return refuse(call, *f);
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle); f || (f = checkReachable(call, *vehicle)))
        return refuse(call, *f);
    const auto ctrl = vehicle->firmwareUpdateCtrler();
    if (!ctrl)
        return refuse(call, *rejected("Firmware update is not available for this vehicle"));
    if (ctrl->isRunning())
        return refuse(call, *rejected("Firmware update already running on this vehicle"));
    auto* settings = GcsSettings::getInstance();
    const Startup ret = ctrl->updateFirmware(QString::fromStdString(path),
                                             uint(settings->firmwareUpdateFirmInfoTimeoutMs()),
                                             uint(settings->firmwareUpdateResetCommandTimeoutMs()));
    switch (ret) {
    case Startup::Ok:
        break;
    case Startup::FailedBusy:
        return refuse(call, *rejected("Firmware update already running on this vehicle"));
    case Startup::FailedFirmFileNotValid:
        return refuse(call, *invalid("Firmware file does not exist or is empty: " + path));
    default:
        return refuse(call, Refusal{ErrorCode::NoActiveVehicle, "No matching vehicle or no active vehicle"});
    }
    const int64_t requestId = nextRequestId();
    spdlog::info("<cli-router> firmware.update of vehicle {} from {} started, requestId {}", vehicle->vehicleId(), path,
                 requestId);
    return GcsCliResponse::makeSuccess({{"accepted", true},
                                        {"requestId", requestId},
                                        {"vehicleId", vehicle->vehicleId()},
                                        {"path", path},
                                        {"totalSize", size},
                                        {"frameCount", MavProtoFirmwareProcesser::frameCount(uint32_t(size))}});
}

json firmwareStatus(const Call& call)
{
    VehicleControllerPtr vehicle;
    if (auto f = requireOutcomes(call); f || (f = resolveTarget(call, vehicle)))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess(call.outcomes->firmware().status(vehicle));
}

}  // namespace

const std::vector<MethodSpec>& firmwareMethods()
{
    static const std::vector<MethodSpec> table = {
        {"firmware.update",
         firmwareUpdate,
         "Sends a firmware image to a vehicle; follow it with firmware.status.",
         {{"path", "string", true, {}, "absolute path of the image file"}, kVehicleIdParam, kVehicleCodeParam}},
        {"firmware.status",
         firmwareStatus,
         "Step, progress and result of a vehicle's firmware update, and its reported version.",
         {kVehicleIdParam, kVehicleCodeParam}},
    };
    return table;
}

}  // namespace gcscli
