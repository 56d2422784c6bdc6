#include "SimFlightModel.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double kMetresPerDegree = 111320.0;
// Arrival tolerance: n steps of v * dt should arrive after n steps, not n + 1, despite rounding.
constexpr double kEpsilon = 1e-9;
constexpr double kHomeSpacingM = 5.0;
constexpr int kHomesPerRow = 10;
constexpr double kDefaultClimbSpeed = 2.0;
constexpr double kCruiseSpeed = 8.0;
constexpr double kDefaultMissionSpeed = 5.0;
constexpr float kFullVolt = 25.2f;
constexpr float kEmptyVolt = 21.0f;
constexpr qint64 kEnduranceMs = 30 * 60 * 1000;
constexpr int kMotorCount = 4;
constexpr uint8_t kImuHealthy = 0x27;  // units 1 to 3 and the overall state
constexpr uint8_t kHeadingSensorHealthy = 0x85;  // magnetometer, dual antenna, overall

// splitmix64: spreads seed and id over all bits.
quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

double metresPerDegreeLon(double lat)
{
    return kMetresPerDegree * std::max(0.01, std::cos(lat * std::numbers::pi / 180.0));
}

bool usableCoordinate(double lat, double lon)
{
    return std::isfinite(lat) && std::isfinite(lon) && std::abs(lat) <= 90.0 && std::abs(lon) <= 180.0 &&
           !(lat == 0.0 && lon == 0.0);
}

}  // namespace

SimFlightModel::SimFlightModel(uint8_t vehicleId, const SimOptions& options)
    : m_id(vehicleId)
    , m_options(options)
{
    const int index = std::max(0, int(vehicleId) - options.firstId);
    m_homeLat = options.homeLat + (index / kHomesPerRow) * kHomeSpacingM / kMetresPerDegree;
    m_homeLon = options.homeLon + (index % kHomesPerRow) * kHomeSpacingM / metresPerDegreeLon(options.homeLat);
    const quint64 h = mix(options.seed ^ (quint64(vehicleId) << 32));
    m_phase = double(h % 10000) / 10000.0 * 2.0 * std::numbers::pi;
    m_parkedYaw = float((h >> 20) % 360);
    m_yaw = m_parkedYaw;
}

void SimFlightModel::takeOff(quint16 altitudeM, quint8 speedMs)
{
    if (!m_armed) {
        m_armed = true;
        m_currentFlightMs = 0;
    }
    m_suspended = false;
    m_returnArrived = false;
    m_activity = Activity::Climb;
    m_targetAlt = std::max<double>(1.0, altitudeM);
    m_climbSpeed = speedMs > 0 ? double(speedMs) : kDefaultClimbSpeed;
    m_targetNorth = m_north;
    m_targetEast = m_east;
}

void SimFlightModel::suspend()
{
    if (m_armed)
        m_suspended = true;
}

void SimFlightModel::resume()
{
    m_suspended = false;
}

void SimFlightModel::land()
{
    if (!m_armed)
        return;
    m_suspended = false;
    m_activity = Activity::Land;
    m_targetAlt = 0.0;
    m_targetNorth = m_north;
    m_targetEast = m_east;
}

void SimFlightModel::returnTo(double lat, double lon)
{
    if (!m_armed)
        return;
    m_suspended = false;
    m_returnArrived = false;
    m_activity = Activity::Return;
    if (usableCoordinate(lat, lon)) {
        m_targetNorth = (lat - m_homeLat) * kMetresPerDegree;
        m_targetEast = (lon - m_homeLon) * metresPerDegreeLon(m_homeLat);
    } else {
        m_targetNorth = 0.0;
        m_targetEast = 0.0;
    }
    m_targetAlt = m_alt;
}

