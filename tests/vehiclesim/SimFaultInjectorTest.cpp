#include "SimStation.h"

#include "SimFaultInjector.h"

#include <QElapsedTimer>

using simtest::takeOff;
using testsupport::wire;

namespace {

int headPairs(const QByteArray& frame)
{
    int n = 0;
    for (qsizetype i = 2; i + 1 < frame.size(); ++i)
        n += quint8(frame[i]) == MAVPROTO_HEAD0 && quint8(frame[i + 1]) == MAVPROTO_HEAD1;
    return n;
}

}  // namespace

// Every choice of bit, for frames whose bytes invite a forged head after a flip.
TEST(SimFaultInjector, BitFlipsStayInDataAndCheckAndNeverForgeAHead)
{
    _MavPFrame_t ret;
    MavProtoCtrlCmdProcesser::packReturnPFrame(ret, 1, 2, {22.5, 113.25, 35.5f});
    const std::vector<QByteArray> rows = {
        wire(1, MAVPROTO_GCS_ID, 0, MavCmd::Heartbeat),
        wire(1, MAVPROTO_GCS_ID, 5, MavCmd::TakeOff, {0}),
        simtest::toWire(ret),
        wire(1, MAVPROTO_GCS_ID, 7, 0x2F, {0xEB, 0x91, 0x10, 0x90, 0xEA, 0xEB, 0xB0, 0xEB}),
        wire(1, MAVPROTO_GCS_ID, 7, 0x2F, {0x91, 0xEB, 0x90}),
    };
    for (const QByteArray& clean : rows) {
        SCOPED_TRACE(clean.toHex(' ').toStdString());
        const quint64 bits = quint64(clean.size() - 8) * 8;
        for (quint64 r = 0; r < 2 * bits; ++r) {
            QByteArray f = clean;
            const int at = SimFaultInjector::flipBit(f, r);
            ASSERT_GE(at, 8);
            ASSERT_LT(at, clean.size());
            EXPECT_EQ(f.left(8), clean.left(8));
            int flipped = 0;
            for (qsizetype i = 0; i < f.size(); ++i)
                flipped += std::popcount(unsigned(quint8(f[i] ^ clean[i])));
            EXPECT_EQ(flipped, 1);
            EXPECT_LE(headPairs(f), headPairs(clean));
            _MavPFrame_t parsed;
            EXPECT_EQ(MavProtoHelper::parseMavProtoFrame(reinterpret_cast<const unsigned char*>(f.constData()),
                                                         unsigned(f.size()), parsed),
                      MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR);
        }
    }
    QByteArray truncated = takeOff(1, 1).left(12);
    EXPECT_EQ(SimFaultInjector::flipBit(truncated, 3), -1);
    EXPECT_EQ(truncated, takeOff(1, 1).left(12));
}

TEST(SimFaultInjector, LatencyAndJitterHoldFramesBackInOrder)
{
    // {latency, jitter}: every frame waits at least the latency and, with jitter, at most
    // latency + jitter more than the frame before it needed; the order never changes.
    for (const auto& [latency, jitter] : std::vector<std::pair<int, int>>{{30, 0}, {0, 40}, {20, 50}}) {
        SimFaultInjector faults(0, 0, latency, 1);
        faults.setJitterMs(jitter);
        QList<QByteArray> sent;
        QElapsedTimer clock;
        clock.start();
        qint64 lastAt = 0;
        QObject::connect(&faults, &SimFaultInjector::frameReady, [&](const QByteArray& f) {
            sent << f;
            lastAt = clock.elapsed();
        });
        QList<QByteArray> expected;
        for (int i = 0; i < 20; ++i) {
            expected << takeOff(1, uint8_t(i));
            faults.sendFrame(expected.last());
        }
        EXPECT_TRUE(sent.isEmpty()) << latency << "/" << jitter;
        EXPECT_EQ(faults.pendingCount(), 20);
        ASSERT_TRUE(testsupport::waitUntil([&] { return sent.size() == 20; }));
        EXPECT_EQ(sent, expected) << latency << "/" << jitter;
        EXPECT_GE(lastAt, latency);
        EXPECT_EQ(faults.pendingCount(), 0);
    }
}
