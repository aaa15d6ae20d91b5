// Control message coding throughput. Prints figures; never gates CI.
#include <benchmark/benchmark.h>

#include "KivProtocol/ControlMessage.hpp"

using namespace kiv;

namespace {
ControlMessage statsMessage() {
    ClientStats stats{59.5,
                      59.25,
                      58.75,
                      2.5,
                      11850.25,
                      0.0125,
                      3,
                      1,
                      TransportMetrics(TransportKind::wifi, "192.168.1.20"),
                      1.75,
                      18.5,
                      42.25,
                      2732,
                      2048,
                      3.5,
                      AudioStats{1000, 2, 1, 20, 40, 65.5, true}};
    return ControlMessage{stats};
}
} // namespace

static void BM_EncodeStats(benchmark::State& state) {
    const auto message = statsMessage();
    for (auto _ : state)
        benchmark::DoNotOptimize(encodeControlMessage(message));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeStats);

static void BM_DecodeStats(benchmark::State& state) {
    const auto text = *encodeControlMessage(statsMessage());
    for (auto _ : state)
        benchmark::DoNotOptimize(decodeControlMessage(text));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeStats);

BENCHMARK_MAIN();