void SimFlightModel::startMission(const std::vector<MavProtoWayPointData_t>& route, uint8_t repeatTimes)
{
    if (route.empty())
        return;
    m_mission.clear();
    for (const MavProtoWayPointData_t& wp : route) {
        MissionLeg leg{wp.number, wp.nextWp};
        leg.hasPosition = usableCoordinate(wp.lat, wp.lon);
        if (leg.hasPosition) {
            leg.north = (wp.lat - m_homeLat) * kMetresPerDegree;
            leg.east = (wp.lon - m_homeLon) * metresPerDegreeLon(m_homeLat);
        } else {
            spdlog::warn("<VehicleSim> vehicle {} waypoint {} has no usable position, keeping the previous one", m_id,
                         wp.number);
        }
        leg.hasAlt = std::isfinite(wp.alt);
        leg.alt = leg.hasAlt ? std::max(0.0, wp.alt) : 0.0;
        leg.speed = std::isfinite(wp.vel) && wp.vel > 0 ? double(wp.vel) : kDefaultMissionSpeed;
        leg.hoverMs = qint64(wp.hoverTime) * 1000;
        m_mission.push_back(leg);
    }
    // Every waypoint once per run, plus one spare pass: more than that is a nextWp loop.
    m_missionLegLimit = route.size() * (size_t(repeatTimes) + 2);
    if (!m_armed) {
        m_armed = true;
        m_currentFlightMs = 0;
    }
    m_suspended = false;
    m_returnArrived = false;
    m_activity = Activity::Mission;
    m_missionHovering = false;
    m_hoverLeftMs = 0;
    m_missionVisited.clear();
    m_targetNorth = m_north;
    m_targetEast = m_east;
    m_targetAlt = m_alt;
    enterMissionLeg(0);
}

void SimFlightModel::enterMissionLeg(size_t index)
{
    m_missionLeg = index;
    const MissionLeg& leg = m_mission[index];
    if (leg.hasPosition) {
        m_targetNorth = leg.north;
        m_targetEast = leg.east;
    }
    if (leg.hasAlt)
        m_targetAlt = leg.alt;
}

void SimFlightModel::setIdleMotorTest(bool on, quint8 value)
{
    m_idleMotorTest = on;
    m_idleMotorValue = value;
}

void SimFlightModel::step()
{
    const int stepMs = std::max(1, m_options.stepMs);
    const double dt = stepMs / 1000.0;
    m_timeMs += stepMs;
    m_velNorth = m_velEast = m_velUp = 0.0;

    if (m_armed) {
        m_totalFlightMs += stepMs;
        m_currentFlightMs += stepMs;
        if (!m_suspended) {
            switch (m_activity) {
            case Activity::Climb: climbToTarget(dt); break;
            case Activity::Mission: flyMission(dt, stepMs); break;
            case Activity::Return:
                if (m_returnArrived) {
                    descend(dt);
                } else if (flyTo(m_targetNorth, m_targetEast, m_alt, kCruiseSpeed, dt)) {
                    m_returnArrived = true;
                    m_targetAlt = 0.0;
                    spdlog::info("<VehicleSim> vehicle {} reached its return point, landing", m_id);
                }
                break;
            case Activity::Land: descend(dt); break;
            case Activity::None:
            case Activity::Hold: break;
            }
        }
    }
    if (std::hypot(m_velNorth, m_velEast) > 0.1) {
        const double yaw = std::atan2(m_velEast, m_velNorth) * 180.0 / std::numbers::pi;
        m_yaw = float(yaw < 0 ? yaw + 360.0 : yaw);
    }

    if (!m_loggedFix && positionFixed()) {
        m_loggedFix = true;
        spdlog::info("<VehicleSim> vehicle {} position fixed", m_id);
    }
    if (!m_loggedRcLost && rcLost()) {
        m_loggedRcLost = true;
        spdlog::info("<VehicleSim> vehicle {} reports its remote control lost", m_id);
    }
    if (!m_loggedSilent && telemetrySilent()) {
        m_loggedSilent = true;
        spdlog::info("<VehicleSim> vehicle {} stops answering telemetry requests", m_id);
    }
}

void SimFlightModel::climbToTarget(double dt)
{
    const double diff = m_targetAlt - m_alt;
    const double most = m_climbSpeed * dt;
    if (std::abs(diff) <= most + kEpsilon) {
        m_alt = m_targetAlt;
        m_velUp = diff / dt;
        m_activity = Activity::Hold;
        spdlog::info("<VehicleSim> vehicle {} reached {:.1f} m, hovering", m_id, m_alt);
        return;
    }
    m_velUp = diff > 0 ? m_climbSpeed : -m_climbSpeed;
    m_alt += m_velUp * dt;
}

void SimFlightModel::descend(double dt)
{
    const double most = m_climbSpeed * dt;
    if (m_alt <= most + kEpsilon) {
        m_velUp = -m_alt / dt;
        m_alt = 0.0;
        touchDown();
        return;
    }
    m_velUp = -m_climbSpeed;
    m_alt -= most;
}

