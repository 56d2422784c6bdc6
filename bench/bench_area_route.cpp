// Area route generation: a circle-like star polygon of 100,000 vertices about 1 km across, with
// a line spacing that yields about 250 positions (goal: under 10 ms), and a 4-vertex square.
//
//   cmake --build build --target bench_area_route && build/bench/bench_area_route

#include "mission/MavAreaRouteConfig.h"
#include "mission/MavAreaRouteGenerator.h"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <cmath>

namespace {

// Radius 500 m with a 1 mm ripple, so edges zig-zag like a traced boundary without adding
// crossings to the lines.
QList<std::pair<double, double>> starPolygon(int vertices)
{
    QList<std::pair<double, double>> polygon;
    for (int i = 0; i < vertices; ++i) {
        const double a = 2 * M_PI * i / vertices;
        const double r = 500 + (i % 2 ? 0.001 : -0.001);
        polygon.append(MavAreaRouteGenerator::fromLocal(r * std::cos(a), r * std::sin(a), 30.0, 120.0));
    }
    return polygon;
}

void generate(benchmark::State& state, const QList<std::pair<double, double>>& polygon, double spacing)
{
    spdlog::set_level(spdlog::level::warn);
    MavAreaRouteConfig config;
    config.setPolygonVertices(polygon);
    config.setLineSpacing(spacing);
    config.setAngle(30);
    qsizetype positions = 0;
    for (auto _ : state) {
        const auto route = MavAreaRouteGenerator::generate(&config);
        positions = route.size();
        benchmark::DoNotOptimize(route.constData());
    }
    state.counters["positions"] = double(positions);
}

void BM_Star100k(benchmark::State& state)
{
    generate(state, starPolygon(100000), 8.1);
}

void BM_Square(benchmark::State& state)
{
    generate(state, {{30.0, 120.0}, {30.0, 120.001}, {30.001, 120.001}, {30.001, 120.0}}, 10);
}

}  // namespace

BENCHMARK(BM_Star100k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Square)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
