// The parameters controller of a vehicle whose link is a UDP socket to a local peer; the test
// plays the vehicle by handing replies to the request queue, whose clock is fake.

#include "settings/GcsSettings.h"
#include "common/GcsConsoleHandler.h"
#include "link/LinkManager.h"
#include "params/MavBasicParamsDataItem.h"
#include "params/MavParamsController.h"
#include "params/MavResParamsDataItem.h"
#include "protocol/MavRequestQueueManager.h"
#include "telemetry/MavTelemetryController.h"
#include "vehicle/VehicleController.h"

#include "LogCapture.h"
#include "LoopbackPeers.h"
#include "MavProtoHelper.h"
#include "MavProtoParamsProcesser.h"
#include "OstUdpSocketLinkConfig.h"
#include "TestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>

using testsupport::LogCapture;
using testsupport::waitUntil;

namespace {

class ParamsFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        GcsSettings::getInstance()->init(testsupport::makeTempDir("cache"), testsupport::makeTempDir("data"));
        linkMgr = std::make_shared<LinkManager>();
        QSignalSpy open(linkMgr.get(), &LinkManager::udpLinkOpenResp);
        linkMgr->openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(testsupport::freeUdpPort(), 0));
        ASSERT_TRUE(waitUntil([&] { return open.count() == 1; }));
        vehicle = std::make_shared<VehicleController>(4, linkMgr, nullptr);
        vehicle->setAddress(peer.address());
        vehicle->setRequestQueueTiming([this] { return nowMs.load(); }, 3600 * 1000);
        vehicle->setup();
        params = vehicle->paramsCtrler();
        console = std::make_shared<GcsConsoleHandler>();
        QObject::connect(console.get(), &GcsConsoleHandler::logOutput, [this](OstLogLevel level, QString text) {
            lines << QString::number(int(level)) + " " + text;
        });
        vehicle->setGcsConsole(console);
    }

    // The last frame the station sent.
    _MavPFrame_t lastSent(int count)
    {
        EXPECT_TRUE(peer.waitForDatagrams(count));
        _MavPFrame_t f;
        const QByteArray d = peer.datagrams().last();
        MavProtoHelper::parseMavProtoFrame(reinterpret_cast<const unsigned char*>(d.constData()), unsigned(d.size()),
                                           f);
        return f;
    }

    void reply(uint8_t seq, uint8_t cmd, std::vector<uint8_t> data)
    {
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoHelper::packMavProtoFrame(*f, 4, 0x81, seq, cmd, data);
        vehicle->requestQueue()->handleMavPFrame(f, linkMgr->udpSocketLink());
    }

    // A reply the queue rejects uses up the resend budget first: it is delivered the third time.
    void rejectedReply(uint8_t seq, uint8_t cmd, std::vector<uint8_t> data)
    {
        for (int i = 0; i < 3; ++i)
            reply(seq, cmd, data);
    }

    void expireRequests()
    {
        for (int i = 0; i < 3; ++i) {
            nowMs += 2000;
            vehicle->requestQueue()->runTimeoutCheck();
        }
        QCoreApplication::sendPostedEvents();
    }

    std::atomic<int64_t> nowMs{5'000'000};
    testsupport::UdpPeer peer;
    std::shared_ptr<LinkManager> linkMgr;
    std::shared_ptr<VehicleController> vehicle;
    std::shared_ptr<MavParamsController> params;
    std::shared_ptr<GcsConsoleHandler> console;
    QStringList lines;
};

}  // namespace

