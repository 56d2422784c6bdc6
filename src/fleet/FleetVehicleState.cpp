#include "FleetVehicleState.h"

#include "FleetReadModel.h"

#include "params/MavBasicParamsDataItem.h"
#include "params/MavParamsController.h"
#include "telemetry/MavAhrsDataItem.h"
#include "telemetry/MavFlightStatusDataItem.h"
#include "telemetry/MavPosDataItem.h"
#include "telemetry/MavTelemetryController.h"
#include "telemetry/VehicleAlertController.h"
#include "vehicle/VehicleController.h"

#include <algorithm>
#include <cmath>

namespace FleetReadModel {

VehicleState vehicleState(const VehicleController& v)
{
    VehicleState s;
    s.alive = v.alive();
    s.local = v.isLocal();
    s.telemetryKnown = v.telemetryAgeMs().has_value();
    if (const auto tele = v.teleCtrler()) {
        if (const auto p = tele->posDataItem()) {
            s.lat = p->lat();
            s.lon = p->lon();
            s.alt = p->alt();
            s.homeLat = p->homeLat();
            s.homeLon = p->homeLon();
            s.northSpd = p->northSpd();
            s.eastSpd = p->eastSpd();
            s.upSpd = p->upSpd();
            s.satellites = p->posSatNum();
        }
        if (const auto a = tele->ahrsDataItem()) {
            s.roll = a->roll();
            s.pitch = a->pitch();
            s.yaw = a->yaw();
            s.rollRate = a->gx();
            s.pitchRate = a->gy();
            s.yawRate = a->gz();
        }
        if (const auto f = tele->flightStatusDataItem(); f && f->hasFlightStatusFrameData()) {
            s.positionState = f->positionState();
            s.hdop = float(f->gnssHdop()) * 0.1f;
            s.fcuVol = f->fcuVol();
            s.flightMode = f->flightMode();
            s.flightState = f->flightState();
            s.armed = f->armedState() == 1;
            s.statusKnown = true;
            s.rcState = f->rcState();
            s.batteryState = f->batteryState();
            s.headingState = f->headingState();
            s.imuSensorState = f->imuSensorState();
            s.headingSensorState = f->headingSensorState();
            s.takeoffCheck = f->takeoffCheck();
        }
    }
    if (const auto params = v.paramsCtrler(); params && params->basicParamsKnown()) {
        if (const auto b = params->basicParamsDataItem()) {
            s.airframe = b->mavType();
            s.maxVerSpeed = b->maxVerSpeed();
            s.returnAltitude = b->returnAltitudeM();
            s.batteryCells = b->lithiumBatteryCellCount();
            s.criticalVoltage = b->vol2();
        }
    }
    if (const auto alerts = v.alertCtrler())
        s.worstAlertLevel = worstAlertLevel(alerts->activeAlerts());
    return s;
}

int batteryPercent(const VehicleState& s)
{
    constexpr double kFullCellV = 4.2;
    const double full = s.batteryCells * kFullCellV;
    if (!s.telemetryKnown || s.batteryCells <= 0 || s.criticalVoltage <= 0 || full <= s.criticalVoltage)
        return -1;
    const double share = (double(s.fcuVol) - s.criticalVoltage) / (full - s.criticalVoltage);
    return int(std::lround(std::clamp(share, 0.0, 1.0) * 100.0));
}

}  // namespace FleetReadModel
