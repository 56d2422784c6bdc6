#pragma once
// What the CLI method files share: the call, the refusal that becomes an error envelope, the
// typed readers of request fields, target resolution and the method table's entry type.

#include "GcsCliResponse.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class GcsAppController;
class GcsCliOutcomeRecorder;
class VehicleController;

namespace gcscli {

using GcsCliResponse::ErrorCode;
using nlohmann::json;
using VehicleControllerPtr = std::shared_ptr<VehicleController>;

// Why a step refused the request; the step's caller turns it into the error envelope.
struct Refusal {
    ErrorCode code = ErrorCode::InvalidArgs;
    std::string message;
};
using Failure = std::optional<Refusal>;

struct Call {
    const std::string& method;
    GcsAppController* ctrl;
    const json* params;  // null when the request carries none
    GcsCliOutcomeRecorder* outcomes;  // null when the caller keeps no memory between requests
};

Failure invalid(std::string message);
Failure rejected(std::string message);
json refuse(const std::string& method, const Refusal& r);
json refuse(const Call& call, const Refusal& r);
Failure findField(const json& obj, const std::string& name, json::const_iterator& it);
Failure readString(const json& obj, const std::string& name, std::string& out);
Failure readInt64(const json& obj, const std::string& name, int64_t& out);
Failure readNumber(const json& obj, const std::string& name, double& out);
Failure requireCtrl(const Call& call);
Failure requireMultiVehicleMgr(const Call& call);
Failure resolveTarget(const Call& call, VehicleControllerPtr& vehicle);
Failure requireOutcomes(const Call& call);
// A vehicle in its bootloader takes nothing but the firmware exchange.
Failure refuseWhileUpdatingFirmware(const VehicleController& vehicle);
Failure readBool(const json& obj, const std::string& name, bool& out);

// Request ids of vehicle actions; they keep rising across connections and servers.
int64_t nextRequestId();

struct ParamSpec {
    const char* name;
    const char* type;  // "string", "integer", "number", "boolean" or "object"
    bool required;
    std::vector<std::string> allowed;  // empty: any value of the type
    const char* description;
};

using Method = json (*)(const Call&);

struct MethodSpec {
    const char* name;
    Method run;
    const char* description;
    std::vector<ParamSpec> params;
};

extern const ParamSpec kVehicleIdParam;
extern const ParamSpec kVehicleCodeParam;

}  // namespace gcscli
