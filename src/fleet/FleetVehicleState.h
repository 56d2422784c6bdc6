#pragma once
// One vehicle's state as plain numbers, unrounded: what a consumer that encodes its own messages
// at high rates reads (the MAVLink bridge), where building the JSON V of FleetReadModel would
// cost more than the message. The same telemetry items as V; main thread only.

#include <cstdint>

class VehicleController;

namespace FleetReadModel {

struct VehicleState {
    bool alive = false;
    bool local = false;
    bool telemetryKnown = false;  // a telemetry answer has arrived since the vehicle joined
    double lat = 0, lon = 0, alt = 0;  // deg, deg, m above home
    double homeLat = 0, homeLon = 0;
    float northSpd = 0, eastSpd = 0, upSpd = 0;  // m/s
    float roll = 0, pitch = 0, yaw = 0;  // deg
    float rollRate = 0, pitchRate = 0, yawRate = 0;  // deg/s
    int satellites = 0;
    int positionState = 0;  // 0 none, 1 single, 2 differential, 3 RTK
    float hdop = -1;  // -1: unknown
    float fcuVol = 0;  // V
    int flightMode = 0;
    int flightState = 0;  // 0 not flying, 5 idling on the ground, else in the air
    bool armed = false;
    int airframe = -1;  // basic parameters' mavType; -1 until they were read
    float maxVerSpeed = 0;  // basic parameters; 0 unknown
    float returnAltitude = 0;  // basic parameters; 0 unknown
    int worstAlertLevel = 0;  // as FleetReadModel::worstAlertLevel
    // The full flight status record's health fields (statusKnown false: none arrived yet).
    bool statusKnown = false;
    int rcState = 0, batteryState = 0, headingState = 0;
    int imuSensorState = 0, headingSensorState = 0, takeoffCheck = 0;
    int batteryCells = 0;  // basic parameters; 0 unknown
    float criticalVoltage = 0;  // basic parameters (the second low-voltage level), V; 0 unknown
};

// The battery's charge in percent from its voltage, between the vehicle's critical level (0) and
// full cells (4.2 V each); -1 while the cell count or that level is unknown.
int batteryPercent(const VehicleState& s);

VehicleState vehicleState(const VehicleController& vehicle);

}  // namespace FleetReadModel
