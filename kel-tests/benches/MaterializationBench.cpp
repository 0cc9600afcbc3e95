// Greedy materialisation at 1472 tiles: point-to-point phases of growing size
// (the cost per append should not grow with the transfers already placed) and
// a multicast-heavy phase.
#include <benchmark/benchmark.h>

#include <random>

#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/TransferScheduler.h"

namespace {

using namespace kel_codegen::exchange;

constexpr std::uint16_t kTiles = 1472;

ExchangeScheduleProblem generated_phase(std::size_t transfers, std::uint32_t max_destinations, unsigned seed) {
  std::mt19937 rng(seed);
  const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  ExchangeScheduleProblem problem{1, {}};
  for (std::size_t i = 0; i < transfers; ++i) {
    ExchangeScheduleTransfer t;
    t.source = static_cast<std::uint16_t>(pick(0, kTiles - 1));
    t.source_addresses = {pick(0, 0x3FFFF) & ~3u};
    t.words = pick(1, 128);
    const std::uint32_t count = max_destinations == 1 ? 1 : pick(2, max_destinations);
    while (t.destinations.size() < count) {
      const auto tile = static_cast<std::uint16_t>(pick(0, kTiles - 1));
      bool seen = tile == t.source;
      for (const auto& d : t.destinations) seen = seen || d.tile == tile;
      if (!seen) t.destinations.push_back({tile, 0x40000 + (pick(0, 0x2FFFF) & ~3u)});
    }
    problem.transfers.push_back(std::move(t));
  }
  return problem;
}

void BM_GreedyMaterialization(benchmark::State& state, std::uint32_t max_destinations) {
  const auto problem = generated_phase(static_cast<std::size_t>(state.range(0)), max_destinations, 17);
  const auto topology = phase_topology(kTiles).value();
  const auto pending = pending_from_problem(problem, kTiles).value();
  const auto config = receive_configuration(pending, kTiles).value();
  const auto scheduling = SchedulingProblem::create(pending, kTiles);
  for (auto _ : state) {
    auto schedule = materialize_greedy_schedule_impl(topology, scheduling, config.receive_bases,
                                                     config.receive_counts, false);
    benchmark::DoNotOptimize(schedule);
  }
  state.counters["per_append"] =
      benchmark::Counter(static_cast<double>(state.range(0)),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ScheduleExchangeProblem(benchmark::State& state) {
  const auto problem = generated_phase(static_cast<std::size_t>(state.range(0)), 1, 23);
  for (auto _ : state) benchmark::DoNotOptimize(schedule_exchange_problem(kTiles, problem));
}

}  // namespace

BENCHMARK_CAPTURE(BM_GreedyMaterialization, point_to_point, 1)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_GreedyMaterialization, multicast_2_to_64, 64)->Arg(5000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScheduleExchangeProblem)->Arg(10000)->Unit(benchmark::kMillisecond);
