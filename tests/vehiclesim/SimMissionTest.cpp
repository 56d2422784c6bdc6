// Route upload, download and flight of the in-process simulator, driven by a UDP socket on
// 127.0.0.1 playing the station.

#include "SimStation.h"

#include "MavProtoMissionProcesser.h"

#include <array>
#include <cmath>
#include <functional>
#include <numbers>
#include <type_traits>

using P = MavProtoMissionProcesser;
using Bytes = std::vector<uint8_t>;
using simtest::SimStation;
using testsupport::waitUntil;

namespace {

// Waypoint n of route 4, north and east metres from the first vehicle's home (the flight model's
// metres per degree).
MavProtoWayPointData_t wayPoint(uint8_t n, double north, double east, double alt, uint16_t hover = 0)
{
    const SimOptions o;
    const double perDegreeLon = 111320.0 * std::cos(o.homeLat * std::numbers::pi / 180.0);
    return {.number = n, .lon = o.homeLon + east / perDegreeLon, .lat = o.homeLat + north / 111320.0, .alt = alt,
            .vel = 100.0f, .hoverTime = hover, .routeNumber = 4};
}

const std::vector<MavProtoWayPointData_t> kRoute = {wayPoint(1, 20, 0, 10), wayPoint(2, 20, 15, 15, 1),
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

// Out of order, with a resend, and refusals that change nothing; then read back byte for byte.
TEST(SimMission, UploadedRouteDownloadsByteForByte)
{
    SimStation st;
    SimOptions o;
    o.heartbeatMs = 600000;
    ASSERT_TRUE(st.start(o));
    _MavPFrame_t cut = up(kRoute[0]);
    cut.data.pop_back();
    EXPECT_EQ(exchange(st, {up(kRoute[0]), kUpBasic, up(kRoute[2]), up(kRoute[1]), up(wayPoint(4, 0, 0, 1)), cut,
                            up(kRoute[0]), up(kRoute[0])}),
              (std::vector<Bytes>{{8}, {0}, {0}, {0}, {8}, {8}, {0}, {0}}));

    std::vector<_MavPFrame_t> asks = {req(&P::packDownWayPointBasicParamsFrame, 9)};
    std::vector<Bytes> want = {{0, 2, 3, 15, 4}};
    for (uint8_t n = 1; n <= 3; ++n) {
        asks.push_back(req(&P::packDownWayPointDataReqFrame, {n, 4}));
        want.push_back(MavProtoHelper::recordBytes(kRoute[n - 1]));
        want.back().insert(want.back().begin(), 0);
    }
    EXPECT_EQ(exchange(st, asks), want);
}

// Each fault strikes waypoint 2: its upload answer (sent twice), and what a download shows.
TEST(SimMission, TransferFaultsStrikeTheirWaypoint)
{
    struct Row {
        const char* name;
        std::function<void(SimOptions&)> set;
        Bytes upAnswer;
        Bytes downBasic;
        Bytes downHead;  // result, then number and route number of waypoint 2
    };
    const Bytes stored = {0, 2, 3, 15, 4};
    const Bytes none = {0, 0, 0, 15, 0};
    const std::vector<Row> rows = {
        {"none", [](SimOptions&) {}, {0}, stored, {0, 2, 4}},
        {"--wp-no-ack 2", [](SimOptions& o) { o.wpNoAck = {2}; }, {0xEE}, none, {8}},
        {"--wp-result 2=5", [](SimOptions& o) { o.wpResults = {{2, 5}}; }, {5}, none, {8}},
        {"--dl-wrong-route 2", [](SimOptions& o) { o.dlWrongRoute = {2}; }, {0}, stored, {0, 2, 5}},
        {"--dl-wrong-number 2", [](SimOptions& o) { o.dlWrongNumber = {2}; }, {0}, stored, {0, 3, 4}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimStation st;
        SimOptions o;
        o.heartbeatMs = 600000;
        row.set(o);
        ASSERT_TRUE(st.start(o));
        auto a = exchange(st, {kUpBasic, up(kRoute[0]), up(kRoute[1]), up(kRoute[1]), up(kRoute[2]),
                               req(&P::packDownWayPointBasicParamsFrame, 4), req(&P::packDownWayPointDataReqFrame, {2, 4})});
        if (a[6].size() == 57)
            a[6] = {a[6][0], a[6][1], a[6][53]};
        EXPECT_EQ(a[2], row.upAnswer);
        EXPECT_EQ(a[3], row.upAnswer) << "the resend";
        EXPECT_EQ(a[5], row.downBasic);
        EXPECT_EQ(a[6], row.downHead);
    }
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
    ASSERT_TRUE(waitUntil([&] {
        if (model.missionReached() == 2 && !atSecond)
            atSecond = position();
        return model.missionReached() == 3 && model.activity() == SimFlightModel::Activity::Hold;
    }, 15000));
    for (const auto& [at, want] : {std::pair{atSecond.value_or(Position{}), Position{20, 15, 15}},
                                   std::pair{position(), Position{0, 15, 5}}}) {
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(at[i], want[i], 1e-6) << "axis " << i;
    }
    EXPECT_TRUE(model.armed());
    EXPECT_EQ(model.flightState(), 2) << "hovering";
}