bool SimFlightModel::flyTo(double north, double east, double alt, double speed, double dt)
{
    const double dn = north - m_north;
    const double de = east - m_east;
    const double du = alt - m_alt;
    const double distance = std::sqrt(dn * dn + de * de + du * du);
    if (distance <= speed * dt + kEpsilon) {
        m_velNorth = dn / dt;
        m_velEast = de / dt;
        m_velUp = du / dt;
        m_north = north;
        m_east = east;
        m_alt = alt;
        return true;
    }
    m_velNorth = speed * dn / distance;
    m_velEast = speed * de / distance;
    m_velUp = speed * du / distance;
    m_north += m_velNorth * dt;
    m_east += m_velEast * dt;
    m_alt += m_velUp * dt;
    return false;
}

void SimFlightModel::flyMission(double dt, int stepMs)
{
    const MissionLeg& leg = m_mission[m_missionLeg];
    if (m_missionHovering) {
        m_hoverLeftMs -= stepMs;
        if (m_hoverLeftMs <= 0)
            nextMissionLeg();
        return;
    }
    if (!flyTo(m_targetNorth, m_targetEast, m_targetAlt, leg.speed, dt))
        return;
    m_missionVisited.push_back(leg.number);
    spdlog::info("<VehicleSim> vehicle {} reached waypoint {} at {:.1f} m", m_id, leg.number, m_alt);
    if (leg.hoverMs > 0) {
        m_missionHovering = true;
        m_hoverLeftMs = leg.hoverMs;
    } else {
        nextMissionLeg();
    }
}

void SimFlightModel::nextMissionLeg()
{
    m_missionHovering = false;
    const uint8_t from = m_mission[m_missionLeg].number;
    const uint8_t wanted = m_mission[m_missionLeg].nextWp;
    const auto next = wanted == 0 ? m_mission.end()
                                  : std::find_if(m_mission.begin(), m_mission.end(),
                                                 [wanted](const MissionLeg& l) { return l.number == wanted; });
    if (next == m_mission.end()) {
        m_activity = Activity::Hold;
        spdlog::info("<VehicleSim> vehicle {} finished its route at waypoint {} (next {}), hovering", m_id, from,
                     wanted);
        return;
    }
    if (m_missionVisited.size() >= m_missionLegLimit) {
        m_activity = Activity::Hold;
        spdlog::warn("<VehicleSim> vehicle {} stops its route after {} waypoints: waypoint {} leads back to {} again",
                     m_id, m_missionVisited.size(), from, wanted);
        return;
    }
    enterMissionLeg(size_t(next - m_mission.begin()));
}

void SimFlightModel::touchDown()
{
    m_armed = false;
    m_suspended = false;
    m_returnArrived = false;
    m_activity = Activity::None;
    m_targetAlt = 0.0;
    spdlog::info("<VehicleSim> vehicle {} landed and disarmed after {} s", m_id, m_currentFlightMs / 1000);
}

double SimFlightModel::latitude() const
{
    return m_homeLat + m_north / kMetresPerDegree;
}

double SimFlightModel::longitude() const
{
    return m_homeLon + m_east / metresPerDegreeLon(m_homeLat);
}

float SimFlightModel::fcuVol() const
{
    const double used = double(std::min(m_totalFlightMs, kEnduranceMs)) / double(kEnduranceMs);
    return float(kFullVolt - (kFullVolt - kEmptyVolt) * used);
}

bool SimFlightModel::positionFixed() const
{
    return m_timeMs >= m_options.fixAfterMs;
}

bool SimFlightModel::rcLost() const
{
    return m_options.rcLostAfterMs >= 0 && m_timeMs >= m_options.rcLostAfterMs;
}

bool SimFlightModel::telemetrySilent() const
{
    return m_options.silentAfterMs >= 0 && m_timeMs >= m_options.silentAfterMs;
}

uint8_t SimFlightModel::flightMode() const
{
    if (!m_armed || m_suspended)
        return 5;  // position hold
    switch (m_activity) {
    case Activity::Climb: return 8;
    case Activity::Mission: return 3;
    case Activity::Return: return 6;
    case Activity::Land: return 9;
    case Activity::None:
    case Activity::Hold: break;
    }
    return 5;
}

