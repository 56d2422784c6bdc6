// The flight model stepped by hand: no timer, no link.

#include "SimFlightModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <vector>

namespace {

void stepN(SimFlightModel& m, int n)
{
    for (int i = 0; i < n; ++i)
        m.step();
}

template <typename T>
bool sameBytes(const T& a, const T& b)
{
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

}  // namespace

// Each scenario acts, steps (50 ms each) and checks where the vehicle is and what it reports.
TEST(SimFlightModel, CommandsMoveTheVehicleThroughItsFlightStates)
{
    struct Step {
        const char* what;
        std::function<void(SimFlightModel&)> act;
        int steps;
        int flightState;
        int flightMode;
        bool armed;
        double alt, north, east;
    };
    auto none = [](SimFlightModel&) {};
    struct Scenario {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Scenario> scenarios = {
        {"take-off, suspend, resume, lower target, land",
         {
             {"climbs at 2 m/s", [](auto& m) { m.takeOff(10, 2); }, 20, 1, 8, true, 2.0, 0, 0},
             {"suspend holds", [](auto& m) { m.suspend(); }, 20, 2, 5, true, 2.0, 0, 0},
             {"resume climbs on", [](auto& m) { m.resume(); }, 20, 1, 8, true, 4.0, 0, 0},
             {"hovers at the target", none, 200, 2, 5, true, 10.0, 0, 0},
             {"a lower take-off target descends", [](auto& m) { m.takeOff(6, 4); }, 10, 4, 8, true, 8.0, 0, 0},
             {"and hovers there", none, 20, 2, 5, true, 6.0, 0, 0},
             {"land descends at the climb speed", [](auto& m) { m.land(); }, 10, 4, 9, true, 4.0, 0, 0},
             {"touches down and disarms", none, 40, 0, 5, false, 0.0, 0, 0},
         }},
        {"mission square, then return to home",
         {
             {"hovers", [](auto& m) { m.takeOff(10, 5); }, 40, 2, 5, true, 10.0, 0, 0},
             {"mission flies north first", [](auto& m) { m.startMission(); }, 50, 3, 3, true, 10.0, 20.0, 0},
             {"then west along the square", none, 100, 3, 3, true, 10.0, 40.0, -20.0},
             {"return flies straight home at 8 m/s", [](auto& m) { m.returnTo(0, 0); }, 10, 3, 6, true, 10.0,
              40.0 - 4.0 * 40.0 / std::hypot(40.0, 20.0), -20.0 + 4.0 * 20.0 / std::hypot(40.0, 20.0)},
             {"descends at home, still returning", none, 110, 4, 6, true, 8.0, 0, 0},
             {"lands at home", none, 40, 0, 5, false, 0.0, 0, 0},
         }},
        {"return to a commanded point",
         {
             {"hovers", [](auto& m) { m.takeOff(5, 5); }, 20, 2, 5, true, 5.0, 0, 0},
             {"flies and lands 11.132 m north",
              [](auto& m) { m.returnTo(m.homeLat() + 0.0001, m.homeLon()); }, 100, 0, 5, false, 0.0, 11.132, 0},
         }},
        {"on the ground only a take-off acts",
         {
             {"land", [](auto& m) { m.land(); }, 5, 0, 5, false, 0.0, 0, 0},
             {"suspend", [](auto& m) { m.suspend(); }, 5, 0, 5, false, 0.0, 0, 0},
             {"return", [](auto& m) { m.returnTo(0, 0); }, 5, 0, 5, false, 0.0, 0, 0},
             {"mission", [](auto& m) { m.startMission(); }, 5, 0, 5, false, 0.0, 0, 0},
             {"idle-motor test", [](auto& m) { m.setIdleMotorTest(true, 20); }, 5, 5, 5, false, 0.0, 0, 0},
             {"take-off with zeros: 1 m at 2 m/s", [](auto& m) { m.takeOff(0, 0); }, 10, 2, 5, true, 1.0, 0, 0},
         }},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        SimOptions o;
        SimFlightModel m(1, o);
        for (const Step& s : scenario.steps) {
            SCOPED_TRACE(s.what);
            s.act(m);
            stepN(m, s.steps);
            const _MavProtoFlightStatusData_t fs = m.flightStatusData();
            EXPECT_EQ(fs.flightState, s.flightState);
            EXPECT_EQ(fs.flightMode, s.flightMode);
            EXPECT_EQ(fs.armedState, s.armed ? 1 : 0);
            EXPECT_EQ(fs.workState, s.armed ? 5 : (m.flightState() == 5 ? 4 : 3));
            EXPECT_NEAR(m.posData().alt, s.alt, 1e-6);
            EXPECT_NEAR(m.ahrsData().presAlt, s.alt, 0.06f);
            EXPECT_NEAR(m.posData().ekfNorthLine, s.north, 1e-3);
            EXPECT_NEAR(m.posData().ekfEastLine, s.east, 1e-3);
        }
    }
}

TEST(SimFlightModel, PositionFixesLateAndSatellitesRise)
{
    SimOptions o;
    o.fixAfterMs = 1000;
    o.homeLat = 30.0;
    o.homeLon = 120.0;
    SimFlightModel m(1, o);
    struct Row {
        int steps;
        int positionState, headingState, posSatNum, rtkSatNum;
        double lat;
    };
    const std::vector<Row> rows = {
        {0, 0, 0, 0, 0, 0.0},
        {19, 0, 0, 0, 0, 0.0},
        {1, 3, 1, 10, 8, 30.0},
        {20, 3, 1, 11, 9, 30.0},
        {400, 3, 1, 20, 18, 30.0},
    };
    for (const Row& row : rows) {
        stepN(m, row.steps);
        SCOPED_TRACE(testing::Message() << "at " << m.timeMs() << " ms");
        const auto fs = m.flightStatusData();
        const auto pos = m.posData();
        EXPECT_EQ(fs.positionState, row.positionState);
        EXPECT_EQ(fs.headingState, row.headingState);
        EXPECT_EQ(fs.packedState & 0x06, row.positionState ? 0x06 : 0) << "positioned and heading bits";
        EXPECT_EQ(pos.posSatNum, row.posSatNum);
        EXPECT_EQ(pos.rtkSatNum, row.rtkSatNum);
        EXPECT_EQ(pos.lat, row.lat);
        EXPECT_EQ(pos.homeLat, row.lat);
    }
}

TEST(SimFlightModel, BatteryAndFlightTimesRunOnlyWhileArmed)
{
    SimOptions o;
    SimFlightModel m(1, o);
    stepN(m, 100);
    EXPECT_FLOAT_EQ(m.flightStatusData().fcuVol, 25.2f) << "nothing drains on the ground";
    EXPECT_EQ(m.flightStatusData().surplusFlightTime, 1800u);

    m.takeOff(20, 1);
    stepN(m, 1200);  // 60 s in the air
    auto fs = m.flightStatusData();
    EXPECT_EQ(fs.currentFlightTime, 60u);
    EXPECT_EQ(fs.totalFlightTime, 60u);
    EXPECT_EQ(fs.surplusFlightTime, 1740u);
    EXPECT_NEAR(fs.fcuVol, 25.2 - 4.2 * 60 / 1800, 1e-4);
    EXPECT_EQ(m.rcData().motorOutput[0], 1500) << "50 % in the hover";
    EXPECT_EQ(m.rcData().motorOutput[4], 0) << "four motors";

    m.land();
    stepN(m, 600);
    fs = m.flightStatusData();
    EXPECT_EQ(fs.armedState, 0);
    EXPECT_EQ(fs.currentFlightTime, 80u) << "20 s down from 20 m at 1 m/s";
    EXPECT_EQ(m.rcData().motorOutput[0], 0);

    m.takeOff(5, 5);
    stepN(m, 20);
    fs = m.flightStatusData();
    EXPECT_EQ(fs.currentFlightTime, 1u) << "starts again at take-off";
    EXPECT_EQ(fs.totalFlightTime, 81u) << "keeps adding up";
}

TEST(SimFlightModel, SameSeedSameRecordsAndFleetHomesSpreadOut)
{
    SimOptions o;
    o.firstId = 10;
    SimOptions other = o;
    other.seed = o.seed + 1;
    SimFlightModel a(21, o);
    SimFlightModel b(21, o);
    SimFlightModel c(21, other);
    for (SimFlightModel* m : {&a, &b, &c}) {
        m->takeOff(10, 3);
        stepN(*m, 30);
        m->startMission();
        stepN(*m, 17);
    }
    EXPECT_TRUE(sameBytes(a.comprehensiveData(), b.comprehensiveData()));
    EXPECT_TRUE(sameBytes(a.ahrsData(), b.ahrsData()));
    EXPECT_TRUE(sameBytes(a.targetStabilizeData(), b.targetStabilizeData()));
    EXPECT_FALSE(sameBytes(a.ahrsData(), c.ahrsData())) << "the seed moves the wobble";
    EXPECT_TRUE(sameBytes(a.posData(), c.posData())) << "but not the flight";

    // Index 11: second row, second column, 5 m apart.
    EXPECT_NEAR((a.homeLat() - o.homeLat) * 111320.0, 5.0, 1e-6);
    EXPECT_NEAR((a.homeLon() - o.homeLon) * 111320.0 * std::cos(o.homeLat * std::numbers::pi / 180.0), 5.0, 1e-6);
}