TEST_F(ParamsFixture, ReadAllCountsEveryOutcomeAndTimeoutsOnlyReportReads)
{
    QSignalSpy basic(params.get(), &MavParamsController::basicParamsReadResp);
    QSignalSpy stab(params.get(), &MavParamsController::stabCtrlParamsReadResp);
    QSignalSpy res(params.get(), &MavParamsController::resParamsReadResp);
    QSignalSpy stabWrite(params.get(), &MavParamsController::stabCtrlParamsWriteResp);
    params->readAllParams();
    EXPECT_TRUE(params->batchReadingParams());
    ASSERT_TRUE(peer.waitForDatagrams(6));
    QList<uint8_t> cmds;
    QList<uint8_t> seqs;
    for (const auto& d : peer.datagrams()) {
        cmds << uint8_t(d.at(5));
        seqs << uint8_t(d.at(4));
    }
    EXPECT_EQ(cmds, (QList<uint8_t>{1, 2, 3, 15, 4, 5}));
    EXPECT_TRUE(lines.contains("1 [发送] 飞机 4  读取基本参数")) << lines.join(" | ").toStdString();

    rejectedReply(seqs[0], 0x01, std::vector<uint8_t>(47, 0));  // one byte short
    ASSERT_EQ(basic.count(), 1);
    EXPECT_EQ(basic.at(0).at(0).toInt(), -2001);
    MavProtoResParams_t r{};
    r.res3 = 12.5f;
    MavProtoResParamsWire_t wire{};
    ASSERT_TRUE(MavProtoParamsProcesser::toWire(r, wire));
    reply(seqs[3], 0x0F, MavProtoHelper::recordBytes(wire));
    ASSERT_EQ(res.count(), 1);
    EXPECT_EQ(res.at(0).at(0).toInt(), 0);
    EXPECT_FLOAT_EQ(params->resParamsDataItem()->protoData().res3, 12.5f);
    EXPECT_TRUE(lines.contains("1 [接收] 飞机 4  读取    预留参数")) << "the answer is a received line";
    EXPECT_TRUE(params->batchReadingParams());

    params->writeStabCtrlParams();  // a write that will time out as well: silent
    expireRequests();
    EXPECT_EQ(stab.count(), 1);
    EXPECT_EQ(stab.at(0).at(0).toInt(), 5000);
    EXPECT_EQ(stabWrite.count(), 0);
    EXPECT_FALSE(params->batchReadingParams()) << "two replies and four time-outs end the batch";
}

TEST_F(ParamsFixture, WritesThatDoNotFitTheWireAreAbortedBeforeSending)
{
    QSignalSpy write(params.get(), &MavParamsController::basicParamsWriteResp);
    QSignalSpy resWrite(params.get(), &MavParamsController::resParamsWriteResp);
    LogCapture::instance().clear();

    MavProtoBasicParamsWire_t wire{};
    wire.vehicleId = 0x81;  // the station's own id cannot be written
    params->writeBasicParams(wire);
    params->resParamsDataItem()->setRes0(1.0e9f);
    params->writeResParams();
    testsupport::pumpEvents(50);
    EXPECT_EQ(peer.datagrams().size(), 0);
    EXPECT_EQ(write.count() + resWrite.count(), 0);
    EXPECT_EQ(
        LogCapture::instance().count(spdlog::level::warn,
                                     "<Params> abort basic params write because a value exceeds the wire integer type"),
        1);
    EXPECT_EQ(
        LogCapture::instance().count(
            spdlog::level::warn, "<Params> abort reserved params write because a value exceeds the wire integer type"),
        1);

    // A fitting write goes out, and its acknowledgement is judged by length.
    params->resParamsDataItem()->setRes0(1.5f);
    params->writeResParams();
    const auto sent = lastSent(1);
    EXPECT_EQ(sent.cmd, 0x0F);
    EXPECT_EQ(sent.data.size(), 80u);
    rejectedReply(sent.seq, 0x0F, {0, 0});  // two bytes: neither a write ack nor a read reply
    ASSERT_EQ(resWrite.count(), 1);
    EXPECT_EQ(resWrite.at(0).at(0).toInt(), -2001);
    EXPECT_TRUE(lines.contains("3 [接收] 飞机 4  写入    预留参数"));
}

TEST_F(ParamsFixture, CalibrationsExcludeEachOtherAndPausePolling)
{
    QSignalSpy acc(params.get(), &MavParamsController::caliAccMeterResp);
    struct Step {
        const char* name;
        std::function<int()> call;
        int expected;
    };
    const std::vector<Step> steps = {
        {"compass start", [&] { return int(params->calibrateMagCompass(MAVPROTO_MAG_CALI_STEP_START)); }, 0},
        {"compass step 2", [&] { return int(params->calibrateMagCompass(MavProtoMagCompassCalibrateStep(2))); }, 0},
        {"accelerometer blocked by compass",
         [&] { return int(params->calibrateAccMeter(MAVPROTO_ACC_CALI_STEP_START)); }, 2},
        {"compass step 3 is not guarded",
         [&] { return int(params->calibrateMagCompass(MavProtoMagCompassCalibrateStep(3))); }, 0},
    };
    for (const auto& s : steps)
        EXPECT_EQ(s.call(), s.expected) << s.name;
    ASSERT_TRUE(peer.waitForDatagrams(3));
    testsupport::pumpEvents(30);
    EXPECT_EQ(peer.datagrams().size(), 3) << "the refused step sent nothing";
    EXPECT_EQ(params->magComCaliStep(), 3);
    params->resetCaliMagCom();

    ASSERT_EQ(params->calibrateAccMeter(MAVPROTO_ACC_CALI_STEP_START), MavParamsEnums::AccCaliRequestSent);
    EXPECT_FALSE(vehicle->teleCtrler()->teleReqEnabled()) << "no polling during a calibration";
    EXPECT_EQ(params->calibrateAccMeter(MAVPROTO_ACC_CALI_STEP_START), MavParamsEnums::AccCaliAlreadyInProgress);
    const auto start = lastSent(4);
    rejectedReply(start.seq, 0x0A, {5, 8});  // the final step, refused
    ASSERT_EQ(acc.count(), 1);
    EXPECT_EQ(acc.at(0).at(0).toInt(), 8);
    EXPECT_EQ(acc.at(0).at(1).toInt(), 5);
    EXPECT_EQ(params->accMeterCaliStep(), 1) << "a refused final step ends nothing";

    params->calibrateAccMeter(MAVPROTO_ACC_CALI_STEP_FINAL);
    const auto last = lastSent(7);
    reply(last.seq, 0x0A, {0, 8});
    EXPECT_EQ(params->accMeterCaliStep(), 0);
    EXPECT_EQ(params->calibrateAccMeter(MAVPROTO_ACC_CALI_STEP_START), MavParamsEnums::AccCaliRequestSent)
        << "a finished calibration may start again";
}

