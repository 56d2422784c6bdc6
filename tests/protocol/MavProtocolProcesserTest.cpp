#include "protocol/MavProtocolProcesser.h"

#include "settings/GcsSettings.h"

#include "LogCapture.h"
#include "MavProtoCtrlCmdProcesser.h"
#include "FrameWire.h"
#include "MavProtoHelper.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QString>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

using testsupport::LogCapture;
using testsupport::wire;

namespace {

OstAbstractLink* const kLink = reinterpret_cast<OstAbstractLink*>(0x1234);

// Records every signal of a processor as one line of text, in emission order.
struct Recorder {
    std::vector<std::string> events;
    QByteArray origin;

    explicit Recorder(MavProtocolProcesser& p)
    {
        QObject::connect(&p, &MavProtocolProcesser::dataReceived,
                         [this](std::shared_ptr<QByteArray> d, OstAbstractLink*) {
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

// Drops the warning lines stand for: one per plain line plus N per summary line.
qsizetype accounted(const std::string& warning)
{
    qsizetype n = 0;
    for (const auto& line : LogCapture::instance().lines())
        if (line.level == spdlog::level::warn && line.text.rfind(warning, 0) == 0)
            n += line.text == warning ? 1 : std::stoll(line.text.substr(warning.size() + 2));
    return n;
}

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
        {"two frames in wire order",
         tele + wire(3, 0x81, 8, 0x21, {5}),
         {"data 41", "origin 30", "frame 3/7/37/20", "origin 11", "frame 3/8/33/1"},
         0},
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

// Each UDP sender is cut apart from the others and from the serial link; a sender silent for a
// minute loses what it left buffered.
TEST(MavProtocolProcesser, EachSenderHasItsOwnBufferUntilSilentForAMinute)
{
    MavProtocolProcesser p;
    int64_t now = 0;
    p.setClock([&now] { return now; });
    Recorder r(p);
    const QByteArray stray("\xEB\x90\x01\x81\x00\x00\x40\x00", 8);  // a head announcing 64 bytes, then nothing
    const QByteArray hb = wire(9, 0x81, 0, 0x00, {1, 2, 3, 4});
    const auto beat = [](std::string from) {
        return std::vector<std::string>{"origin 14", "heartbeat 9 " + from, "frame 9/0/0/4"};
    };
    const char* a = "10.0.0.66:5000";
    const char* b = "10.0.0.9:14550";
    struct Step {
        int64_t at;
        const char* from;
        QByteArray bytes;
        std::vector<std::string> frames;
        qsizetype buffered;
    };
    const std::vector<Step> steps = {
        {0, a, stray, {}, 8},       {0, nullptr, stray, {}, 16},  // the serial link
        {0, b, hb, beat(b), 16},    {0, b, hb.left(5), {}, 21},  {1000, b, hb.mid(5), beat(b), 16},
        {60000, b, {}, {}, 8},  // a silent for 60 s: its 8 bytes go; b (59 s) and serial stay
        {60000, a, hb, beat(a), 8},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        now = s.at;
        r.events.clear();
        if (s.from)
            p.handleUdpLinkData(s.from, s.bytes, kLink);
        else
            p.handleSerialLinkData(s.bytes, kLink);
        EXPECT_EQ(r.frames(), s.frames) << "step " << i;
        EXPECT_EQ(p.bufferedBytes(), s.buffered) << "step " << i;
    }
}

// Fed again from a slot: bytes for the buffer being cut wait for the running cut, another
// sender's bytes are cut at once.
TEST(MavProtocolProcesser, ReceiverMayFeedAgainFromItsSlot)
{
    MavProtocolProcesser p;
    Recorder r(p);
    QObject::connect(&p, &MavProtocolProcesser::mavPFrameReceived, [&p](MavPFramePtr f, OstAbstractLink*) {
        if (f->seq == 1) {
            p.handleUdpLinkData("a", wire(1, 0x81, 2, 0x21, {2}), kLink);
            p.handleUdpLinkData("b", wire(2, 0x81, 3, 0x21, {3}), kLink);
        }
    });
    p.handleUdpLinkData("a", wire(1, 0x81, 1, 0x21, {1}), kLink);
    EXPECT_EQ(r.frames(), (std::vector<std::string>{"origin 11", "frame 1/1/33/1", "origin 11", "frame 2/3/33/1",
                                                    "origin 11", "frame 1/2/33/1"}));
    EXPECT_EQ(p.bufferedBytes(), 0);
}

// A corrupted length byte holds the frames behind it back for at most limit + 10 bytes. The
// limit comes from the settings when the processor is built.
TEST(MavProtocolProcesser, LengthAboveTheLimitMakesAFalseHead)
{
    auto* settings = GcsSettings::getInstance();
    settings->init(testsupport::makeTempDir("cache"), testsupport::makeTempDir("data"));
    // heldBack: bytes fed from the corrupted head until the first good frame comes out.
    struct Case {
        int limit;
        unsigned corruptedLen;
        qsizetype heldBack;
    };
    const std::vector<Case> cases = {
        {4096, 0xFF14, 44},  // skipped at once; the first heartbeat ends at 30 + 14
        {4096, 4097, 44},
        {4096, 4096, 4106},  // plausible: waited for, then refused by its checksum
        {65535, 0xFF14, 65310},
    };
    QByteArray stream = wire(2, 0x81, 1, 0x22, std::vector<uint8_t>(20, 0x55));
    while (stream.size() < 70000)
        stream += wire(5, 0x81, 0, 0x00, {1, 2, 3, 4});
    for (const auto& c : cases) {
        settings->setMaxFrameDataLen(c.limit);
        MavProtocolProcesser p;
        EXPECT_FALSE(p.setMaxFrameDataLen(65536));
        qsizetype fed = 0;
        qsizetype heldBack = -1;
        QObject::connect(&p, &MavProtocolProcesser::mavPFrameReceived, [&](MavPFramePtr f, OstAbstractLink*) {
            if (heldBack < 0 && f->tx_id == 5)
                heldBack = fed + 1;
        });
        QByteArray s = stream;
        s[6] = char(c.corruptedLen & 0xFF);
        s[7] = char(c.corruptedLen >> 8);
        for (; fed < s.size() && heldBack < 0; ++fed)
            p.handleSerialLinkData(s.mid(fed, 1), kLink);
        EXPECT_EQ(heldBack, c.heldBack) << c.limit << " " << c.corruptedLen;
    }
    settings->setMaxFrameDataLen(4096);  // for the cases after this one in the same process
}

// A minute of 2 % corrupted bytes at 57600 baud, on a simulated clock.
TEST(MavProtocolProcesser, ParseWarningsStayWithinTheirBudget)
{
    std::mt19937 rng(7);
    MavProtocolProcesser p;
    int64_t now = 0;
    p.setClock([&now] { return now; });
    LogCapture::instance().clear();
    int worstSecond = 0;
    int before = 0;
    for (int tick = 0; tick < 600; ++tick, now += 100) {
        QByteArray chunk;
        while (chunk.size() < 576)
            chunk += wire(3, 0x81, uint8_t(tick), 0x21, std::vector<uint8_t>(40, uint8_t(tick)));
        for (auto& byte : chunk)
            if (rng() % 50 == 0)
                byte = char(byte ^ (1 + rng() % 255));
        p.handleSerialLinkData(chunk, kLink);
        if (tick % 10 == 9) {
            const int total = LogCapture::instance().countContaining(spdlog::level::warn, "parse result");
            worstSecond = std::max(worstSecond, total - before);
            before = total;
        }
    }
    EXPECT_GT(LogCapture::instance().countContaining(spdlog::level::warn, "more bytes dropped in the last second"), 50);
    EXPECT_LT(worstSecond, 20);
}

// The cutter must behave exactly like the plain definition (parse at the front, drop one byte
// on a head mismatch, two on a checksum error, wait when incomplete) whatever the chunking; the
// dropped bytes are all accounted for by the warnings and their per-second summaries.
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
            if (kind == 3)
                f[7] = char(f[7] | 0x20);  // announces more than 4096 bytes
            stream += f;
        }
    }

    // Reference: removes from the front exactly as defined; a length above 4096 is no head.
    std::vector<std::string> expected;
    int expectedMoh = 0;
    int expectedCrc = 0;
    QByteArray buf = stream;
    while (buf.size() >= 10) {
        _MavPFrame_t f;
        const auto* at = reinterpret_cast<const unsigned char*>(buf.constData());
        const uint16_t res = (at[6] | at[7] << 8) > 4096
                                 ? uint16_t(MAVPROTO_PARSE_RESULT_MOH_NOT_MATCH)
                                 : MavProtoHelper::parseMavProtoFrame(at, unsigned(buf.size()), f);
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
        int64_t now = 0;
        p.setClock([&now] { return now; });
        Recorder r(p);
        for (qsizetype at = 0; at < stream.size(); at += chunk)
            p.handleUdpLinkData("a", stream.mid(at, chunk), kLink);
        EXPECT_EQ(r.frames(), expected) << "chunk " << chunk;
        now = 1000;
        p.handleUdpLinkData("a", {}, kLink);
        EXPECT_EQ(accounted(kMohWarning), expectedMoh) << "chunk " << chunk;
        EXPECT_EQ(accounted(kCrcWarning), expectedCrc) << "chunk " << chunk;
        EXPECT_EQ(p.bufferedBytes(), buf.size()) << "chunk " << chunk;
    }
}
