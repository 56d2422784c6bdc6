#include "GcsCliFirmwareMethods.h"

#include "services/FirmwareService.h"
#include "services/VehicleServices.h"
#include "settings/GcsSettings.h"
#include "vehicle/VehicleController.h"

#include <QDir>

#include <algorithm>
#include <cctype>

namespace gcscli {
namespace {

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

json firmwareUpdate(const Call& call)
{
    if (!call.params)
        return refuse(call, *invalid("Missing params object"));
    svc::FirmwareRequest request;
    if (auto f = readString(*call.params, "path", request.path);
        f || (f = readSha256(*call.params, request.sha256)) || (f = readBool(*call.params, "force", request.force)))
        return refuse(call, *f);
    if (!QDir::isAbsolutePath(QString::fromStdString(request.path)))
        return refuse(call, *invalid("path must be absolute"));
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    auto* settings = GcsSettings::getInstance();
    request.firmInfoTimeoutMs = uint32_t(settings->firmwareUpdateFirmInfoTimeoutMs());
    request.resetTimeoutMs = uint32_t(settings->firmwareUpdateResetCommandTimeoutMs());
    const auto t = services(call).firmware().update(vehicle, request);
    if (!t.ok())
        return refuse(call, t.status);
    return GcsCliResponse::makeSuccess({{"accepted", true},
                                        {"requestId", t.value.requestId},
                                        {"vehicleId", t.value.vehicleId},
                                        {"path", t.value.path},
                                        {"sha256", t.value.sha256},
                                        {"totalSize", t.value.totalSize},
                                        {"frameCount", t.value.frameCount},
                                        {"forced", t.value.forced}});
}

json statusJson(const svc::FirmwareStatus& s)
{
    return {{"requestId", s.requestId > 0 ? json(s.requestId) : json(nullptr)},
            {"vehicleId", s.vehicleId},
            {"running", s.running},
            {"step", s.step},
            {"framesAcked", s.framesAcked},
            {"frameCount", s.frameCount},
            {"percent", s.percent},
            {"result", s.result ? json(*s.result) : json(nullptr)},
            {"resultCode", s.resultCode ? json(*s.resultCode) : json(nullptr)},
            {"path", s.path},
            {"sha256", s.sha256},
            {"totalSize", s.totalSize},
            {"bytesPerSecond", s.bytesPerSecond},
            {"etaSeconds", s.etaSeconds ? json(*s.etaSeconds) : json(nullptr)},
            {"vehicleVersion", s.vehicleVersion}};
}

json firmwareStatus(const Call& call)
{
    if (auto f = requireStation(call))
        return refuse(call, *f);
    if (call.params && call.params->is_object() && call.params->contains("requestId")) {
        int64_t requestId = 0;
        if (auto f = readInt64(*call.params, "requestId", requestId))
            return refuse(call, *f);
        const auto status = services(call).firmware().statusOfRequest(requestId);
        if (!status)
            return refuse(call, *invalid("Unknown firmware update requestId: " + std::to_string(requestId)));
        return GcsCliResponse::makeSuccess(statusJson(*status));
    }
    VehicleControllerPtr vehicle;
    if (auto f = resolveTarget(call, vehicle))
        return refuse(call, *f);
    return GcsCliResponse::makeSuccess(statusJson(services(call).firmware().statusOfVehicle(vehicle->vehicleId())));
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
