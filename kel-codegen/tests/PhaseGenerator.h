// Random valid phases for property tests: point-to-point and multicast
// transfers (some writing their own source tile), paired transfers between
// tile pairs, several Repeat iterations and deliberately overlapping byte
// ranges, so dependencies and memory hazards are frequent; and the helpers
// the phase tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/SchedulingProblem.h"
#include "kel_exchange/MulticastPlan.h"
#include "kel_exchange/Topology.h"

namespace kel_codegen::exchange::test_support {

struct GeneratedPhase {
  std::uint16_t tile_count = 0;
  ExchangeScheduleProblem problem;
  std::vector<PendingTransfer> pending;
};

inline GeneratedPhase generate_phase(std::mt19937& rng, std::uint16_t max_tiles = 24, std::size_t max_transfers = 40) {
  const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  GeneratedPhase phase;
  phase.tile_count = static_cast<std::uint16_t>(2 * pick(1, max_tiles / 2));
  phase.problem.phase = pick(0, 1000);
  const std::size_t transfers = pick(0, static_cast<std::uint32_t>(max_transfers));
  // A small address window makes overlaps, and so dependencies, common.
  const auto address = [&](std::uint32_t align) { return pick(0, 0x18000 / align) * align; };
  for (std::size_t i = 0; i < transfers; ++i) {
    ExchangeScheduleTransfer t;
    const std::uint32_t kind = pick(0, 9);
    if (kind < 2 && phase.tile_count >= 4) {
      // Paired: a tile pair sends to one or two other tile pairs.
      t.width = ExchangeItemWidth::Paired64;
      t.words = 2 * pick(64, 400);
      t.source = static_cast<std::uint16_t>(pick(0, phase.tile_count - 1));
      std::vector<std::uint16_t> pairs;
      for (std::uint16_t p = 0; p < phase.tile_count / 2; ++p)
        if (p != t.source / 2) pairs.push_back(p);
      std::shuffle(pairs.begin(), pairs.end(), rng);
      const std::size_t count = std::min<std::size_t>(pairs.size(), pick(1, 2));
      const std::uint32_t destination = address(8);
      for (std::size_t k = 0; k < count; ++k) {
        t.destinations.push_back({static_cast<std::uint16_t>(2 * pairs[k]), destination});
        t.destinations.push_back({static_cast<std::uint16_t>(2 * pairs[k] + 1), destination});
      }
      for (std::uint32_t r = pick(1, 2); r > 0; --r) t.source_addresses.push_back(address(8));
    } else {
      t.width = ExchangeItemWidth::Word32;
      t.words = kind < 5 ? pick(1, 64) : pick(1, 600);
      t.source = static_cast<std::uint16_t>(pick(0, phase.tile_count - 1));
      for (std::uint32_t r = pick(1, 3); r > 0; --r) t.source_addresses.push_back(address(4));
      std::vector<std::uint16_t> others(phase.tile_count);
      std::iota(others.begin(), others.end(), std::uint16_t{0});
      others.erase(others.begin() + t.source);
      std::shuffle(others.begin(), others.end(), rng);
      const std::size_t count = kind < 7 ? 1 : std::min<std::size_t>(others.size(), pick(2, 5));
      for (std::size_t k = 0; k < count; ++k) t.destinations.push_back({others[k], address(4)});
      // A multicast may also write its own tile, in memory its reads never touch.
      if (count >= 2 && pick(0, 3) == 0) t.destinations.push_back({t.source, 0x90000 + address(4)});
    }
    phase.problem.transfers.push_back(std::move(t));
  }
  // Some pair geometries and lengths have no paired route (two receive
  // controls would coincide); such a transfer cannot be lowered at all.
  const auto topology = kel_exchange::Topology::r817_prefix(phase.tile_count).value();
  // Likewise a multicast that writes its own tile cannot be encoded when one
  // of its own receive controls falls on the first cycle of its send.
  std::erase_if(phase.problem.transfers, [&](const ExchangeScheduleTransfer& t) {
    std::vector<std::uint16_t> receivers;
    for (const auto& d : t.destinations) receivers.push_back(d.tile);
    if (t.width == ExchangeItemWidth::Paired64)
      return !topology.paired_multicast(t.source, receivers, t.words / 2).has_value();
    const auto own = std::find(receivers.begin(), receivers.end(), t.source);
    if (own == receivers.end()) return false;
    const auto plan = topology.multicast(t.source, receivers, t.words, 0);
    const auto prepared = plan->prepare();
    const auto& row = prepared->receive_rows[static_cast<std::size_t>(own - receivers.begin())];
    const std::uint32_t cycles[] = {*row.source, *row.pointer, *row.source + t.words};
    return std::ranges::any_of(cycles, [&](std::uint32_t c) {
      return c == prepared->send_start || c == prepared->send_start + 1;
    });
  });
  auto pending = pending_from_problem(phase.problem, phase.tile_count);
  if (!pending) std::abort();
  phase.pending = std::move(*pending);
  return phase;
}

/// The transfers converted as a snapshot phase would be; a conversion error
/// fails the calling test.
inline std::vector<PendingTransfer> convert(std::uint16_t tiles, std::vector<ExchangeScheduleTransfer> transfers) {
  ExchangeScheduleProblem problem;
  problem.transfers = std::move(transfers);
  auto pending = pending_from_problem(problem, tiles);
  EXPECT_TRUE(pending.has_value()) << pending.error().message();
  return pending.value_or(std::vector<PendingTransfer>{});
}

/// A uniformly drawn topological order of the problem's transfers.
inline std::vector<std::size_t> random_topological_order(const SchedulingProblem& problem, std::mt19937& rng) {
  std::vector<std::size_t> remaining(problem.transfer_count()), ready, order;
  for (std::size_t i = 0; i < remaining.size(); ++i) {
    remaining[i] = problem.predecessors(i).size();
    if (remaining[i] == 0) ready.push_back(i);
  }
  while (!ready.empty()) {
    const std::size_t at = std::uniform_int_distribution<std::size_t>(0, ready.size() - 1)(rng);
    const std::size_t x = ready[at];
    ready.erase(ready.begin() + static_cast<std::ptrdiff_t>(at));
    order.push_back(x);
    for (const std::size_t s : problem.successors(x))
      if (--remaining[s] == 0) ready.push_back(s);
  }
  return order;
}

}  // namespace kel_codegen::exchange::test_support
