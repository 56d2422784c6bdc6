#pragma once
// Turns one parsed CLI request {"method", "apiVersion"?, "params"?} into one response envelope
// (GcsCliResponse). Runs on the main thread, or for a readOnly method on the CLI endpoint's thread
// inside OstMainLoopGate, which is the main thread's turn as far as the models can tell. It is an adapter: it parses a
// request, calls the vehicle services (svc::VehicleServices) or the station (svc::StationPort), and writes the answer;
// the rules of what is refused and why are the services'. Methods that start a vehicle action only report that it was
// accepted and sent, its outcome is observed through other methods ("command.status", "telemetry.snapshot").
//
// Methods: system.ping, system.methods, connection.status, connection.connect,
// connection.disconnect, vehicle.resolveTarget, vehicle.list, vehicle.setActive,
// telemetry.snapshot, alerts.active, vehicle.linkStats, params.read, params.write,
// control.command, command.status, console.tail, and the groups of their own: route and mission
// (GcsCliMissionMethods.h), firmware (GcsCliFirmwareMethods.h), no-fly zones (GcsCliNfzMethods.h),
// account and remote monitoring (GcsCliAccountMethods.h). One table holds each method with its
// parameters; a params key outside that list is refused ("Unknown field: NAME").
//
// Choices where the contract is open:
// - Methods that act on one vehicle validate their input (params, group, action, target
//   selector) before they look for the station; the other methods that need it look first.
//   system.ping and an unknown method never need it.
// - A present "vehicleId" of null is "Field must be an integer: vehicleId".
// - "alerts.active" lists the alerts sorted by id, so that repeated calls compare equal.
// - JSON library errors propagate to the caller (the endpoint answers "Invalid JSON: ...");
//   any other exception of a method becomes "CommandRejected" "Internal error" and a log line.
//
// Every error envelope is logged at warning level with the method name.
//
// A program adds methods only it can serve (velmora-desk's window.screenshot) with addMethod:
// they are served, checked and listed (system.methods) like the library's own, after them.
// addMethod and removeMethod: main thread only.

#include "GcsCliRouterSupport.h"

#include <nlohmann/json.hpp>

#include <string>

struct GcsCliServiceContext;

class GcsCliCommandRouter {
public:
    static nlohmann::json dispatch(const GcsCliServiceContext& context, const nlohmann::json& request);
    // False (nothing added) when a method of that name exists. The names and texts of the method
    // must outlive the registration (string literals).
    static bool addMethod(gcscli::MethodSpec method);
    static void removeMethod(const std::string& name);
    // The request names one of the library's methods marked readOnly (a program's methods are
    // always answered on the main thread). Any thread.
    static bool isReadOnly(const nlohmann::json& request);
};
