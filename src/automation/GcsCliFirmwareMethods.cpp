#include "GcsCliFirmwareMethods.h"

#include "GcsCliFirmwareOutcomes.h"
#include "GcsCliOutcomeRecorder.h"
#include "app/GcsAppController.h"
#include "firmware/FirmwareUpdateController.h"
#include "settings/GcsSettings.h"
#include "vehicle/VehicleController.h"

#include <QDir>

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>

namespace gcscli {
namespace {

using Startup = FirmwareEnums::UpdateStartupResult;

// The vehicle must take commands now: local, over an open link, alive. A forced start leaves
// aliveness to the controller, which skips it too.
Failure checkReachable(const Call& call, const VehicleController& vehicle, bool force)
{
    if (!vehicle.isLocal())
        return rejected("firmware.update requires a locally controllable vehicle; Remote monitoring targets are not "
                        "supported");
    if (!call.ctrl->isConnected())
        return rejected("GCS link is not connected; firmware update is blocked");
    if (!force && !vehicle.alive())
        return rejected("Target vehicle is not alive; firmware update is blocked");
    return {};
}

// Optional: 64 hex digits, either case.
Failure readSha256(const json& params, std::string& out)
{
    if (!params.contains("sha256"))
        return {};
    if (auto f = readString(params, "sha256", out))
        return f;
    const bool hex =
        std::all_of(out.begin(), out.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
    if (out.size() != 64 || !hex)
        return invalid("sha256 must be 64 hexadecimal digits");
    return {};
}

// The controller's refusal as the answer; its text says why.
Refusal startRefusal(Startup ret, const FirmwareUpdateController& ctrl, const std::string& path)
{
    const std::string why = ctrl.refusalText().toStdString();
    switch (ret) {
    case Startup::FailedBusy: return *rejected("Firmware update already running on this vehicle");
    case Startup::FailedFirmFileNotValid: return *invalid("Firmware file does not exist or is empty: " + path);
    case Startup::FailedReadFirmwareFile:
    case Startup::FailedChecksumMismatch: return *invalid("Firmware image refused: " + why);
    case Startup::FailedVehicleBusy:
        return *rejected("Firmware update refused: " + why +
                         "; the vehicle must be alive, landed and disarmed (force is for a bench or simulator only)");
    default: return Refusal{ErrorCode::NoActiveVehicle, "No matching vehicle or no active vehicle"};
    }
}

json firmwareUpdate(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    std::string path;
    std::string sha256;
    bool force = false;
    if (auto f = readString(*call.params, "path", path);
        f || (f = readSha256(*call.params, sha256)) || (f = readBool(*call.params, "force", force)))
        return refuse(call, *f);
    if (!QDir::isAbsolutePath(QString::fromStdString(path)))
        return refuse(call, *invalid("path must be absolute"));
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle); f || (f = checkReachable(call, *vehicle, force)))
        return refuse(call, *f);
    const auto ctrl = vehicle->firmwareUpdateCtrler();
    if (!ctrl)
        return refuse(call, *rejected("Firmware update is not available for this vehicle"));
    if (ctrl->isRunning())
        return refuse(call, *rejected("Firmware update already running on this vehicle"));
    auto* settings = GcsSettings::getInstance();
    const Startup ret = ctrl->updateFirmware(
        QString::fromStdString(path), uint(settings->firmwareUpdateFirmInfoTimeoutMs()),
        uint(settings->firmwareUpdateResetCommandTimeoutMs()), force, QString::fromStdString(sha256));
    if (ret != Startup::Ok)
        return refuse(call, startRefusal(ret, *ctrl, path));
    const int64_t requestId = nextRequestId();
    if (call.outcomes)
        call.outcomes->firmware().adopt(requestId, vehicle);
    spdlog::info("<cli-router> firmware.update of vehicle {} from {} started{}, requestId {}", vehicle->vehicleId(),
                 path, force ? " (forced)" : "", requestId);
    return GcsCliResponse::makeSuccess({{"accepted", true},
                                        {"requestId", requestId},
                                        {"vehicleId", vehicle->vehicleId()},
                                        {"path", path},
                                        {"sha256", ctrl->imageSha256().toStdString()},
                                        {"totalSize", ctrl->imageSize()},
                                        {"frameCount", ctrl->imageFrameCount()},
                                        {"forced", force}});
}

json firmwareStatus(const Call& call)
{
    if (auto f = requireOutcomes(call))
        return refuse(call, *f);
    if (call.params && call.params->is_object() && call.params->contains("requestId")) {
        int64_t requestId = 0;
        if (auto f = readInt64(*call.params, "requestId", requestId))
            return refuse(call, *f);
        const auto status = call.outcomes->firmware().statusOfRequest(requestId);
        if (!status)
            return refuse(call, *invalid("Unknown firmware update requestId: " + std::to_string(requestId)));
        return GcsCliResponse::makeSuccess(*status);
    }
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess(call.outcomes->firmware().statusOfVehicle(vehicle->vehicleId()));
}

}  // namespace

const std::vector<MethodSpec>& firmwareMethods()
{
    static const std::vector<MethodSpec> table = {
        {"firmware.update",
         firmwareUpdate,
         "Sends a firmware image to a landed, disarmed vehicle; follow it with firmware.status.",
         {{"path", "string", true, {}, "absolute path of the image file"},
          {"sha256", "string", false, {}, "the image's expected SHA-256 (hex); a different image is refused"},
          {"force", "boolean", false, {}, "skip the alive, landed and disarmed check: bench and simulator only"},
          kVehicleIdParam,
          kVehicleCodeParam}},
        {"firmware.status",
         firmwareStatus,
         "Step, progress, rate and result of a firmware update (by requestId, else the vehicle's latest), and the "
         "vehicle's reported version.",
         {{"requestId", "integer", false, {}, "the requestId firmware.update answered; wins over the selector"},
          kVehicleIdParam,
          kVehicleCodeParam}},
    };
    return table;
}

}  // namespace gcscli
