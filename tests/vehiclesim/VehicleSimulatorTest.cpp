// The simulator in-process against a UDP socket playing the station; its serial transport runs
// end to end in tests/vehicle (SerialLinkThroughAPseudoTerminal).

#include "SimStation.h"

using simtest::SimStation;
using simtest::takeOff;
using testsupport::waitUntil;

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
        ASSERT_TRUE(
            waitUntil([&] { return st.sim->counters().in.frames == 20 && st.sim->counters().out.frames >= 40; }));
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
