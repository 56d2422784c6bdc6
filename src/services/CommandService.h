#pragma once
// Flight commands to any vehicle: take-off, return home, pause, resume, land. A command goes
// only to a locally linked vehicle over an open link, alive, not in its bootloader; a take-off
// into an active critical alert needs `force`. Each accepted command gets a request id whose
// outcome the OutcomeRecorder keeps (outcome()).

#include "services/OutcomeRecorder.h"
#include "services/ServiceResult.h"

#include <QObject>

#include <memory>
#include <optional>
#include <string>

class VehicleController;

namespace svc {

class VehicleDirectory;

enum class FlightAction { Takeoff, ReturnHome, Suspend, Resume, Land };

const char* actionName(FlightAction action);
std::optional<FlightAction> actionByName(const std::string& name);

struct FlightCommand {
    FlightAction action = FlightAction::Land;
    uint16_t takeoffAltM = 0;  // take-off
    uint8_t climbSpeedMps = 0;  // take-off
    double lat = 0, lon = 0, altM = 0;  // return home; alt travels as decimetres in an int16
    bool force = false;  // take-off despite an active critical alert
};

struct CommandTicket {
    int64_t requestId = 0;
    std::string action;
    int vehicleId = 0;
};

class CommandService : public QObject {
    Q_OBJECT
public:
    CommandService(VehicleDirectory& directory, OutcomeRecorder& outcomes, QObject* parent = nullptr);

    // Range checks of the command's own values, without a vehicle.
    static Status checkValues(const FlightCommand& command);
    Result<CommandTicket> send(const std::shared_ptr<VehicleController>& vehicle, const FlightCommand& command);
    std::optional<CommandOutcome> outcome(int64_t requestId) const { return m_outcomes.commandOutcome(requestId); }

    // The checks every command to a vehicle passes (also mission start's).
    Status commandable(const VehicleController& vehicle, const char* what) const;
    // Follows `action` on `vehicle` under a new request id; call before sending.
    int64_t track(const std::shared_ptr<VehicleController>& vehicle, const std::string& action);

private:
    VehicleDirectory& m_directory;
    OutcomeRecorder& m_outcomes;
};

}  // namespace svc
