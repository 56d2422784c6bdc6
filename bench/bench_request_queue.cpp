// Acknowledgement matching with 1, 10 and 100 requests queued (the matched request is the last
// one, the worst case), and the cost of one control command from takeoff() to the bytes handed
// to the UDP link.
//
//   cmake --build build --target bench_request_queue && build/bench/bench_request_queue

#include "link/LinkManager.h"
#include "protocol/MavRequestQueueManager.h"
#include "vehicle/VehicleController.h"

#include "MavProtoCtrlCmdProcesser.h"
#include "MavProtoHelper.h"
#include "OstUdpSocketLink.h"
#include "OstUdpSocketLinkConfig.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QUdpSocket>

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

namespace {

struct Station {
    std::shared_ptr<LinkManager> linkMgr = std::make_shared<LinkManager>();
    QUdpSocket sink;
    std::shared_ptr<VehicleController> vehicle;

    Station()
    {
        sink.bind(QHostAddress::LocalHost, 0);
        linkMgr->openUdpSocketLink(std::make_shared<OstUdpSocketLinkConfig>(0, 0));
        QDeadlineTimer deadline(3000);
        while (!linkMgr->udpSocketLinkIsOpen() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        vehicle = std::make_shared<VehicleController>(7, linkMgr, nullptr);
        vehicle->setAddress(QStringLiteral("127.0.0.1:%1").arg(sink.localPort()));
        vehicle->setup();
    }
    ~Station() { linkMgr->closeUdpSocketLink(); }

    MavPFramePtr ackFor(uint8_t seq, uint8_t cmd) const
    {
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoCtrlCmdProcesser::packAckPFrame(*f, 7, seq, cmd, 0);
        return f;
    }
};

void BM_AckMatching(benchmark::State& state)
{
    Station station;
    auto queue = station.vehicle->requestQueue();
    auto* link = station.linkMgr->udpSocketLink();
    const int queued = int(state.range(0));
    // The others wait under another command byte, so they are scanned but never match.
    for (int i = 0; i < queued - 1; ++i) {
        auto f = std::make_shared<_MavPFrame_t>();
        MavProtoCtrlCmdProcesser::packSuspendPFrame(*f, 7, uint8_t(1 + i % 254));
        queue->appendCmdReq(MavCmdRequestMessage::create(f, CheckResult, 0, 0, 0, 2), station.vehicle.get());
    }
    auto frame = std::make_shared<_MavPFrame_t>();
    MavProtoCtrlCmdProcesser::packLandPFrame(*frame, 7, 200);
    const auto ack = station.ackFor(200, MavCmd::Land);
    for (auto _ : state) {
        state.PauseTiming();
        queue->appendCmdReq(MavCmdRequestMessage::create(frame, CheckResult, 0, 0, 0, 2), station.vehicle.get());
        state.ResumeTiming();
        queue->handleMavPFrame(ack, link);
    }
    state.counters["queued"] = queued;
}

void BM_TakeoffToLink(benchmark::State& state)
{
    Station station;
    auto queue = station.vehicle->requestQueue();
    auto* link = station.linkMgr->udpSocketLink();
    std::vector<uint8_t> seqs;
    for (auto _ : state) {
        station.vehicle->takeoff(30, 3);
        if (queue->pendingCount() >= 64) {
            state.PauseTiming();
            // Answer what was sent so the queue stays short; this is not what is measured.
            for (int seq = 1; seq < 255; ++seq)
                queue->handleMavPFrame(station.ackFor(uint8_t(seq), MavCmd::TakeOff), link);
            QCoreApplication::processEvents();
            state.ResumeTiming();
        }
    }
}

}  // namespace

BENCHMARK(BM_AckMatching)->Arg(1)->Arg(10)->Arg(100);
BENCHMARK(BM_TakeoffToLink);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    spdlog::set_level(spdlog::level::warn);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
