// Route upload, download and flight of the in-process simulator, driven by a UDP socket on
// 127.0.0.1 playing the station (the flight order on the flight model alone). The per-waypoint
// transfer faults run end to end in tests/vehicle (MissionTransfer.FaultsEndTransfersWithTheirResultSoak, label soak).

#include "SimStation.h"

#include "MavProtoMissionProcesser.h"

#include <array>
#include <cmath>
#include <numbers>
#include <type_traits>

using P = MavProtoMissionProcesser;
using Bytes = std::vector<uint8_t>;
using simtest::SimStation;
using testsupport::waitUntil;

namespace {

// Waypoint n of route 4, north and east metres from the first vehicle's home (the flight model's
// metres per degree).
MavProtoWayPointData_t wayPoint(uint8_t n, double north, double east, double alt, uint16_t hover = 0, uint8_t next = 0)
{
    const SimOptions o;
    const double perDegreeLon = 111320.0 * std::cos(o.homeLat * std::numbers::pi / 180.0);
    return {.number = n,
            .lon = o.homeLon + east / perDegreeLon,
            .lat = o.homeLat + north / 111320.0,
            .alt = alt,
            .vel = 100.0f,
            .hoverTime = hover,
            .nextWp = next,
            .routeNumber = 4};
}

const std::vector<MavProtoWayPointData_t> kRoute = {wayPoint(1, 20, 0, 10, 0, 2), wayPoint(2, 20, 15, 15, 1, 3),
                                                    wayPoint(3, 0, 15, 5)};

// A request to vehicle 1 (exchange numbers it).
template <typename... A>
_MavPFrame_t req(uint16_t (*pack)(_MavPFrame_t&, uint8_t, uint8_t, A...), std::type_identity_t<A>... args)
{
    _MavPFrame_t f;
    pack(f, 1, 0, args...);
    return f;
}

_MavPFrame_t up(const MavProtoWayPointData_t& wp)
{
    return req(&P::packWayPointDataFrame, wp);
}

const _MavPFrame_t kUpBasic = req(&P::packWayPointBasicParamsFrame, {2, 3, 15, 4});

// Sends each frame with seq = its position and waits for the answer to the last one; returns
// the data of each answer, {0xEE} where none came.
std::vector<Bytes> exchange(SimStation& st, std::vector<_MavPFrame_t> frames)
{
    const qsizetype earlier = st.answers().size();
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].seq = uint8_t(i);
        EXPECT_TRUE(st.send(simtest::toWire(frames[i])));
    }
    std::vector<Bytes> answers(frames.size(), Bytes{0xEE});
    EXPECT_TRUE(waitUntil([&] {
        for (const _MavPFrame_t& a : st.answers().mid(earlier))
            answers.at(a.seq) = a.data;
        return answers.back() != Bytes{0xEE};
    }));
    return answers;
}

}  // namespace

// Out of order, with resends, and refusals that change nothing (a number again with other bytes,
// after the route completed and within a second upload); then read back byte for byte.
TEST(SimMission, UploadedRouteDownloadsByteForByte)
{
    SimStation st;
    SimOptions o;
    o.heartbeatMs = 600000;
    ASSERT_TRUE(st.start(o));
    _MavPFrame_t cut = up(kRoute[0]);
    cut.data.pop_back();
    MavProtoWayPointData_t other = kRoute[0];
    other.alt += 1;
    EXPECT_EQ(exchange(st, {up(kRoute[0]), kUpBasic, up(kRoute[2]), up(kRoute[1]), up(wayPoint(4, 0, 0, 1)), cut,
                            up(kRoute[0]), up(kRoute[0]), up(other), kUpBasic, up(kRoute[0]), up(other), up(kRoute[1]),
                            up(kRoute[0])}),
              (std::vector<Bytes>{{8}, {0}, {0}, {0}, {8}, {8}, {0}, {0}, {8}, {0}, {0}, {8}, {0}, {0}}));

    std::vector<_MavPFrame_t> asks = {req(&P::packDownWayPointBasicParamsFrame, 9)};
    std::vector<Bytes> want = {{0, 2, 3, 15, 4}};
    for (uint8_t n = 1; n <= 3; ++n) {
        asks.push_back(req(&P::packDownWayPointDataReqFrame, {n, 4}));
        want.push_back(MavProtoHelper::recordBytes(kRoute[n - 1]));
        want.back().insert(want.back().begin(), 0);
    }
    EXPECT_EQ(exchange(st, asks), want);
}

// Refused without a route; with one it takes off, hovers at waypoint 2, and hovers after the last.
TEST(SimMission, RunMissionFliesTheStoredRoute)
{
    SimStation st;
    SimOptions o;
    o.heartbeatMs = 600000;
    o.stepMs = 20;
    ASSERT_TRUE(st.start(o));
    const _MavPFrame_t run = req(&MavProtoCtrlCmdProcesser::packStartMissionPFrame);
    EXPECT_EQ(exchange(st, {run}), std::vector<Bytes>{{6}});
    const SimFlightModel& model = st.sim->vehicle(1)->flightModel();
    EXPECT_FALSE(model.armed());

    EXPECT_EQ(exchange(st, {kUpBasic, up(kRoute[0]), up(kRoute[1]), up(kRoute[2]), run}).back(), Bytes{0});
    using Position = std::array<double, 3>;
    const auto position = [&] { return Position{model.northM(), model.eastM(), model.altitude()}; };
    std::optional<Position> atSecond;
    ASSERT_TRUE(waitUntil(
        [&] {
            if (model.missionReached() == 2 && !atSecond)
                atSecond = position();
            return model.missionReached() == 3 && model.activity() == SimFlightModel::Activity::Hold;
        },
        15000));
    for (const auto& [at, want] :
         {std::pair{atSecond.value_or(Position{}), Position{20, 15, 15}}, std::pair{position(), Position{0, 15, 5}}}) {
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(at[i], want[i], 1e-6) << "axis " << i;
    }
    EXPECT_TRUE(model.armed());
    EXPECT_EQ(model.flightState(), 2) << "hovering";
}

// Flown order follows nextWp; 0, a number the route lacks, or a loop past its bound ends it.
TEST(SimMission, FlightFollowsNextWp)
{
    struct Case {
        const char* name;
        std::vector<std::pair<uint8_t, uint8_t>> numberAndNext;
        uint8_t repeat;
        std::vector<uint8_t> visited;
    };
    const std::vector<Case> cases = {
        {"1, 3, 2", {{1, 3}, {2, 0}, {3, 2}}, 0, {1, 3, 2}},
        {"next is 0", {{1, 0}, {2, 3}, {3, 0}}, 0, {1}},
        {"next is missing", {{1, 2}, {2, 7}, {3, 0}}, 0, {1, 2}},
        {"loop, repeated once", {{1, 2}, {2, 1}}, 1, {1, 2, 1, 2, 1, 2}},
        {"to itself", {{1, 1}}, 0, {1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const SimOptions o;
        SimFlightModel model(uint8_t(o.firstId), o);
        std::vector<MavProtoWayPointData_t> route;
        for (const auto& [n, next] : c.numberAndNext)
            route.push_back(wayPoint(n, 10.0 * n, 0, 10, 0, next));
        model.startMission(route, c.repeat);
        for (int i = 0; i < 1000 && model.activity() == SimFlightModel::Activity::Mission; ++i)
            model.step();
        EXPECT_EQ(model.activity(), SimFlightModel::Activity::Hold);
        EXPECT_EQ(model.missionVisited(), c.visited);
        EXPECT_NEAR(model.northM(), 10.0 * c.visited.back(), 1e-6);
    }
}
