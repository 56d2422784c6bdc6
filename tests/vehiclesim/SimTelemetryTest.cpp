// Telemetry answers of the in-process simulator in both modes, polled by a UDP socket on
// 127.0.0.1 playing the station.

#include "SimStation.h"

#include "MavProtoTeleProcesser.h"

#include <utility>
#include <vector>

using simtest::SimStation;
using simtest::toWire;
using testsupport::waitUntil;

namespace {

bool isTelemetryCmd(uint8_t cmd)
{
    return (cmd >= MavCmd::TeleAhrs && cmd <= MavCmd::TeleComprehensive) || cmd == MavCmd::TeleReserved;
}

// The frames of one datagram, cut by their length fields; nullopt when a piece does not parse.
std::optional<QList<_MavPFrame_t>> decode(const QByteArray& d)
{
    QList<_MavPFrame_t> frames;
    qsizetype at = 0;
    while (at < d.size()) {
        const qsizetype n = at + 8 <= d.size() ? (qsizetype(quint8(d[at + 6])) | qsizetype(quint8(d[at + 7])) << 8) +
                                                     MAVPROTO_FRAME_OVERHEAD
                                               : d.size() - at;
        const auto f = simtest::parse(d.mid(at, n));
        if (!f || toWire(*f) != d.mid(at, n))
            return std::nullopt;
        frames.append(*f);
        at += n;
    }
    return frames;
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
        {"comprehensive",
         SimOptions::Telemetry::Comprehensive,
         6,
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
        _MavPFrame_t request;
        MavProtoTeleProcesser::packRequestAllTelePFrame(request, row.target);
        ASSERT_TRUE(st.send(toWire(request)));
        ASSERT_TRUE(st.send(toWire(request)));
        // Answered after both requests were dealt with.
        _MavPFrame_t marker;
        MavProtoCtrlCmdProcesser::packResumePFrame(marker, 5, 77);
        ASSERT_TRUE(st.send(toWire(marker)));
        ASSERT_TRUE(waitUntil([&] { return !st.answers().isEmpty() && st.answers().last().cmd == MavCmd::Resume; }));

        QList<QByteArray> datagrams;
        for (const QByteArray& d : st.peer.datagrams()) {
            if (d.size() > 5 && isTelemetryCmd(quint8(d[5])))
                datagrams.append(d);
        }
        const bool answered = !row.frames.empty();
        ASSERT_EQ(datagrams.size(), answered ? 2 : 0) << "one datagram per request";
        for (int i = 0; i < datagrams.size(); ++i) {
            const auto frames = decode(datagrams[i]);
            ASSERT_TRUE(frames);
            ASSERT_EQ(size_t(frames->size()), row.frames.size());
            for (size_t k = 0; k < row.frames.size(); ++k) {
                const _MavPFrame_t& f = frames->at(qsizetype(k));
                EXPECT_EQ(f.cmd, row.frames[k].first);
                EXPECT_EQ(f.data.size(), row.frames[k].second);
                EXPECT_EQ(f.tx_id, row.target);
                EXPECT_EQ(f.rx_id, MAVPROTO_GCS_ID);
                EXPECT_EQ(f.seq, i) << "answers are numbered, all frames of one alike";
            }
        }
        const SimCounters c = st.sim->counters();
        EXPECT_EQ(c.teleAnswers, answered ? 2u : 0u);
        EXPECT_EQ(c.foreignFrames, answered ? 0u : 2u);
        EXPECT_EQ(c.answered, 1u) << "a telemetry request is not acknowledged";
    }
}
