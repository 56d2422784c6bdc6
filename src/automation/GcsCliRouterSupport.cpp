#include "GcsCliRouterSupport.h"

#include "GcsCliOutcomeRecorder.h"
#include "app/GcsAppController.h"
#include "vehicle/MultiVehicleManager.h"
#include "vehicle/VehicleController.h"

#include <spdlog/spdlog.h>

#include <atomic>
#include <limits>

namespace gcscli {

Failure invalid(std::string message)
{
    return Refusal{ErrorCode::InvalidArgs, std::move(message)};
}

Failure rejected(std::string message)
{
    return Refusal{ErrorCode::CommandRejected, std::move(message)};
}

json refuse(const std::string& method, const Refusal& r)
{
    spdlog::warn("<cli-router> {} refused, {}: {}", method.empty() ? std::string("request") : method,
                 GcsCliResponse::codeName(int(r.code)), r.message);
    return GcsCliResponse::makeError(r.code, r.message);
}

json refuse(const Call& call, const Refusal& r)
{
    return refuse(call.method, r);
}

// ---- typed field readers ----

Failure findField(const json& obj, const std::string& name, json::const_iterator& it)
{
    if (!obj.is_object())
        return invalid("JSON root must be an object");
    it = obj.find(name);
    if (it == obj.end())
        return invalid("Missing required field: " + name);
    return {};
}

Failure readString(const json& obj, const std::string& name, std::string& out)
{
    json::const_iterator it;
    if (auto f = findField(obj, name, it))
        return f;
    if (!it->is_string())
        return invalid("Field must be a string: " + name);
    out = it->get<std::string>();
    return {};
}

Failure readInt64(const json& obj, const std::string& name, int64_t& out)
{
    json::const_iterator it;
    if (auto f = findField(obj, name, it))
        return f;
    if (it->is_number_float())
        return invalid("Field must be an integer, not a floating-point number: " + name);
    if (it->is_number_unsigned()) {
        const auto u = it->get<uint64_t>();
        if (u > uint64_t(std::numeric_limits<int64_t>::max()))
            return invalid("Field " + name + " integer out of int64 range");
        out = int64_t(u);
        return {};
    }
    if (!it->is_number_integer())
        return invalid("Field must be an integer: " + name);
    out = it->get<int64_t>();
    return {};
}

Failure readNumber(const json& obj, const std::string& name, double& out)
{
    json::const_iterator it;
    if (auto f = findField(obj, name, it))
        return f;
    if (!it->is_number())
        return invalid("Field must be a number: " + name);
    out = it->get<double>();
    return {};
}

// ---- vehicles ----

Failure requireCtrl(const Call& call)
{
    if (!call.ctrl)
        return rejected("Application controller is not available");
    return {};
}

Failure requireMultiVehicleMgr(const Call& call)
{
    if (auto f = requireCtrl(call))
        return f;
    if (!call.ctrl->multiVehicleMgr())
        return rejected("Multi-vehicle manager is not available");
    return {};
}

// Reads the optional "vehicleCode" / "vehicleId" selector from params and resolves the vehicle.
Failure resolveTarget(const Call& call, VehicleControllerPtr& vehicle)
{
    std::optional<QString> code;
    std::optional<int> id;
    if (call.params) {
        const json& p = *call.params;
        if (!p.is_object())
            return invalid("params must be a JSON object");
        if (auto it = p.find("vehicleCode"); it != p.end()) {
            if (it->is_null())
                return invalid("vehicleCode cannot be null");
            if (!it->is_string())
                return invalid("vehicleCode must be a string");
            code = QString::fromStdString(it->get<std::string>());
        }
        if (p.contains("vehicleId")) {
            int64_t v = 0;
            if (auto f = readInt64(p, "vehicleId", v))
                return f;
            if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
                return invalid("vehicleId is out of int range");
            id = int(v);
        }
    }
    if (auto f = requireMultiVehicleMgr(call))
        return f;
    vehicle = call.ctrl->multiVehicleMgr()->resolveVehicleTargetForCli(code, id);
    if (!vehicle)
        return Refusal{ErrorCode::NoActiveVehicle, "No matching vehicle or no active vehicle"};
    return {};
}

Failure refuseWhileUpdatingFirmware(const VehicleController& vehicle)
{
    if (!vehicle.firmwareUpdating())
        return {};
    return rejected("Vehicle " + std::to_string(vehicle.vehicleId()) +
                    " is updating its firmware; commands are refused until the update ends");
}

Failure requireOutcomes(const Call& call)
{
    if (!call.outcomes)
        return rejected("Command outcomes are not recorded here");
    return {};
}

Failure readBool(const json& obj, const std::string& name, bool& out)
{
    const auto it = obj.find(name);
    if (it == obj.end())
        return {};
    if (!it->is_boolean())
        return invalid("Field must be a boolean: " + name);
    out = it->get<bool>();
    return {};
}

int64_t nextRequestId()
{
    static std::atomic<int64_t> next{1};
    return next.fetch_add(1);
}

const ParamSpec kVehicleIdParam{"vehicleId", "integer", false, {}, "target vehicle id (default: the active vehicle)"};
const ParamSpec kVehicleCodeParam{"vehicleCode", "string", false, {}, "target vehicle code; wins over vehicleId"};

}  // namespace gcscli
