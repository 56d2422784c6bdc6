#pragma once
// A deliberately simple flight model of one vehicle and the telemetry records it reports.
//
// Time is model time: the number of steps taken times SimOptions::stepMs. The simulator steps
// every vehicle from one timer; a busy simulator falls behind wall time but never skips a step,
// so the state after n steps depends only on the options, the commands and where they fell.
// The seed only sets the phase of the small attitude wobble and the parked heading.
//
// Behaviour:
//   - on the ground, disarmed, until a take-off; a take-off arms and climbs (or descends, when
//     airborne above the new target) to the commanded altitude at the commanded speed, then
//     hovers. Altitude 0 is taken as 1 m and speed 0 as 2 m/s;
//   - suspend holds the position (hovering) from any activity, resume continues it;
//   - land descends at the last take-off's speed; on touching down the vehicle disarms;
//   - return flies horizontally at the current altitude to the commanded point (0/0 or an
//     invalid coordinate means the vehicle's home) at 8 m/s, then descends and disarms there,
//     in flight mode 6 throughout;
//   - run mission is handed the stored route: it arms when on the ground and flies in a
//     straight line (climbing or descending on the way) to the route's first waypoint at that
//     waypoint's speed (5 m/s when 0 or unusable), hovers there for its hover time, then goes on
//     to the waypoint whose number is that waypoint's nextWp. A nextWp of 0 or a number the
//     route lacks ends the route: the vehicle holds its position, hovering. nextWp may lead
//     back (a loop), but after count × (repeat count + 2) waypoints reached the route ends with
//     a warning, so a loop never flies for ever. Altitudes are taken as above home whatever
//     the height type; a waypoint without a usable position (0/0 included) keeps the previous
//     horizontal target, one without a finite altitude the previous altitude (previous in
//     flown order);
//   - commands other than take-off and run mission change nothing on the ground.
// Each vehicle's home is the --home point moved 5 m east per vehicle index (10 to a row, rows
// 5 m north), so that a fleet does not stack up on one spot.
//
// Reported values: the GNSS position (home, lat/lon, RTK distances and heading) reads 0 until
// the fix at SimOptions::fixAfterMs; the satellites then rise from 10 to 20, one a second.
// The battery voltage falls linearly from 25.2 V to 21.0 V over 30 minutes of flight and the
// remaining flight time with it; batteryState comes only from SimOptions::batteryState, so an
// alert never appears unasked. The injected states (remote control lost, battery, emergency
// code, take-off check, HDOP/VDOP) each change exactly their own field, nothing else.

#include "MavProtoMissionRecords.h"
#include "MavProtoTeleProcesser.h"
#include "SimOptions.h"

#include <cstdint>
#include <vector>

class SimFlightModel {
public:
    enum class Activity { None, Climb, Hold, Mission, Return, Land };

    SimFlightModel(uint8_t vehicleId, const SimOptions& options);

    void takeOff(quint16 altitudeM, quint8 speedMs);
    void suspend();
    void resume();
    void land();
    void returnTo(double lat, double lon);
    // An empty route changes nothing. repeatTimes only bounds a nextWp loop.
    void startMission(const std::vector<MavProtoWayPointData_t>& route, uint8_t repeatTimes = 0);
    void setIdleMotorTest(bool on, quint8 value);

    // One step of SimOptions::stepMs.
    void step();

    // The id its log lines name; the home stays where the first id put it.
    void setVehicleId(uint8_t id) { m_id = id; }

    qint64 timeMs() const { return m_timeMs; }
    Activity activity() const { return m_activity; }
    bool suspended() const { return m_suspended; }
    bool armed() const { return m_armed; }
    double altitude() const { return m_alt; }
    double northM() const { return m_north; }  // from the vehicle's home
    double eastM() const { return m_east; }
    double homeLat() const { return m_homeLat; }
    double homeLon() const { return m_homeLon; }
    double latitude() const;
    double longitude() const;
    float fcuVol() const;
    bool positionFixed() const;
    bool rcLost() const;
    bool telemetrySilent() const;
    uint8_t flightMode() const;
    uint8_t flightState() const;
    uint8_t workState() const;
    // Numbers of the waypoints of the running or last mission reached so far, in flown order.
    const std::vector<uint8_t>& missionVisited() const { return m_missionVisited; }
    int missionReached() const { return int(m_missionVisited.size()); }

    MavProtoAhrsData_t ahrsData() const;
    MavProtoPosData_t posData() const;
    MavProtoTargetStabilizeData_t targetStabilizeData() const;
    MavProtoRCData_t rcData() const;
    _MavProtoFlightStatusData_t flightStatusData() const;
    MavProtoResData_t resData() const;
    MavProtoComprehensiveData_t comprehensiveData() const;

private:
    struct MissionLeg {
        uint8_t number = 0;
        uint8_t nextWp = 0;
        bool hasPosition = false;
        double north = 0.0;
        double east = 0.0;
        bool hasAlt = false;
        double alt = 0.0;
        double speed = 0.0;
        qint64 hoverMs = 0;
    };

    void climbToTarget(double dt);
    void descend(double dt);
    // Moves in a straight line toward (north, east, alt); true once there.
    bool flyTo(double north, double east, double alt, double speed, double dt);
    void flyMission(double dt, int stepMs);
    void enterMissionLeg(size_t index);
    void nextMissionLeg();
    void touchDown();
    float throttlePercent() const;
    double wobble(double periodS, double phaseShift) const;

    uint8_t m_id;
    const SimOptions& m_options;
    double m_homeLat;
    double m_homeLon;
    double m_phase;
    float m_parkedYaw;

    qint64 m_timeMs = 0;
    qint64 m_totalFlightMs = 0;
    qint64 m_currentFlightMs = 0;
    bool m_armed = false;
    bool m_suspended = false;
    Activity m_activity = Activity::None;
    bool m_returnArrived = false;
    bool m_idleMotorTest = false;
    quint8 m_idleMotorValue = 0;

    double m_north = 0.0;
    double m_east = 0.0;
    double m_alt = 0.0;
    double m_velNorth = 0.0;
    double m_velEast = 0.0;
    double m_velUp = 0.0;
    float m_yaw = 0.0f;

    double m_targetAlt = 0.0;
    double m_climbSpeed = 2.0;
    double m_targetNorth = 0.0;
    double m_targetEast = 0.0;
    std::vector<MissionLeg> m_mission;
    size_t m_missionLeg = 0;
    size_t m_missionLegLimit = 0;
    bool m_missionHovering = false;
    qint64 m_hoverLeftMs = 0;
    std::vector<uint8_t> m_missionVisited;

    // For the one-off log lines of the time-driven states.
    bool m_loggedFix = false;
    bool m_loggedRcLost = false;
    bool m_loggedSilent = false;
};
