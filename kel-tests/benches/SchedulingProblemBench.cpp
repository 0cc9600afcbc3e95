// Cost of rebuilding a phase's precedence graph and receive configuration, as
// every schedule attempt does, on a full-board phase of 100000 transfers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/SchedulingProblem.h"

namespace {

using namespace kel_codegen::exchange;

constexpr std::uint16_t kTiles = 1472;
constexpr std::size_t kTransfers = 100000;

// Each tile owns a few variables that several transfers read, and receives
// into a few buffers that several transfers write, so dependencies are dense
// enough to matter; some transfers repeat, multicast or loop back.
std::vector<PendingTransfer> board_phase() {
  std::mt19937 rng(1472);
  auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  constexpr std::uint32_t kSlots = 24;
  constexpr std::uint32_t kSlotBytes = 0x800;
  std::vector<PendingTransfer> transfers(kTransfers);
  for (PendingTransfer& t : transfers) {
    t.source = static_cast<std::uint16_t>(pick(0, kTiles - 1));
    t.words = pick(1, 256);
    const std::uint32_t repeats = pick(0, 7) == 0 ? pick(2, 4) : 1;
    for (std::uint32_t r = 0; r < repeats; ++r)
      t.source_addresses.push_back(pick(0, kSlots - 1) * kSlotBytes + 4 * pick(0, 64));
    const std::uint32_t fanout = pick(0, 9) == 0 ? pick(2, 6) : 1;
    for (std::uint32_t d = 0; d < fanout; ++d) {
      std::uint16_t tile = static_cast<std::uint16_t>(pick(0, kTiles - 1));
      if (tile == t.source && fanout == 1) tile = static_cast<std::uint16_t>((tile + 1) % kTiles);
      bool repeated = false;
      for (const auto& existing : t.destinations) repeated = repeated || existing.tile == tile;
      if (repeated) continue;
      t.destinations.push_back({tile, 0x40000 + pick(0, kSlots - 1) * kSlotBytes + 4 * pick(0, 64)});
    }
    t.refresh_source_elements();
  }
  return transfers;
}

void BM_SchedulingProblemCreate(benchmark::State& state) {
  const std::vector<PendingTransfer> transfers = board_phase();
  std::size_t edges = 0;
  for (auto _ : state) {
    SchedulingProblem problem = SchedulingProblem::create(transfers, kTiles);
    edges = problem.edge_count();
    benchmark::DoNotOptimize(problem);
  }
  state.counters["edges"] = static_cast<double>(edges);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kTransfers));
}
BENCHMARK(BM_SchedulingProblemCreate)->Unit(benchmark::kMillisecond);

void BM_ReceiveConfiguration(benchmark::State& state) {
  const std::vector<PendingTransfer> transfers = board_phase();
  for (auto _ : state) {
    auto configuration = receive_configuration(transfers, kTiles);
    benchmark::DoNotOptimize(configuration);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kTransfers));
}
BENCHMARK(BM_ReceiveConfiguration)->Unit(benchmark::kMicrosecond);

}  // namespace