uint8_t SimFlightModel::flightState() const
{
    if (!m_armed)
        return m_idleMotorTest ? 5 : 0;
    if (m_suspended)
        return 2;
    switch (m_activity) {
    case Activity::Climb: return m_targetAlt < m_alt ? 4 : 1;
    case Activity::Mission: return m_missionHovering ? 2 : 3;
    case Activity::Return: return m_returnArrived ? 4 : 3;
    case Activity::Land: return 4;
    case Activity::None:
    case Activity::Hold: break;
    }
    return 2;
}

uint8_t SimFlightModel::workState() const
{
    if (m_armed)
        return 5;
    return m_idleMotorTest ? 4 : 3;
}

float SimFlightModel::throttlePercent() const
{
    if (!m_armed)
        return m_idleMotorTest ? float(m_idleMotorValue > 0 ? std::min<int>(m_idleMotorValue, 100) : 10) : 0.0f;
    switch (flightState()) {
    case 1: return 60.0f;
    case 3: return 55.0f;
    case 4: return 40.0f;
    default: return 50.0f;
    }
}

double SimFlightModel::wobble(double periodS, double phaseShift) const
{
    return std::sin(2.0 * std::numbers::pi * double(m_timeMs) / 1000.0 / periodS + m_phase + phaseShift);
}

MavProtoAhrsData_t SimFlightModel::ahrsData() const
{
    MavProtoAhrsData_t d{};
    const bool moving = std::hypot(m_velNorth, m_velEast) > 0.1;
    if (m_armed) {
        d.roll = float(0.6 * wobble(3.1, 0.0));
        d.pitch = float(0.5 * wobble(4.3, 1.0) - (moving ? 3.0 : 0.0));
        d.gx = float(0.3 * wobble(3.1, std::numbers::pi / 2));
        d.gy = float(0.3 * wobble(4.3, 1.0 + std::numbers::pi / 2));
    } else {
        d.roll = 0.1f;
        d.pitch = -0.2f;
    }
    d.az = -9.81f;
    const double yawRad = m_yaw * std::numbers::pi / 180.0;
    d.mx = int16_t(std::lround(250.0 * std::cos(yawRad)));
    d.my = int16_t(std::lround(-250.0 * std::sin(yawRad)));
    d.mz = 400;
    d.yaw = m_yaw;
    d.magYaw = m_yaw;
    d.presAlt = float(m_alt + 0.05 * wobble(7.0, 2.0));
    return d;
}

MavProtoPosData_t SimFlightModel::posData() const
{
    MavProtoPosData_t d{};
    const bool fixed = positionFixed();
    if (fixed) {
        d.homeLat = m_homeLat;
        d.homeLon = m_homeLon;
        d.lat = latitude();
        d.lon = longitude();
        d.rtkNorthLine = m_north;
        d.rtkEastLine = m_east;
        d.rtkUpLine = m_alt;
        d.rtkYaw = m_yaw;
        d.posSatNum = uint8_t(std::min<qint64>(20, 10 + (m_timeMs - m_options.fixAfterMs) / 1000));
        d.rtkSatNum = uint8_t(d.posSatNum - 2);
    } else {
        d.posSatNum = uint8_t(std::min<qint64>(4, m_timeMs / 1000));
    }
    d.alt = m_alt;
    d.northSpd = d.ekfNorthSpd = float(m_velNorth);
    d.eastSpd = d.ekfEastSpd = float(m_velEast);
    d.upSpd = d.ekfUpSpd = float(m_velUp);
    d.ekfNorthLine = m_north;
    d.ekfEastLine = m_east;
    d.ekfUpLine = m_alt;
    return d;
}

MavProtoTargetStabilizeData_t SimFlightModel::targetStabilizeData() const
{
    MavProtoTargetStabilizeData_t d{};
    const bool goingSomewhere = m_activity == Activity::Mission || m_activity == Activity::Return;
    d.targetPosN = goingSomewhere ? m_targetNorth : m_north;
    d.targetPosE = goingSomewhere ? m_targetEast : m_east;
    d.targetAlt = m_armed ? m_targetAlt : 0.0;
    d.targetVelN = float(m_velNorth);
    d.targetVelE = float(m_velEast);
    d.targetVelZ = float(m_velUp);
    d.targetYaw = m_yaw;
    const MavProtoAhrsData_t ahrs = ahrsData();
    d.rollServoOut = ahrs.roll * 2.0f;
    d.pitchServoOut = ahrs.pitch * 2.0f;
    d.throttleServoOut = throttlePercent();
    return d;
}

