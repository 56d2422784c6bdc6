// Telemetry answers of the in-process simulator, polled by a UDP socket on 127.0.0.1 playing
// the station.

#include "SimStation.h"

#include "MavProtoTeleProcesser.h"

#include <functional>
#include <optional>
#include <utility>
#include <vector>

using simtest::SimStation;
using simtest::takeOff;
using simtest::toWire;
using testsupport::waitUntil;

namespace {

bool isTelemetryCmd(uint8_t cmd)
{
    return (cmd >= MavCmd::TeleAhrs && cmd <= MavCmd::TeleComprehensive) || cmd == MavCmd::TeleReserved;
}

QList<QByteArray> telemetryDatagrams(const testsupport::UdpPeer& peer)
{
    QList<QByteArray> list;
    for (const QByteArray& d : peer.datagrams()) {
        if (d.size() > 5 && isTelemetryCmd(quint8(d[5])))
            list.append(d);
    }
    return list;
}

int heartbeatCount(const testsupport::UdpPeer& peer)
{
    int n = 0;
    for (const QByteArray& d : peer.datagrams())
        n += d.size() > 5 && quint8(d[5]) == MavCmd::Heartbeat;
    return n;
}

// Cuts a datagram by the length fields, which the fault injector never touches; a tail that is
// not a whole frame comes last as it is.
QList<QByteArray> splitFrames(const QByteArray& d)
{
    QList<QByteArray> frames;
    qsizetype at = 0;
    while (at + qsizetype(MAVPROTO_FRAME_OVERHEAD) <= d.size()) {
        const qsizetype n = (qsizetype(quint8(d[at + 6])) | qsizetype(quint8(d[at + 7])) << 8) + MAVPROTO_FRAME_OVERHEAD;
        if (at + n > d.size())
            break;
        frames.append(d.mid(at, n));
        at += n;
    }
    if (at < d.size())
        frames.append(d.mid(at));
    return frames;
}

struct Answer {
    QList<_MavPFrame_t> frames;
    bool whole = true;  // every piece of the datagram parsed as a frame

    const _MavPFrame_t* frame(uint8_t cmd) const
    {
        for (const auto& f : frames) {
            if (f.cmd == cmd)
                return &f;
        }
        return nullptr;
    }
};

Answer decode(const QByteArray& datagram)
{
    Answer a;
    for (const QByteArray& piece : splitFrames(datagram)) {
        const auto f = simtest::parse(piece);
        if (f && simtest::toWire(*f) == piece)
            a.frames.append(*f);
        else
            a.whole = false;
    }
    return a;
}

QByteArray request(uint8_t id)
{
    _MavPFrame_t f;
    MavProtoTeleProcesser::packRequestAllTelePFrame(f, id);
    return toWire(f);
}

// Asks the vehicle for telemetry and waits for the datagram that answers.
std::optional<Answer> poll(SimStation& st, uint8_t id)
{
    const qsizetype before = telemetryDatagrams(st.peer).size();
    if (!st.send(request(id)) || !waitUntil([&] { return telemetryDatagrams(st.peer).size() > before; }, 3000))
        return std::nullopt;
    return decode(telemetryDatagrams(st.peer).at(before));
}

// The flight status fields of an answer: all from a full one; from a comprehensive one its
// subset (mode, state, the six state bytes and the voltage), the rest left zero.
_MavProtoFlightStatusData_t flightStatusOf(const Answer& a)
{
    _MavProtoFlightStatusData_t fs{};
    if (const auto* f = a.frame(MavCmd::TeleFlightStatus)) {
        MavProtoTeleProcesser::parseFlightStatusData(*f, fs);
    } else if (const auto* c = a.frame(MavCmd::TeleComprehensive)) {
        MavProtoComprehensiveData_t d{};
        MavProtoTeleProcesser::parseComprehensiveData(*c, d);
        fs.flightMode = d.flightMode;
        fs.flightState = d.flightState;
        fs.rcState = d.states.rcState;
        fs.positionState = d.states.positionState;
        fs.headingState = d.states.headingState;
        fs.linkState = d.states.linkState;
        fs.armedState = d.states.armedState;
        fs.batteryState = d.states.batteryState;
        fs.packedState = MavProtoTeleProcesser::encodeComprehensiveStateByte(d.states);
        fs.fcuVol = d.fcuVol;
    }
    return fs;
}

double altitudeOf(const Answer& a)
{
    if (const auto* f = a.frame(MavCmd::TelePosition)) {
        MavProtoPosData_t p{};
        MavProtoTeleProcesser::parsePosData(*f, p);
        return p.alt;
    }
    MavProtoComprehensiveData_t d{};
    if (const auto* c = a.frame(MavCmd::TeleComprehensive))
        MavProtoTeleProcesser::parseComprehensiveData(*c, d);
    return d.alt;
}

bool ackArrived(const SimStation& st, uint8_t cmd, uint8_t seq)
{
    for (const auto& f : st.answers()) {
        if (f.cmd == cmd && f.seq == seq)
            return true;
    }
    return false;
}

}  // namespace

