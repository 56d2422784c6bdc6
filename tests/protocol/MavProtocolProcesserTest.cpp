#include "protocol/MavProtocolProcesser.h"

#include "LogCapture.h"
#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"

#include <gtest/gtest.h>

#include <QString>
#include <random>
#include <string>
#include <vector>

using testsupport::LogCapture;

namespace {

OstAbstractLink* const kLink = reinterpret_cast<OstAbstractLink*>(0x1234);

QByteArray wire(uint8_t tx, uint8_t rx, uint8_t seq, uint8_t cmd, const std::vector<uint8_t>& data)
{
    _MavPFrame_t f;
    MavProtoHelper::packMavProtoFrame(f, tx, rx, seq, cmd, data);
    std::vector<uint8_t> out;
    MavProtoHelper::mavPFrameToSendBytes(out, f);
    return QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size()));
}

// Records every signal of a processor as one line of text, in emission order.
struct Recorder {
    std::vector<std::string> events;
    QByteArray origin;

    explicit Recorder(MavProtocolProcesser& p)
    {
        QObject::connect(&p, &MavProtocolProcesser::dataReceived, [this](std::shared_ptr<QByteArray> d, OstAbstractLink*) {
            events.push_back("data " + std::to_string(d->size()));
        });
        QObject::connect(&p, &MavProtocolProcesser::originPFrameDataReceived,
                         [this](std::shared_ptr<QByteArray> d, OstAbstractLink* link) {
                             EXPECT_EQ(link, kLink);
                             origin += *d;
                             events.push_back("origin " + std::to_string(d->size()));
                         });
        QObject::connect(&p, &MavProtocolProcesser::mavHeartbeatFrameReceived,
                         [this](int id, OstAbstractLink*, QString address) {
                             events.push_back("heartbeat " + std::to_string(id) + " " + address.toStdString());
                         });
        QObject::connect(&p, &MavProtocolProcesser::mavPFrameReceived, [this](MavPFramePtr f, OstAbstractLink*) {
            events.push_back("frame " + std::to_string(f->tx_id) + "/" + std::to_string(f->seq) + "/" +
                             std::to_string(f->cmd) + "/" + std::to_string(f->data.size()));
        });
    }

    std::vector<std::string> frames() const
    {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e.rfind("data", 0) != 0)
                out.push_back(e);
        return out;
    }
};

const std::string kMohWarning = "parse result MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH";
const std::string kCrcWarning = "parse result MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR";

}  // namespace

TEST(MavProtocolProcesser, SignalsForSingleChunks)
{
    const QByteArray tele = wire(3, 0x81, 7, 0x25, std::vector<uint8_t>(20, 1));
    const QByteArray heartbeat = wire(4, 0x81, 0, 0x00, {});
    const QByteArray foreign = wire(4, 0x05, 1, 0x81, {0});

    struct Case {
        const char* name;
        QByteArray chunk;
        std::vector<std::string> events;
        qsizetype buffered;
    };
    const std::vector<Case> cases = {
        {"nine bytes wait", tele.left(9), {"data 9"}, 9},
        {"two frames in wire order", tele + wire(3, 0x81, 8, 0x21, {5}),
         {"data 41", "origin 30", "frame 3/7/37/20", "origin 11", "frame 3/8/33/1"}, 0},
        {"heartbeat", heartbeat, {"data 10", "origin 10", "heartbeat 4 10.0.0.9:14550", "frame 4/0/0/0"}, 0},
        {"frame for another receiver", foreign, {"data 11"}, 0},
    };
    for (const auto& c : cases) {
        MavProtocolProcesser p;
        Recorder r(p);
        p.handleUdpLinkData("10.0.0.9:14550", c.chunk, kLink);
        EXPECT_EQ(r.events, c.events) << c.name;
        EXPECT_EQ(p.bufferedBytes(), c.buffered) << c.name;
    }
}

TEST(MavProtocolProcesser, ResynchronisesOverGarbageAndChecksumErrors)
{
    const QByteArray good = wire(2, 0x81, 1, 0x22, std::vector<uint8_t>(12, 0x11));
    QByteArray corrupt = wire(2, 0x81, 2, 0x22, std::vector<uint8_t>(12, 0x22));
    corrupt[10] = char(0x23);

    {
        LogCapture::instance().clear();
        MavProtocolProcesser p;
        Recorder r(p);
        p.handleSerialLinkData(QByteArray("\x01\x02\x03", 3) + good, kLink);
        EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, kMohWarning), 3);
        EXPECT_EQ(r.frames(), (std::vector<std::string>{"origin 22", "frame 2/1/34/12"}));
        EXPECT_EQ(r.origin, good);
    }
    {
        // A checksum failure skips two bytes, then walks the rest of the rejected frame.
        LogCapture::instance().clear();
        MavProtocolProcesser p;
        Recorder r(p);
        p.handleSerialLinkData(corrupt + good, kLink);
        EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, kCrcWarning), 1);
        EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, kMohWarning), corrupt.size() - 2);
        EXPECT_EQ(r.frames(), (std::vector<std::string>{"origin 22", "frame 2/1/34/12"}));
    }
}

