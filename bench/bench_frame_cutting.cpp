// Frame cutting throughput: a telemetry-like stream (frames of 60 to 130 bytes) fed to a
// MavProtocolProcesser in chunks of 1, 64, 1472 and 65536 bytes, with receivers connected to
// its frame signals; plus the same stream with 10 % garbage bytes (warnings are off for it), and
// a stream of 60 to 75-byte frames without a raw-bytes receiver (frames per second).
//
//   cmake --build build --target bench_frame_cutting && build/bench/bench_frame_cutting

#include "protocol/MavProtocolProcesser.h"

#include "MavProtoHelper.h"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <QByteArray>

#include <random>

namespace {

// Frames of minData+10 to maxData+10 bytes on the wire.
QByteArray makeStream(double garbageShare, size_t targetBytes, int minData = 50, int maxData = 120)
{
    std::mt19937 rng(42);
    QByteArray stream;
    std::vector<uint8_t> bytes;
    uint8_t seq = 0;
    while (size_t(stream.size()) < targetBytes) {
        std::vector<uint8_t> data(size_t(minData) + rng() % unsigned(maxData - minData + 1));
        for (auto& b : data)
            b = uint8_t(rng());
        _MavPFrame_t f;
        MavProtoHelper::packMavProtoFrame(f, uint8_t(1 + rng() % 10), 0x81, seq++, uint8_t(0x21 + rng() % 5), data);
        MavProtoHelper::mavPFrameToSendBytes(bytes, f);
        stream.append(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
        if (garbageShare > 0) {
            // Garbage share of the whole stream: g / (frame + g) = share.
            const size_t g = size_t(double(bytes.size()) * garbageShare / (1.0 - garbageShare) + 0.5);
            for (size_t i = 0; i < g; ++i)
                stream.append(char(rng() % 0xEA));  // never a head byte, so frames stay findable
        }
    }
    return stream;
}

void cut(benchmark::State& state, double garbageShare, bool shortFrames = false)
{
    const qsizetype chunk = state.range(0);
    // 1-byte chunks are slow by nature: they get a shorter stream so the run stays short.
    const size_t size = chunk == 1 ? (512u << 10) : (8u << 20);
    const QByteArray stream = shortFrames ? makeStream(garbageShare, size, 50, 65) : makeStream(garbageShare, size);

    const auto oldLevel = spdlog::get_level();
    if (garbageShare > 0)
        spdlog::set_level(spdlog::level::err);

    MavProtocolProcesser processer;
    int64_t frames = 0;
    int64_t originBytes = 0;
    QObject::connect(&processer, &MavProtocolProcesser::mavPFrameReceived, [&](MavPFramePtr f, OstAbstractLink*) {
        benchmark::DoNotOptimize(f->data.data());
        ++frames;
    });
    // The short-frame case is the station without telemetry forwarding: nobody takes raw bytes.
    if (!shortFrames)
        QObject::connect(&processer, &MavProtocolProcesser::originPFrameDataReceived,
                         [&](std::shared_ptr<QByteArray> d, OstAbstractLink*) { originBytes += d->size(); });
    QObject::connect(&processer, &MavProtocolProcesser::mavHeartbeatFrameReceived,
                     [](int, OstAbstractLink*, QString) {});

    const qsizetype limit = stream.size();
    int64_t bytes = 0;
    for (auto _ : state) {
        for (qsizetype at = 0; at < limit; at += chunk) {
            processer.handleUdpLinkData(
                QString(), QByteArray::fromRawData(stream.constData() + at, std::min(chunk, limit - at)), nullptr);
        }
        bytes += limit;
    }
    benchmark::DoNotOptimize(originBytes);
    state.SetBytesProcessed(bytes);
    state.counters["frames/s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.counters["ns/byte"] = benchmark::Counter(
        double(bytes), benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
    spdlog::set_level(oldLevel);
}

void BM_CutClean(benchmark::State& state)
{
    cut(state, 0.0);
}

void BM_CutWithGarbage(benchmark::State& state)
{
    cut(state, 0.10);
}

// Frames of 60 to 75 bytes, like a telemetry stream of small records.
void BM_CutShortFrames(benchmark::State& state)
{
    cut(state, 0.0, true);
}

}  // namespace

BENCHMARK(BM_CutShortFrames)->Arg(1472)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CutClean)->Arg(1)->Arg(64)->Arg(1472)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CutWithGarbage)->Arg(1)->Arg(64)->Arg(1472)->Arg(65536)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
