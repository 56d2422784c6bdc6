// The simulator in-process against a UDP socket (or a pseudo-terminal) playing the station.

#include "SimStation.h"

#include "SimFrameCutter.h"

#include <QSerialPort>

#include <functional>
#include <set>

using simtest::frameBytes;
using simtest::SimStation;
using simtest::takeOff;
using simtest::toWire;
using testsupport::waitUntil;

TEST(VehicleSimulator, HeartbeatsCarryEveryVehicleId)
{
    struct Row {
        int count;
        int firstId;
    };
    for (const Row row : {Row{1, 1}, Row{3, 1}, Row{2, 254}, Row{4, 125}, Row{4, 127}}) {
        SCOPED_TRACE(testing::Message() << row.count << " from " << row.firstId);
        SimStation st;
        SimOptions o;
        o.count = row.count;
        o.firstId = row.firstId;
        o.heartbeatMs = 20;
        ASSERT_TRUE(st.start(o));
        ASSERT_TRUE(st.peer.waitForDatagrams(2 * row.count)) << "the first round at start, then the timer's";

        const auto datagrams = st.peer.datagrams();
        for (int i = 0; i < 2 * row.count; ++i) {
            const auto f = simtest::parse(datagrams[i]);
            ASSERT_TRUE(f && f->cmd == MavCmd::Heartbeat && f->rx_id == MAVPROTO_GCS_ID);
            const int id = row.firstId + i % row.count;
            EXPECT_EQ(f->tx_id, id + (row.firstId < 129 && id >= 129)) << "in id order, the station's 129 skipped";
        }
    }
}

TEST(VehicleSimulator, ControlCommandsAreAcknowledgedAndChangeTheVehicleState)
{
    SimStation st;
    SimOptions o;
    o.count = 2;
    ASSERT_TRUE(st.start(o));
    const SimVehicle::State& s = st.sim->vehicle(2)->state();
    using P = MavProtoCtrlCmdProcesser;
    struct Row {
        const char* name;
        std::function<void(_MavPFrame_t&, uint8_t)> pack;
        std::function<bool()> holds;
    };
    const std::vector<Row> rows = {
        {"take-off", [](auto& f, uint8_t q) { P::packTakeOffPFrame(f, 2, q, {30, 4}); },
         [&] { return s.flying && s.takeoffAltitude == 30 && s.climbSpeed == 4; }},
        {"suspend", [](auto& f, uint8_t q) { P::packSuspendPFrame(f, 2, q); }, [&] { return s.suspended; }},
        {"resume", [](auto& f, uint8_t q) { P::packResumePFrame(f, 2, q); }, [&] { return !s.suspended; }},
        {"run mission", [](auto& f, uint8_t q) { P::packStartMissionPFrame(f, 2, q); }, [&] { return s.missionRunning; }},
        {"return", [](auto& f, uint8_t q) { P::packReturnPFrame(f, 2, q, {22.5, 113.25, 35.5f}); },
         [&] {
             return s.returning && !s.missionRunning && std::abs(s.returnLat - 22.5) < 1e-6
                 && std::abs(s.returnLon - 113.25) < 1e-6 && std::abs(s.returnAlt - 35.5f) < 0.05f;
         }},
        {"formation start", [](auto& f, uint8_t q) { P::packFormationStartPFrame(f, 2, q); }, [&] { return s.formation; }},
        {"formation cancel", [](auto& f, uint8_t q) { P::packFormationCancelPFrame(f, 2, q); }, [&] { return !s.formation; }},
        {"idle-motor start", [](auto& f, uint8_t q) { P::packIdleMotorDetectPFrame(f, 2, q, {7, 0x11}); },
         [&] { return s.idleMotorTest && s.idleMotorValue == 7; }},
        {"idle-motor stop", [](auto& f, uint8_t q) { P::packIdleMotorDetectPFrame(f, 2, q, {0, 0}); },
         [&] { return !s.idleMotorTest; }},
        {"land", [](auto& f, uint8_t q) { P::packLandPFrame(f, 2, q); },
         [&] {
             const SimFlightModel& m = st.sim->vehicle(2)->flightModel();
             return !s.returning && (m.activity() == SimFlightModel::Activity::Land || !m.armed());
         }},
    };
    uint8_t seq = 10;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        _MavPFrame_t f;
        row.pack(f, ++seq);
        const int before = st.answers().size();
        ASSERT_TRUE(st.send(toWire(f)));
        ASSERT_TRUE(st.waitForAnswers(before + 1));
        const _MavPFrame_t ack = st.answers().last();
        EXPECT_EQ(ack.tx_id, 2);
        EXPECT_EQ(ack.rx_id, MAVPROTO_GCS_ID);
        EXPECT_EQ(ack.cmd, f.cmd);
        EXPECT_EQ(ack.seq, seq);
        EXPECT_EQ(ack.data, std::vector<uint8_t>{0});
        EXPECT_TRUE(row.holds());
    }
    EXPECT_FALSE(st.sim->vehicle(1)->state().flying) << "vehicle 1 was never addressed";
    EXPECT_EQ(st.sim->counters().answered, rows.size());
}

