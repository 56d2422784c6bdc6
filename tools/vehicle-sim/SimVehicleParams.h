#pragma once
// The parameter side of one simulated vehicle: its six groups, reset, the two sensor
// calibrations and the vehicle code, answered through the vehicle's command table.
//
// Group commands (0x01..0x05, 0x0F) and the code (0x0E): an empty request is a read, answered
// with the wire record (no result byte); a request of exactly the wire length is a write,
// answered with one result byte. A write is checked against SimParams' limits: accepted it is
// stored (result 0), refused nothing changes (result 8); any other payload length is refused
// with 8 as well. The version characters of a basic write are ignored (the firmware's stay).
// Reset all (0x09) restores the defaults but keeps the vehicle's id, firmware version and code.
//
// Vehicle id: a basic write whose vehicleId differs from the vehicle's id is acknowledged under
// the old id, and the vehicle takes the new id right after the acknowledgement has left. A
// write to an id that another simulated vehicle has is refused with 6 and changes nothing.
//
// Calibrations: accelerometer (0x0A) steps 1..8, compass (0x0B) steps 1..4, acknowledged with
// the result and the step the calibration is at. Step 1 starts (or restarts) one; after that
// the next step or the same one again (a resend) is accepted, and the final one completes it.
// Refused: a step outside 1..final or a malformed payload (8); a step that skips ahead, comes
// before the start or goes back (6); any step while the other calibration runs (6). Nothing is
// stored: calibrations leave the parameters alone.
//
// A forced non-zero result (SimOptions::ackResults) answers any of these commands with that one
// result byte, a read or a calibration step included: the form in which a vehicle refuses.

#include "SimParams.h"
#include "SimVehicle.h"

#include <QtGlobal>

class SimVehicleParams {
public:
    struct Counters {
        quint64 reads = 0;  // group and code reads answered
        quint64 writes = 0;  // group and code writes accepted, resets
        quint64 refusals = 0;  // writes, resets and calibration steps refused
    };

    // Registers the parameter commands into the vehicle's table.
    SimVehicleParams(SimVehicle& vehicle, SimParams params);

    const SimParams& params() const { return m_params; }
    const std::string& code() const { return m_params.code; }
    // 0 before the first step; then the step reached, which stays at the final one once done.
    uint8_t accCaliStep() const { return m_acc.step; }
    uint8_t magCaliStep() const { return m_mag.step; }
    const Counters& counters() const { return m_counters; }

private:
    struct Calibration {
        const char* name;
        uint8_t finalStep;
        uint16_t (*packAck)(_MavPFrame_t&, uint8_t, uint8_t, uint8_t, uint8_t);
        uint8_t step = 0;
        bool running() const { return step != 0 && step != finalStep; }
    };

    template <typename Natural>
    SimVehicle::Reply handleGroup(const _MavPFrame_t& frame, Natural SimParams::*group, const char* name,
                                  uint16_t (*packRead)(_MavPFrame_t&, uint8_t, uint8_t, const Natural&),
                                  bool (*parseWrite)(const _MavPFrame_t&, Natural&));
    SimVehicle::Reply handleReset(const _MavPFrame_t& frame);
    SimVehicle::Reply handleCalibration(const _MavPFrame_t& frame, Calibration& own, const Calibration& other);
    SimVehicle::Reply handleVehicleCode(const _MavPFrame_t& frame);

    SimVehicle::Reply refuseWrite(uint8_t cmd, uint8_t result, const char* what, const QString& reason);
    SimVehicle::Reply acceptWrite(uint8_t cmd);

    SimVehicle& m_vehicle;
    SimParams m_params;
    Calibration m_acc;
    Calibration m_mag;
    Counters m_counters;
};