TEST(SimTelemetry, OneDatagramHoldsTheWholeAnswerOfTheRequestedVehicle)
{
    using Frames = std::vector<std::pair<uint8_t, size_t>>;
    struct Row {
        const char* name;
        SimOptions::Telemetry telemetry;
        uint8_t target;
        Frames frames;
    };
    const std::vector<Row> rows = {
        {"full",
         SimOptions::Telemetry::Full,
         6,
         {{MavCmd::TeleAhrs, sizeof(MavProtoAhrsData_t)},
          {MavCmd::TelePosition, sizeof(MavProtoPosData_t)},
          {MavCmd::TeleTargetStabilize, sizeof(MavProtoTargetStabilizeData_t)},
          {MavCmd::TeleRc, sizeof(MavProtoRCData_t)},
          {MavCmd::TeleFlightStatus, sizeof(_MavProtoFlightStatusData_t)},
          {MavCmd::TeleReserved, sizeof(MavProtoResData_t)}}},
        {"comprehensive", SimOptions::Telemetry::Comprehensive, 6,
         {{MavCmd::TeleComprehensive, sizeof(MavProtoComprehensiveData_t)}}},
        {"id not simulated", SimOptions::Telemetry::Full, 9, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimStation st;
        SimOptions o;
        o.count = 3;
        o.firstId = 5;
        o.heartbeatMs = 600000;
        o.telemetry = row.telemetry;
        ASSERT_TRUE(st.start(o));
        ASSERT_TRUE(st.send(request(row.target)));
        ASSERT_TRUE(st.send(request(row.target)));
        // Answered after both requests were dealt with.
        _MavPFrame_t marker;
        MavProtoCtrlCmdProcesser::packResumePFrame(marker, 5, 77);
        ASSERT_TRUE(st.send(toWire(marker)));
        ASSERT_TRUE(waitUntil([&] { return ackArrived(st, MavCmd::Resume, 77); }));

        const QList<QByteArray> datagrams = telemetryDatagrams(st.peer);
        const bool answered = !row.frames.empty();
        ASSERT_EQ(datagrams.size(), answered ? 2 : 0) << "one datagram per request";
        for (int i = 0; i < datagrams.size(); ++i) {
            const Answer a = decode(datagrams[i]);
            ASSERT_TRUE(a.whole);
            ASSERT_EQ(size_t(a.frames.size()), row.frames.size());
            for (size_t k = 0; k < row.frames.size(); ++k) {
                const _MavPFrame_t& f = a.frames[qsizetype(k)];
                EXPECT_EQ(f.cmd, row.frames[k].first);
                EXPECT_EQ(f.data.size(), row.frames[k].second);
                EXPECT_EQ(f.tx_id, row.target);
                EXPECT_EQ(f.rx_id, MAVPROTO_GCS_ID);
                EXPECT_EQ(f.seq, i) << "answers are numbered, all frames of one alike";
            }
        }
        const SimCounters c = st.sim->counters();
        EXPECT_EQ(c.teleRequests, answered ? 2u : 0u);
        EXPECT_EQ(c.teleAnswers, answered ? 2u : 0u);
        EXPECT_EQ(c.foreignFrames, answered ? 0u : 2u);
        EXPECT_EQ(c.answered, 1u) << "a telemetry request is not acknowledged";
    }
}

TEST(SimTelemetry, TakeOffClimbsTowardTheTargetAndLandBringsItDown)
{
    for (const auto telemetry : {SimOptions::Telemetry::Full, SimOptions::Telemetry::Comprehensive}) {
        SCOPED_TRACE(telemetry == SimOptions::Telemetry::Full ? "full" : "comprehensive");
        SimStation st;
        SimOptions o;
        o.fixAfterMs = 0;
        o.telemetry = telemetry;
        ASSERT_TRUE(st.start(o));
        const SimFlightModel& model = st.sim->vehicle(1)->flightModel();

        struct Reading {
            double alt;
            _MavProtoFlightStatusData_t fs;
        };
        // One reading per model step, until `done`.
        auto readUntil = [&](const std::function<bool(const Reading&)>& done) {
            std::vector<Reading> readings;
            qint64 lastStep = -1;
            while (readings.empty() || !done(readings.back())) {
                if (!waitUntil([&] { return model.timeMs() > lastStep; }) || readings.size() > 500)
                    break;
                lastStep = model.timeMs();
                const auto a = poll(st, 1);
                if (!a)
                    break;
                readings.push_back({altitudeOf(*a), flightStatusOf(*a)});
            }
            return readings;
        };

        const auto parked = readUntil([](const Reading&) { return true; });
        ASSERT_EQ(parked.size(), 1u);
        EXPECT_EQ(parked[0].alt, 0.0);
        EXPECT_EQ(parked[0].fs.armedState, 0);
        EXPECT_EQ(parked[0].fs.flightState, 0);

        ASSERT_TRUE(st.send(takeOff(1, 21, 4, 8)));
        ASSERT_TRUE(waitUntil([&] { return ackArrived(st, MavCmd::TakeOff, 21); }));
        const auto climb = readUntil([](const Reading& r) { return r.fs.flightState == 2; });
        ASSERT_FALSE(climb.empty());
        ASSERT_EQ(climb.back().fs.flightState, 2) << "hovering at the end";
        EXPECT_NEAR(climb.back().alt, 4.0, 1e-6);
        int between = 0;
        for (size_t i = 0; i + 1 < climb.size(); ++i) {
            EXPECT_EQ(climb[i].fs.flightState, 1) << "climbing";
            EXPECT_EQ(climb[i].fs.flightMode, 8) << "take-off mode";
            EXPECT_EQ(climb[i].fs.armedState, 1);
            EXPECT_LE(climb[i].alt, climb[i + 1].alt);
            between += climb[i].alt > 0.0 && climb[i].alt < 4.0;
        }
        EXPECT_GE(between, 3) << "the altitude rises over successive answers";

        ASSERT_TRUE(st.send(simtest::frameBytes(MAVPROTO_GCS_ID, 1, 22, MavCmd::Land)));
        ASSERT_TRUE(waitUntil([&] { return ackArrived(st, MavCmd::Land, 22); }));
        const auto descent = readUntil([](const Reading& r) { return r.fs.armedState == 0; });
        ASSERT_FALSE(descent.empty());
        ASSERT_EQ(descent.back().fs.armedState, 0) << "disarmed on the ground";
        EXPECT_EQ(descent.back().alt, 0.0);
        EXPECT_EQ(descent.back().fs.flightState, 0);
        for (size_t i = 0; i + 1 < descent.size(); ++i) {
            EXPECT_EQ(descent[i].fs.flightState, 4) << "descending";
            EXPECT_EQ(descent[i].fs.flightMode, 9) << "landing mode";
            EXPECT_GE(descent[i].alt, descent[i + 1].alt);
        }
        EXPECT_LT(descent.back().fs.fcuVol, 25.2f) << "the flight drew on the battery";
    }
}

// Each injected state shows in the flight status of the answers; a state that starts later is
// absent from the first answer.
TEST(SimTelemetry, InjectedStatesShowInTheFlightStatus)
{
    using Check = std::function<bool(const _MavProtoFlightStatusData_t&)>;
    struct Row {
        const char* name;
        SimOptions::Telemetry telemetry;
        std::function<void(SimOptions&)> setup;
        Check first;  // may be empty
        Check eventually;
    };
    const auto full = SimOptions::Telemetry::Full;
    const std::vector<Row> rows = {
        {"healthy defaults", full, [](SimOptions&) {}, {},
         [](const auto& fs) {
             return fs.rcState == 1 && fs.linkState == 1 && fs.positionState == 3 && fs.headingState == 1
                 && fs.batteryState == 0 && fs.packedState == 0x0F && fs.emergencyProtect == 0
                 && fs.takeoffCheck == 0x7E && fs.gnssHdop == 8 && fs.gnssVdop == 8 && fs.imuSensorState == 0x27
                 && fs.headingSensorState == 0x85 && fs.workState == 3 && fs.armedState == 0;
         }},
        {"remote control lost after 0.5 s", full, [](SimOptions& o) { o.rcLostAfterMs = 500; },
         [](const auto& fs) { return fs.rcState == 1; },
         [](const auto& fs) { return fs.rcState == 0 && (fs.packedState & 0x01) == 0; }},
        {"battery low", full, [](SimOptions& o) { o.batteryState = 1; }, {},
         [](const auto& fs) { return fs.batteryState == 1 && (fs.packedState >> 5) == 1; }},
        {"battery critical", full, [](SimOptions& o) { o.batteryState = 2; }, {},
         [](const auto& fs) { return fs.batteryState == 2 && (fs.packedState >> 5) == 2; }},
        {"emergency code", full, [](SimOptions& o) { o.emergencyProtect = 0x25; }, {},
         [](const auto& fs) { return fs.emergencyProtect == 0x25; }},
        {"take-off forbidden", full, [](SimOptions& o) { o.takeoffCheck = 0x79; }, {},
         [](const auto& fs) { return fs.takeoffCheck == 0x79; }},
        {"HDOP and VDOP", full,
         [](SimOptions& o) {
             o.hdop = 31;
             o.vdop = 35;
         },
         {}, [](const auto& fs) { return fs.gnssHdop == 31 && fs.gnssVdop == 35; }},
        {"position fixed after 0.5 s", full, [](SimOptions& o) { o.fixAfterMs = 500; },
         [](const auto& fs) { return fs.positionState == 0 && fs.headingState == 0; },
         [](const auto& fs) { return fs.positionState == 3 && fs.headingState == 1; }},
        {"comprehensive carries the state bytes", SimOptions::Telemetry::Comprehensive,
         [](SimOptions& o) {
             o.batteryState = 2;
             o.rcLostAfterMs = 0;
         },
         {}, [](const auto& fs) { return fs.batteryState == 2 && fs.rcState == 0 && fs.linkState == 1; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimStation st;
        SimOptions o;
        o.fixAfterMs = 0;
        o.telemetry = row.telemetry;
        row.setup(o);
        ASSERT_TRUE(st.start(o));
        const SimFlightModel& model = st.sim->vehicle(1)->flightModel();
        auto a = poll(st, 1);
        ASSERT_TRUE(a);
        if (row.first) {
            EXPECT_TRUE(row.first(flightStatusOf(*a)));
        }
        bool held = row.eventually(flightStatusOf(*a));
        while (!held && model.timeMs() < 3000) {
            const qint64 step = model.timeMs();
            ASSERT_TRUE(waitUntil([&] { return model.timeMs() > step; }));
            a = poll(st, 1);
            ASSERT_TRUE(a);
            held = row.eventually(flightStatusOf(*a));
        }
        EXPECT_TRUE(held);
    }
}

TEST(SimTelemetry, SilentAfterStopsTelemetryButNotHeartbeatsOrAcknowledgements)
{
    SimStation st;
    SimOptions o;
    o.silentAfterMs = 500;
    o.heartbeatMs = 50;
    ASSERT_TRUE(st.start(o));
    ASSERT_TRUE(poll(st, 1)) << "answers before the silence";
    const SimFlightModel& model = st.sim->vehicle(1)->flightModel();
    ASSERT_TRUE(waitUntil([&] { return model.telemetrySilent(); }));

    const qsizetype teleBefore = telemetryDatagrams(st.peer).size();
    const int heartbeatsBefore = heartbeatCount(st.peer);
    ASSERT_TRUE(st.send(request(1)));
    ASSERT_TRUE(st.send(takeOff(1, 33)));
    ASSERT_TRUE(waitUntil([&] { return ackArrived(st, MavCmd::TakeOff, 33); })) << "commands are still answered";
    EXPECT_EQ(telemetryDatagrams(st.peer).size(), teleBefore);
    EXPECT_EQ(st.sim->counters().teleSilenced, 1u);
    EXPECT_EQ(st.sim->counters().teleAnswers, 1u);
    EXPECT_TRUE(waitUntil([&] { return heartbeatCount(st.peer) >= heartbeatsBefore + 2; })) << "heartbeats go on";
}

// Loss and corruption strike each frame of an answer on its own; the survivors still leave as
// one datagram, and no head or length is spoilt.
TEST(SimTelemetry, FaultsStrikeEachFrameOfAnAnswer)
{
    struct Row {
        double loss, corrupt;
        int latencyMs;
    };
    constexpr int kRequests = 10;
    for (const Row row : {Row{0.5, 0.0, 0}, Row{0.0, 1.0, 0}, Row{0.0, 0.0, 30}}) {
        SCOPED_TRACE(testing::Message() << "loss " << row.loss << " corrupt " << row.corrupt << " latency "
                                        << row.latencyMs);
        SimStation st;
        SimOptions o;
        o.heartbeatMs = 600000;
        o.loss = row.loss;
        o.corrupt = row.corrupt;
        o.latencyMs = row.latencyMs;
        ASSERT_TRUE(st.start(o));
        for (int i = 0; i < kRequests; ++i)
            ASSERT_TRUE(st.send(request(1)));
        ASSERT_TRUE(waitUntil([&] { return st.sim->counters().in.frames == kRequests; }));
        const SimCounters c = st.sim->counters();
        EXPECT_EQ(c.teleRequests, kRequests - c.in.dropped - c.in.corrupted);
        EXPECT_EQ(c.teleAnswers, c.teleRequests);

        auto framesArrived = [&] {
            quint64 n = 0;
            for (const QByteArray& d : st.peer.datagrams())
                n += quint64(splitFrames(d).size());
            return n;
        };
        ASSERT_TRUE(waitUntil([&] { return framesArrived() == c.out.frames - c.out.dropped; }));
        const QList<QByteArray> tele = telemetryDatagrams(st.peer);
        EXPECT_LE(st.peer.datagrams().size() - tele.size(), 1) << "at most the heartbeat; the rest are answers";
        EXPECT_LE(quint64(tele.size()), c.teleAnswers) << "never more than one datagram per answer";
        quint64 spoilt = 0;
        for (const QByteArray& d : st.peer.datagrams()) {
            for (const QByteArray& piece : splitFrames(d)) {
                EXPECT_EQ(piece.left(2), QByteArray("\xEB\x90"));
                spoilt += !simtest::parse(piece);
            }
        }
        EXPECT_EQ(spoilt, c.out.corrupted);
        int partial = 0;
        for (const QByteArray& d : tele) {
            const qsizetype n = splitFrames(d).size();
            partial += n > 1 && n < 6;
            if (row.latencyMs > 0) {
                EXPECT_EQ(n, 6) << "delayed together, whole";
            }
        }
        if (row.loss > 0) {
            EXPECT_GT(partial, 0) << "frames of one answer are lost one by one";
        }
        if (row.latencyMs > 0) {
            EXPECT_EQ(tele.size(), kRequests);
        }
    }
}