TEST(MavProtocolProcesser, SplitFrameIsDeliveredOnceWithCompletingAddress)
{
    MavProtocolProcesser p;
    Recorder r(p);
    const QByteArray hb = wire(9, 0x81, 0, 0x00, {1, 2, 3, 4});
    p.handleUdpLinkData("1.1.1.1:1", hb.left(3), kLink);
    p.handleUdpLinkData("2.2.2.2:2", hb.mid(3, 6), kLink);
    p.handleUdpLinkData("3.3.3.3:3", hb.mid(9), kLink);
    EXPECT_EQ(r.frames(), (std::vector<std::string>{"origin 14", "heartbeat 9 3.3.3.3:3", "frame 9/0/0/4"}));
    EXPECT_EQ(p.bufferedBytes(), 0);
}

TEST(MavProtocolProcesser, LeftoverBytesCarryOverToTheNextLink)
{
    MavProtocolProcesser p;
    Recorder r(p);
    const QByteArray f = wire(1, 0x81, 3, 0x21, {9, 9});
    p.handleUdpLinkData("1.1.1.1:1", f.left(5), kLink);
    p.handleSerialLinkData(f.mid(5), kLink);
    EXPECT_EQ(r.frames(), (std::vector<std::string>{"origin 12", "frame 1/3/33/2"}));
}

// The cutter must behave exactly like the plain definition (parse at the front, drop one byte
// on a head mismatch, two on a checksum error, wait when incomplete) whatever the chunking.
TEST(MavProtocolProcesser, MatchesReferenceCutterForRandomStreamsAndChunking)
{
    std::mt19937 rng(1234);
    QByteArray stream;
    for (int i = 0; i < 400; ++i) {
        const int kind = int(rng() % 10);
        if (kind == 0) {
            for (int g = int(rng() % 15); g > 0; --g)
                stream.append(char(rng() % 3 == 0 ? 0xEB : rng() % 256));
        } else {
            std::vector<uint8_t> data(rng() % 120);
            for (auto& b : data)
                b = uint8_t(rng());
            QByteArray f = wire(uint8_t(rng() % 4), kind == 1 ? 0x07 : 0x81, uint8_t(i), uint8_t(rng() % 0x30), data);
            if (kind == 2 && f.size() > 12)
                f[8 + int(rng() % (f.size() - 10))] ^= char(0x40);
            stream += f;
        }
    }

    // Reference: removes from the front exactly as defined.
    std::vector<std::string> expected;
    int expectedMoh = 0;
    int expectedCrc = 0;
    QByteArray buf = stream;
    while (buf.size() >= 10) {
        _MavPFrame_t f;
        const auto res = MavProtoHelper::parseMavProtoFrame(reinterpret_cast<const unsigned char*>(buf.constData()),
                                                            unsigned(buf.size()), f);
        if (res == MAVPROTO_PARSE_RESULT_OK) {
            if (f.rx_id == 0x81) {
                expected.push_back("origin " + std::to_string(f.data.size() + 10));
                if (f.cmd == 0)
                    expected.push_back("heartbeat " + std::to_string(f.tx_id) + " a");
                expected.push_back("frame " + std::to_string(f.tx_id) + "/" + std::to_string(f.seq) + "/" +
                                   std::to_string(f.cmd) + "/" + std::to_string(f.data.size()));
            }
            buf.remove(0, f.data.size() + 10);
        } else if (res == MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH) {
            ++expectedMoh;
            buf.remove(0, 1);
        } else if (res == MAVPROTO_PARSE_RESULT_CRC_CHECK_ERR) {
            ++expectedCrc;
            buf.remove(0, 2);
        } else {
            break;
        }
    }
    ASSERT_GT(expected.size(), 300u);
    ASSERT_GT(expectedMoh, 100);
    ASSERT_GT(expectedCrc, 10);

    for (int chunk : {1, 7, 64, 1472, 65536}) {
        LogCapture::instance().clear();
        MavProtocolProcesser p;
        Recorder r(p);
        for (qsizetype at = 0; at < stream.size(); at += chunk)
            p.handleUdpLinkData("a", stream.mid(at, chunk), kLink);
        EXPECT_EQ(r.frames(), expected) << "chunk " << chunk;
        EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, kMohWarning), expectedMoh) << "chunk " << chunk;
        EXPECT_EQ(LogCapture::instance().count(spdlog::level::warn, kCrcWarning), expectedCrc) << "chunk " << chunk;
        EXPECT_EQ(p.bufferedBytes(), buf.size()) << "chunk " << chunk;
    }
}