TEST(VehicleSimulator, ForcedResultsSilenceAndFramesNotForItsVehicles)
{
    constexpr uint8_t kSeq = 40;
    struct Row {
        const char* name;
        std::function<void(SimOptions&)> setup;
        QByteArray frame;
        std::optional<uint8_t> result;
        bool flies;
        quint64 silenced, unknown, foreign;
    };
    const std::vector<Row> rows = {
        {"forced failure skips the command", [](SimOptions& o) { o.ackResults[0x81] = 4; }, takeOff(1, kSeq), 4, false, 0, 0, 0},
        {"forced success runs it", [](SimOptions& o) { o.ackResults[0x81] = 0; }, takeOff(1, kSeq), 0, true, 0, 0, 0},
        {"forced result without a handler", [](SimOptions& o) { o.ackResults[0x30] = 3; },
         frameBytes(0x81, 1, kSeq, 0x30), 3, false, 0, 0, 0},
        {"no reply, no effect", [](SimOptions& o) { o.noReply.insert(0x81); }, takeOff(1, kSeq), std::nullopt, false, 1, 0, 0},
        {"command without a handler", [](SimOptions&) {}, frameBytes(0x81, 1, kSeq, 0x30), std::nullopt, false, 0, 1, 0},
        {"take-off payload too short", [](SimOptions&) {}, frameBytes(0x81, 1, kSeq, 0x81, {30}), 8, false, 0, 0, 0},
        {"id not simulated", [](SimOptions&) {}, takeOff(7, kSeq), std::nullopt, false, 0, 0, 1},
        {"sender is not the station", [](SimOptions&) {}, frameBytes(0x05, 1, kSeq, 0x81, {30, 0, 4}), std::nullopt, false,
         0, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimStation st;
        SimOptions o;
        row.setup(o);
        ASSERT_TRUE(st.start(o));
        ASSERT_TRUE(st.send(row.frame));
        // A resume answered afterwards shows the frame before it was dealt with.
        _MavPFrame_t marker;
        MavProtoCtrlCmdProcesser::packResumePFrame(marker, 1, kSeq + 1);
        ASSERT_TRUE(st.send(toWire(marker)));
        ASSERT_TRUE(waitUntil([&] { return !st.answers().isEmpty() && st.answers().last().seq == kSeq + 1; }));

        const auto answers = st.answers();
        ASSERT_EQ(answers.size(), row.result ? 2 : 1);
        if (row.result) {
            EXPECT_EQ(answers[0].seq, kSeq);
            EXPECT_EQ(answers[0].data, std::vector<uint8_t>{*row.result});
        }
        EXPECT_EQ(st.sim->vehicle(1)->state().flying, row.flies);
        const SimCounters c = st.sim->counters();
        EXPECT_EQ(c.silenced, row.silenced);
        EXPECT_EQ(c.unknownCommands, row.unknown);
        EXPECT_EQ(c.foreignFrames, row.foreign);
    }
}

TEST(VehicleSimulator, GarbageAndSplitFramesAreCutLikeTheStationDoes)
{
    const QByteArray a = takeOff(1, 1);
    const QByteArray b = takeOff(1, 2);
    QByteArray broken = takeOff(1, 3);
    broken[9] = char(broken[9] ^ 0x01);
    QByteArray noHead(500, '\0');
    for (int i = 0; i < noHead.size(); ++i)
        noHead[i] = char(i % 0xEA);
    struct Row {
        const char* name;
        QList<QByteArray> datagrams;
        QList<int> seqs;
        quint64 badHead, crc;
    };
    const std::vector<Row> rows = {
        {"split over three datagrams", {a.left(3), a.mid(3, 6), a.mid(9)}, {1}, 0, 0},
        {"garbage shorter than a frame, then a frame", {QByteArray("garbage!!"), a}, {1}, 9, 0},
        {"two frames in one datagram", {a + b}, {1, 2}, 0, 0},
        {"failed check: two bytes dropped, the rest walked", {broken + b}, {2}, quint64(broken.size() - 2), 1},
        {"truncated frame completed by the next one's bytes", {a.left(9), b}, {2}, 7, 1},
        {"long run without a head", {noHead, a}, {1}, 500, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SimStation st;
        ASSERT_TRUE(st.start(SimOptions()));
        for (const QByteArray& d : row.datagrams)
            ASSERT_TRUE(st.send(d));
        ASSERT_TRUE(st.waitForAnswers(row.seqs.size()));
        QList<int> seqs;
        for (const auto& f : st.answers())
            seqs << f.seq;
        EXPECT_EQ(seqs, row.seqs);
        EXPECT_EQ(st.sim->counters().badHeadBytes, row.badHead);
        EXPECT_EQ(st.sim->counters().crcErrors, row.crc);
    }
}

TEST(VehicleSimulator, SecondReceivePortTakesFramesWhileAnswersLeaveFromTheListenPort)
{
    SimStation st;
    SimOptions o;
    o.recvPort = testsupport::freeUdpPort();
    ASSERT_TRUE(st.start(o));
    EXPECT_EQ(st.sim->recvPort(), o.recvPort);
    EXPECT_NE(st.sim->listenPort(), o.recvPort);

    ASSERT_TRUE(st.send(takeOff(1, 5), o.recvPort));
    ASSERT_TRUE(st.send(takeOff(1, 6)));
    ASSERT_TRUE(st.waitForAnswers(2));
    std::set<int> seqs;
    for (const auto& f : st.answers())
        seqs.insert(f.seq);
    EXPECT_EQ(seqs, (std::set<int>{5, 6}));
    for (quint16 port : st.peer.senderPorts())
        EXPECT_EQ(port, st.sim->listenPort()) << "heartbeats and answers";
}

// Faults both ways on a live link: what the station receives and what the vehicle handles add
// up with the counters, and no datagram has its head or length spoilt.
TEST(VehicleSimulator, FaultsOnTheLinkMatchTheCountersAndSpareHeadAndLength)
{
    struct Row {
        double loss, corrupt;
    };
    for (const Row row : {Row{0.5, 0.0}, Row{0.0, 1.0}, Row{0.3, 0.3}}) {
        SCOPED_TRACE(testing::Message() << "loss " << row.loss << " corrupt " << row.corrupt);
        SimStation st;
        SimOptions o;
        o.heartbeatMs = 2;
        o.loss = row.loss;
        o.corrupt = row.corrupt;
        ASSERT_TRUE(st.start(o));
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(st.send(takeOff(1, uint8_t(i))));
        ASSERT_TRUE(waitUntil([&] { return st.sim->counters().in.frames == 20 && st.sim->counters().out.frames >= 40; }));
        st.sim->stop();
        const SimCounters c = st.sim->counters();
        EXPECT_EQ(c.commands, 20 - c.in.dropped - c.in.corrupted);
        EXPECT_EQ(c.crcErrors, c.in.corrupted) << "a flipped bit never passes the check";
        ASSERT_TRUE(waitUntil([&] { return quint64(st.peer.datagrams().size()) == c.out.frames - c.out.dropped; }));
        quint64 spoilt = 0;
        for (const QByteArray& d : st.peer.datagrams()) {
            EXPECT_EQ(d.left(2), QByteArray("\xEB\x90"));
            EXPECT_EQ(quint8(d[6]) | quint8(d[7]) << 8, d.size() - 10);
            spoilt += !simtest::parse(d);
        }
        EXPECT_EQ(spoilt, c.out.corrupted);
        if (row.loss > 0) {
            EXPECT_GT(c.out.dropped + c.in.dropped, 0u);
        }
        if (row.corrupt == 1.0) {
            EXPECT_EQ(c.out.corrupted, c.out.frames);
            EXPECT_EQ(c.in.corrupted, 20u);
        }
    }
}

TEST(VehicleSimulator, SerialDeviceCarriesHeartbeatsAndAnswers)
{
    testsupport::SocatPty pty;
    ASSERT_TRUE(pty.start());
    SimOptions o;
    o.transport = SimOptions::Transport::Serial;
    o.serialPath = pty.endA();
    o.count = 2;
    o.heartbeatMs = 50;
    VehicleSimulator sim(o);
    ASSERT_TRUE(sim.start());

    QSerialPort station(pty.endB());
    ASSERT_TRUE(station.open(QIODevice::ReadWrite));
    SimFrameCutter cutter;
    std::set<int> heartbeatIds;
    std::optional<_MavPFrame_t> ack;
    std::vector<int> telemetryCmds;
    QObject::connect(&station, &QSerialPort::readyRead, [&] {
        cutter.feed(station.readAll(), [&](const QByteArray&, const _MavPFrame_t& f) {
            if (f.cmd == MavCmd::Heartbeat)
                heartbeatIds.insert(f.tx_id);
            else if (f.cmd == MavCmd::TakeOff)
                ack = f;
            else if (f.tx_id == 2)
                telemetryCmds.push_back(f.cmd);
        });
    });
    station.write(takeOff(2, 9, 12, 2));
    ASSERT_TRUE(waitUntil([&] { return ack && heartbeatIds.size() == 2; }));
    EXPECT_EQ(ack->tx_id, 2);
    EXPECT_EQ(ack->seq, 9);
    EXPECT_EQ(ack->data, std::vector<uint8_t>{0});
    EXPECT_EQ(sim.vehicle(2)->state().takeoffAltitude, 12);
    EXPECT_EQ(heartbeatIds, (std::set<int>{1, 2}));

    station.write(frameBytes(MAVPROTO_GCS_ID, 2, 0, MavCmd::RequestAllTele));
    ASSERT_TRUE(waitUntil([&] { return telemetryCmds.size() >= 6; }));
    EXPECT_EQ(telemetryCmds, (std::vector<int>{0x21, 0x22, 0x23, 0x24, 0x25, 0x2F}));
}
