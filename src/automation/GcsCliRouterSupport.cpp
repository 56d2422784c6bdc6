#include "GcsCliRouterSupport.h"

#include "GcsCliOutcomeRecorder.h"
#include "services/VehicleDirectory.h"
#include "services/VehicleServices.h"
#include "vehicle/VehicleController.h"

#include <spdlog/spdlog.h>

#include <algorithm>
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

// ---- services ----

Refusal fromStatus(const svc::Status& status)
{
    switch (status.kind) {
    case svc::Kind::NoVehicle: return {ErrorCode::NoActiveVehicle, status.message};
    case svc::Kind::Invalid:
    case svc::Kind::NotFound: return {ErrorCode::InvalidArgs, status.message};
    case svc::Kind::Timeout: return {ErrorCode::Timeout, status.message};
    default: return {ErrorCode::CommandRejected, status.message};
    }
}

Failure failed(const svc::Status& status)
{
    if (status.ok())
        return {};
    return fromStatus(status);
}

json refuse(const Call& call, const svc::Status& status, json data)
{
    const Refusal r = fromStatus(status);
    spdlog::warn("<cli-router> {} refused, {}: {}", call.method, GcsCliResponse::codeName(int(r.code)), r.message);
    return GcsCliResponse::makeError(r.code, r.message, GcsCliResponse::ErrorDomain::Business, std::move(data));
}

Failure requireStation(const Call& call)
{
    if (!call.station || !call.station->services())
        return rejected("Station services are not available");
    return {};
}

svc::VehicleServices& services(const Call& call)
{
    return *call.station->services();
}

// Reads the optional "vehicleCode" / "vehicleId" selector from params and resolves the vehicle.
Failure readSelector(const Call& call, svc::VehicleSelector& selector)
{
    if (call.params) {
        const json& p = *call.params;
        if (!p.is_object())
            return invalid("params must be a JSON object");
        if (auto it = p.find("vehicleCode"); it != p.end()) {
            if (it->is_null())
                return invalid("vehicleCode cannot be null");
            if (!it->is_string())
                return invalid("vehicleCode must be a string");
            selector.code = QString::fromStdString(it->get<std::string>());
        }
        if (p.contains("vehicleId")) {
            int64_t v = 0;
            if (auto f = readInt64(p, "vehicleId", v))
                return f;
            if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
                return invalid("vehicleId is out of int range");
            selector.id = int(v);
        }
    }
    return {};
}

Failure resolveTarget(const Call& call, VehicleControllerPtr& vehicle)
{
    svc::VehicleSelector selector;
    if (auto f = readSelector(call, selector))
        return f;
    if (auto f = requireStation(call))
        return f;
    auto found = services(call).directory().resolve(selector);
    if (!found.ok())
        return fromStatus(found.status);
    vehicle = found.value;
    return {};
}

Failure readLinkRequest(const json& params, svc::LinkRequest& out)
{
    if (!params.is_object())
        return invalid("params must be a JSON object");
    const auto type = params.find("type");
    if (type == params.end() || !type->is_string())
        return invalid("Missing required field: type (\"serial\" or \"udp\")");
    const std::string t = type->get<std::string>();
    if (t == "serial") {
        const auto port = params.find("port");
        if (port == params.end() || !port->is_string())
            return invalid("serial connect requires string field: port");
        out.type = svc::LinkRequest::Type::Serial;
        out.serialPort = QString::fromStdString(port->get<std::string>());
        if (out.serialPort.trimmed().isEmpty())
            return invalid("serial port name must not be empty");
        const auto baud = params.find("baudrate");
        if (baud == params.end() || !baud->is_number_integer())
            return invalid("serial connect requires integer field: baudrate");
        const bool positive = baud->is_number_unsigned() ? baud->get<uint64_t>() > 0 : baud->get<int64_t>() > 0;
        if (!positive)
            return invalid("baudrate must be a positive integer");
        out.baudrate = int(baud->is_number_unsigned() ? int64_t(std::min<uint64_t>(baud->get<uint64_t>(), INT32_MAX))
                                                      : std::min<int64_t>(baud->get<int64_t>(), INT32_MAX));
        return {};
    }
    if (t == "udp") {
        // localPort (the station's own port, where vehicles send) and vehiclePort (where the
        // vehicle receives); the first names, sendPort and recvPort, still work.
        auto port = [&](const char* name, const char* oldName, json::const_iterator& it, std::string& used) -> Failure {
            const auto a = params.find(name), b = params.find(oldName);
            if (a != params.end() && b != params.end() && *a != *b)
                return invalid(std::string(name) + " and " + oldName + " name the same port; pass one");
            it = a != params.end() ? a : b;
            used = a != params.end() ? name : oldName;
            if (it == params.end() || !it->is_number_integer())
                return invalid(std::string("udp connect requires integer field: ") + name + " (or " + oldName + ")");
            return {};
        };
        json::const_iterator send, recv;
        std::string sendName, recvName;
        if (auto f = port("localPort", "sendPort", send, sendName); f || (f = port("vehiclePort", "recvPort", recv, recvName)))
            return f;
        auto inRange = [](const json& v) {
            if (v.is_number_unsigned())
                return v.get<uint64_t>() >= 1 && v.get<uint64_t>() <= 65535;
            return v.get<int64_t>() >= 1 && v.get<int64_t>() <= 65535;
        };
        if (!inRange(*send))
            return invalid(sendName + " must be in range 1-65535");
        if (!inRange(*recv))
            return invalid(recvName + " must be in range 1-65535");
        out.type = svc::LinkRequest::Type::Udp;
        out.localPort = quint16(send->get<int64_t>());
        out.vehiclePort = quint16(recv->get<int64_t>());
        const auto broadcast = params.find("broadcastAddr");
        if (broadcast != params.end() && broadcast->is_string())
            out.broadcastAddress = QString::fromStdString(broadcast->get<std::string>());
        return {};
    }
    return invalid("Unsupported link type: only \"serial\" and \"udp\" are supported");
}

json connectionJson(const svc::ConnectionState& state)
{
    return {{"connectionMode", state.mode},
            {"connected", state.connected},
            {"activeVehicleId", state.activeVehicleId ? json(*state.activeVehicleId) : json(nullptr)},
            {"activeVehicleCode", state.activeVehicleCode ? json(*state.activeVehicleCode) : json(nullptr)},
            {"note", state.note ? json(*state.note) : json(nullptr)}};
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

const ParamSpec kVehicleIdParam{"vehicleId", "integer", false, {}, "target vehicle id (default: the active vehicle)"};
const ParamSpec kVehicleCodeParam{"vehicleCode", "string", false, {}, "target vehicle code; wins over vehicleId"};

}  // namespace gcscli
