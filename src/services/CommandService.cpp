#include "CommandService.h"

#include "services/VehicleDirectory.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/VehicleController.h"

#include <QStringList>

#include <spdlog/spdlog.h>

#include <cmath>

namespace svc {
namespace {

constexpr struct {
    FlightAction action;
    const char* name;
} kActions[] = {{FlightAction::Takeoff, "takeoff"},
                {FlightAction::ReturnHome, "returnHome"},
                {FlightAction::Suspend, "suspend"},
                {FlightAction::Resume, "resume"},
                {FlightAction::Land, "land"}};

// Take-off into a known critical condition needs the operator's explicit "force".
Status criticalAlerts(const VehicleController& vehicle)
{
    const auto alerts = vehicle.alertCtrler();
    if (!alerts)
        return {};
    QStringList keys;
    for (const auto& a : alerts->activeAlerts())
        if (a.level == VehicleAlertLevel::Critical)
            keys << a.key;
    if (keys.isEmpty())
        return {};
    keys.sort();
    return Status::refused("Critical alert active on vehicle " + std::to_string(vehicle.vehicleId()) + ": " +
                           keys.join(", ").toStdString() + "; add \"force\": true to override");
}

}  // namespace

const char* actionName(FlightAction action)
{
    for (const auto& a : kActions)
        if (a.action == action)
            return a.name;
    return "";
}

std::optional<FlightAction> actionByName(const std::string& name)
{
    for (const auto& a : kActions)
        if (name == a.name)
            return a.action;
    return std::nullopt;
}

CommandService::CommandService(VehicleDirectory& directory, OutcomeRecorder& outcomes, QObject* parent)
    : QObject(parent)
    , m_directory(directory)
    , m_outcomes(outcomes)
{
}

Status CommandService::checkValues(const FlightCommand& c)
{
    if (c.action != FlightAction::ReturnHome)
        return {};
    if (!std::isfinite(c.lat) || !std::isfinite(c.lon) || !std::isfinite(c.altM))
        return Status::invalid("lat, lon, alt must be finite numbers (NaN and Inf are not allowed)");
    if (c.lat < -90.0 || c.lat > 90.0)
        return Status::invalid("lat must be in [-90, 90] degrees");
    if (c.lon < -180.0 || c.lon > 180.0)
        return Status::invalid("lon must be in [-180, 180] degrees");
    if (c.altM < -3276.8 || c.altM > 3276.7)
        return Status::invalid(
            "alt must fit int16 scaled by 10 in MAV return-home payload (approximately -3276.8 to 3276.7 meters)");
    return {};
}

Status CommandService::commandable(const VehicleController& vehicle, const char* what) const
{
    if (auto s = m_directory.reachable(vehicle, what))
        return s;
    if (vehicle.firmwareUpdating())
        return Status::refused("Vehicle " + std::to_string(vehicle.vehicleId()) +
                               " is updating its firmware; commands are refused until the update ends");
    return {};
}

int64_t CommandService::track(const std::shared_ptr<VehicleController>& vehicle, const std::string& action)
{
    const int64_t requestId = nextRequestId();
    m_outcomes.trackCommand(requestId, action, {vehicle});
    return requestId;
}

Result<CommandTicket> CommandService::send(const std::shared_ptr<VehicleController>& vehicle, const FlightCommand& c)
{
    if (!vehicle)
        return Status::noVehicle("No vehicle");
    if (auto s = commandable(*vehicle, "control commands"))
        return s;
    if (auto s = checkValues(c))
        return s;
    if (c.action == FlightAction::Takeoff && !c.force)
        if (auto s = criticalAlerts(*vehicle))
            return s;
    const std::string action = actionName(c.action);
    // Followed before the send: a command the vehicle cannot take is answered at once.
    const int64_t requestId = track(vehicle, action);
    switch (c.action) {
    case FlightAction::Takeoff: vehicle->takeoff(c.takeoffAltM, c.climbSpeedMps); break;
    case FlightAction::ReturnHome: vehicle->returnHome(c.lat, c.lon, float(c.altM)); break;
    case FlightAction::Suspend: vehicle->suspend(); break;
    case FlightAction::Resume: vehicle->resume(); break;
    case FlightAction::Land: vehicle->land(); break;
    }
    spdlog::info("<services> {} sent to vehicle {}{}, requestId {}", action, vehicle->vehicleId(),
                 c.force ? " (forced)" : "", requestId);
    return CommandTicket{requestId, action, vehicle->vehicleId()};
}

}  // namespace svc
