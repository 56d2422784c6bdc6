#pragma once
// What the CLI method files share: the call, the refusal that becomes an error envelope, the
// typed readers of request fields, target resolution and the method table's entry type.

#include "GcsCliResponse.h"
#include "services/ServiceResult.h"
#include "services/StationPort.h"
#include "services/VehicleDirectory.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class GcsCliOutcomeRecorder;
class VehicleController;
namespace svc {
class VehicleServices;
}

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
    svc::StationPort* station;  // null without a station (then only system.ping and friends answer)
    const json* params;  // null when the request carries none
    GcsCliOutcomeRecorder* outcomes;  // the endpoint's memory of zone and account work; may be null
};

Failure invalid(std::string message);
Failure rejected(std::string message);
json refuse(const std::string& method, const Refusal& r);
json refuse(const Call& call, const Refusal& r);
Failure findField(const json& obj, const std::string& name, json::const_iterator& it);
Failure readString(const json& obj, const std::string& name, std::string& out);
Failure readInt64(const json& obj, const std::string& name, int64_t& out);
Failure readNumber(const json& obj, const std::string& name, double& out);
// The service's refusal as the CLI's: NoVehicle -> NoActiveVehicle, Invalid and NotFound ->
// InvalidArgs, Timeout -> Timeout, the rest -> CommandRejected.
Refusal fromStatus(const svc::Status& status);
Failure failed(const svc::Status& status);
json refuse(const Call& call, const svc::Status& status, json data = json::object());
Failure requireStation(const Call& call);
svc::VehicleServices& services(const Call& call);  // after requireStation
// vehicleId / vehicleCode of the params (none: the active vehicle).
Failure readSelector(const Call& call, svc::VehicleSelector& selector);
Failure resolveTarget(const Call& call, VehicleControllerPtr& vehicle);
Failure requireOutcomes(const Call& call);
Failure readBool(const json& obj, const std::string& name, bool& out);
// The connection.connect fields as a link request (also GcsAppController::connectToLinkFromCliParams).
Failure readLinkRequest(const json& params, svc::LinkRequest& out);
json connectionJson(const svc::ConnectionState& state);

struct ParamSpec {
    const char* name;
    const char* type;  // "string", "integer", "number", "boolean" or "object"
    bool required;
    std::vector<std::string> allowed;  // empty: any value of the type
    const char* description;
};

// A function of the method files, or a program's own method (GcsCliCommandRouter::addMethod).
using Method = std::function<json(const Call&)>;

struct MethodSpec {
    const char* name;
    Method run;
    const char* description;
    std::vector<ParamSpec> params;
    // Only reads the models and builds its answer: the endpoint may run it off the main thread
    // between two events (OstMainLoopGate). Nothing it calls may start, post to or wait for the main
    // thread's objects.
    bool readOnly = false;
};

extern const ParamSpec kVehicleIdParam;
extern const ParamSpec kVehicleCodeParam;

}  // namespace gcscli