TEST_F(ParamsFixture, VehicleCodeRepliesAndWriteAcknowledgement)
{
    QSignalSpy read(params.get(), &MavParamsController::vehicleCodeReadResp);
    params->readVehicleCode();
    auto sent = lastSent(1);
    EXPECT_EQ(sent.cmd, 0x0E);
    rejectedReply(sent.seq, 0x0E, std::vector<uint8_t>(19, 'A'));
    ASSERT_EQ(read.count(), 1);
    EXPECT_EQ(read.at(0).at(0).toInt(), -2001);

    params->readVehicleCode();
    sent = lastSent(4);
    std::vector<uint8_t> code(20, 0);
    const std::string text = "VC-2026-0042";
    std::copy(text.begin(), text.end(), code.begin());
    reply(sent.seq, 0x0E, code);
    ASSERT_EQ(read.count(), 2);
    EXPECT_EQ(read.at(1).at(0).toInt(), 0);
    EXPECT_EQ(params->vehicleCode(), "VC-2026-0042");
    EXPECT_EQ(vehicle->vehicleCode(), "VC-2026-0042");
    EXPECT_FALSE(params->vehicleCodeIsActive()) << "no login manager: no activation";

    // A write the vehicle refuses is an error on the console, as refused group writes are.
    QSignalSpy write(params.get(), &MavParamsController::vehicleCodeWriteResp);
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoParamsProcesser::packWriteVehicleCodeFrame(*frame, 4, vehicle->genSeqId(), "VC-2026-0043");
    vehicle->sendMavPFrameReq(MavCmdRequestMessage::create(frame, CheckDataLen, 1, 0, 2000, 2));
    lines.clear();
    reply(frame->seq, 0x0E, {3});
    ASSERT_EQ(write.count(), 1);
    EXPECT_EQ(write.at(0).at(0).toInt(), 3);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().startsWith("3 ")) << lines.first().toStdString();
}

TEST_F(ParamsFixture, ReturnReadsAgainOnlyAfterALongSilenceOrWhenNeverRead)
{
    GcsSettings::getInstance()->setParamsRereadAfterSilenceMs(10000);
    GcsSettings::getInstance()->setParamsRereadAfterSilenceMs(-1);  // ignored
    params->setClock([this] { return nowMs.load(); });
    LogCapture::instance().clear();
    // name, silence, reads sent (six groups and the code); every read is answered, the code empty
    const std::vector<std::tuple<const char*, int, int>> rows = {
        {"never read", 0, 7}, {"silent 2 s", 2000, 0}, {"silent 10 s", 10000, 0}, {"silent 12 s", 12000, 7}};
    int seen = 0;
    for (const auto& [name, silentMs, reads] : rows) {
        params->handleVehicleAliveChanged(false);
        nowMs += silentMs;
        params->handleVehicleAliveChanged(true);
        peer.waitForDatagrams(seen + std::max(reads, 1), reads ? 3000 : 30);
        const auto sent = peer.datagrams();
        ASSERT_EQ(sent.size() - seen, reads) << name;
        for (; seen < sent.size(); ++seen) {
            const auto cmd = uint8_t(sent[seen].at(5));
            reply(uint8_t(sent[seen].at(4)), cmd,
                  std::vector<uint8_t>(MavProtoParamsProcesser::readReplyDataLen(cmd), 0));
        }
    }
    EXPECT_EQ(
        LogCapture::instance().count(spdlog::level::info, "<Params> handle read vehicleCode, vehicleCode is empty"), 1);
}