MavProtoRCData_t SimFlightModel::rcData() const
{
    MavProtoRCData_t d{};
    if (!rcLost()) {
        d.rcAil = d.rcEle = d.rcThr = d.rcRud = d.rcMode = 1500;
        d.rcAux1 = d.rcAux2 = d.rcAux3 = 1000;
    }
    const float throttle = throttlePercent();
    for (int i = 0; i < kMotorCount; ++i)
        d.motorOutput[i] = throttle > 0 ? uint16_t(1000 + std::lround(throttle * 10.0f)) : 0;
    return d;
}

_MavProtoFlightStatusData_t SimFlightModel::flightStatusData() const
{
    _MavProtoFlightStatusData_t d{};
    const bool fixed = positionFixed();
    d.flightMode = flightMode();
    d.flightState = flightState();
    d.rcState = rcLost() ? 0 : 1;
    d.positionState = fixed ? 3 : 0;
    d.headingState = fixed ? 1 : 0;
    d.linkState = 1;
    d.armedState = m_armed ? 1 : 0;
    d.batteryState = m_options.batteryState;
    d.packedState = MavProtoTeleProcesser::encodeComprehensiveStateByte(
        {d.rcState, d.positionState, d.headingState, d.linkState, d.armedState, d.batteryState});
    d.fcuVol = fcuVol();
    d.workState = workState();
    d.imuSensorState = kImuHealthy;
    d.headingSensorState = kHeadingSensorHealthy;
    d.gnssHdop = m_options.hdop;
    d.gnssVdop = m_options.vdop;
    d.gnssPositionState = fixed ? 3 : 0;
    d.integratedNavigationState = fixed ? 1 : 0;
    d.emergencyProtect = m_options.emergencyProtect;
    d.totalFlightTime = uint32_t(m_totalFlightMs / 1000);
    d.currentFlightTime = uint32_t(m_currentFlightMs / 1000);
    d.surplusFlightTime = uint32_t(std::max<qint64>(0, kEnduranceMs - m_totalFlightMs) / 1000);
    d.takeoffCheck = m_options.takeoffCheck;
    return d;
}

MavProtoResData_t SimFlightModel::resData() const
{
    MavProtoResData_t d{};
    for (int k = 0; k < MAVPROTO_RES_VALUE_COUNT; ++k)
        d.res[k] = float(k) * 0.5f;
    return d;
}

MavProtoComprehensiveData_t SimFlightModel::comprehensiveData() const
{
    const MavProtoAhrsData_t a = ahrsData();
    const MavProtoPosData_t p = posData();
    const MavProtoTargetStabilizeData_t t = targetStabilizeData();
    const MavProtoRCData_t r = rcData();
    const _MavProtoFlightStatusData_t s = flightStatusData();
    MavProtoComprehensiveData_t d{};
    d.roll = a.roll;
    d.pitch = a.pitch;
    d.yaw = a.yaw;
    d.presAlt = a.presAlt;
    d.lat = p.lat;
    d.lon = p.lon;
    d.alt = p.alt;
    d.rtkNorthLine = p.rtkNorthLine;
    d.rtkEastLine = p.rtkEastLine;
    d.rtkUpLine = p.rtkUpLine;
    d.northSpd = p.northSpd;
    d.eastSpd = p.eastSpd;
    d.upSpd = p.upSpd;
    d.posSatNum = p.posSatNum;
    d.targetPosN = t.targetPosN;
    d.targetPosE = t.targetPosE;
    d.targetAlt = t.targetAlt;
    d.targetVelN = t.targetVelN;
    d.targetVelE = t.targetVelE;
    d.targetVelZ = t.targetVelZ;
    d.targetRoll = t.targetRoll;
    d.targetPitch = t.targetPitch;
    d.targetYaw = t.targetYaw;
    d.rcAil = r.rcAil;
    d.rcEle = r.rcEle;
    d.rcThr = r.rcThr;
    d.rcRud = r.rcRud;
    d.rcMode = r.rcMode;
    for (int i = 0; i < MAVPROTO_COMPREHENSIVE_MOTOR_COUNT; ++i)
        d.motorOutput[i] = r.motorOutput[i];
    d.flightMode = s.flightMode;
    d.flightState = s.flightState;
    d.states = {s.rcState, s.positionState, s.headingState, s.linkState, s.armedState, s.batteryState};
    d.fcuVol = s.fcuVol;
    return d;
}
