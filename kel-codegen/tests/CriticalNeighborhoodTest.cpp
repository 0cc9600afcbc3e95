// The critical-neighbourhood repair: quick exits, the critical path and its
// per-tile neighbourhood, the priority ladder as seen in the orders it
// produces, the timing model's arithmetic limits, the broader mode's visit
// budget and the two debug events, and, over generated phases, that every
// order it returns is a deterministic topological permutation that
// materialises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include "PhaseGenerator.h"
#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/TransferScheduler.h"
#include "kel_codegen/exchange/order/CriticalNeighborhood.h"
#include "kel_codegen/exchange/order/RepairState.h"
#include "kel_runtime/Log.h"
#include "kel_runtime/testing/LogCapture.h"

namespace {

using namespace kel_codegen::exchange;
using namespace kel_codegen::exchange::order;
namespace ex = kel_exchange;

/// A Word32 transfer built without the conversion checks, so that tests can
/// reach the timing model's arithmetic limits.
PendingTransfer transfer(std::uint16_t source, std::vector<PendingDestination> destinations, std::uint32_t words,
                         std::uint32_t source_address = 0) {
  PendingTransfer t;
  t.source = source;
  t.destinations = std::move(destinations);
  t.source_addresses = {source_address};
  t.words = words;
  if (words <= kMaxTransferWords) t.refresh_source_elements();
  return t;
}

/// Placements in which `path` is the critical chain (each entry's critical
/// predecessor is the one before it, the last finishes latest) and every
/// other transfer finishes early without a predecessor.
std::vector<std::optional<TransferPlacement>> along_path(std::size_t transfers, std::vector<std::size_t> path) {
  std::vector<std::optional<TransferPlacement>> placements(transfers, TransferPlacement{std::nullopt, 1});
  for (std::size_t k = 0; k < path.size(); ++k) {
    placements[path[k]] = TransferPlacement{k == 0 ? std::nullopt : std::optional<std::size_t>(path[k - 1]),
                                            static_cast<std::uint32_t>(100 + k)};
  }
  return placements;
}

std::vector<std::size_t> index_order(std::size_t transfers) {
  std::vector<std::size_t> order(transfers);
  for (std::size_t i = 0; i < transfers; ++i) order[i] = i;
  return order;
}

/// A current schedule holding only what the repair reads: the order and the
/// placements' finish cycles and critical predecessors.
MaterializedSchedule current_schedule(std::uint16_t tile_count, std::span<const PendingTransfer> pending,
                                      std::vector<std::size_t> order,
                                      std::vector<std::optional<TransferPlacement>> placements) {
  MaterializedSchedule schedule = MaterializedSchedule::create(tile_count, pending);
  schedule.order = std::move(order);
  schedule.placements = std::move(placements);
  return schedule;
}

/// `count` one-word transfers into tile 0 from `sources` source tiles (tiles
/// 1..sources, round robin), at distinct addresses, so there are no
/// dependencies but every placement moves the shared receiver's timing.
std::vector<PendingTransfer> hub_transfers(std::uint16_t sources, std::size_t count) {
  std::vector<PendingTransfer> pending;
  for (std::size_t i = 0; i < count; ++i)
    pending.push_back(
        transfer(static_cast<std::uint16_t>(1 + i % sources), {{0, static_cast<std::uint32_t>(4 * i)}}, 1));
  return pending;
}

/// Checks that `order` holds every transfer once, each after its predecessors.
::testing::AssertionResult is_topological_permutation(const SchedulingProblem& problem,
                                                      const std::vector<std::size_t>& order) {
  if (order.size() != problem.transfer_count())
    return ::testing::AssertionFailure() << "order has " << order.size() << " entries";
  std::vector<bool> placed(order.size(), false);
  for (const std::size_t t : order) {
    if (t >= order.size() || placed[t]) return ::testing::AssertionFailure() << "transfer " << t << " out of place";
    for (const std::size_t p : problem.predecessors(t))
      if (!placed[p]) return ::testing::AssertionFailure() << "transfer " << t << " before its predecessor " << p;
    placed[t] = true;
  }
  return ::testing::AssertionSuccess();
}

std::size_t position_in(const std::vector<std::size_t>& order, std::size_t transfer) {
  return static_cast<std::size_t>(std::find(order.begin(), order.end(), transfer) - order.begin());
}

// ---- quick exits ------------------------------------------------------------

TEST(CriticalNeighborhoodOrder, PhasesOfAtMostOneTransferKeepTheirOrder) {
  for (const std::size_t count : {0u, 1u}) {
    SCOPED_TRACE(count);
    std::vector<PendingTransfer> pending;
    if (count == 1) pending.push_back(transfer(0, {{1, 0x1000}}, 16));
    const auto problem = SchedulingProblem::create(pending, 2);
    const auto config = *receive_configuration(pending, 2);
    const auto topology = kel_codegen::exchange::phase_topology(2).value();
    auto greedy =
        materialize_greedy_schedule_impl(topology, problem, config.receive_bases, config.receive_counts, false);
    ASSERT_TRUE(greedy.has_value());
    for (const bool local : {false, true}) {
      const auto order = critical_neighborhood_order(problem, *greedy, local);
      ASSERT_TRUE(order.has_value());
      EXPECT_EQ(*order, greedy->order);
    }
  }
}

// Transfer 0 runs alone on tiles 0 and 1; transfers 1 and 2 share source
// tile 2, so a real repair moves transfer 0 ahead of the delayed transfer 1.
TEST(CriticalNeighborhoodOrder, NeighbourhoodOfOneKeepsTheOrder) {
  const std::vector<PendingTransfer> pending = {
      transfer(0, {{1, 0x1000}}, 100),
      transfer(2, {{3, 0x1000}}, 8),
      transfer(2, {{4, 0x1000}}, 8, 0x100),
  };
  const auto problem = SchedulingProblem::create(pending, 5);
  const struct {
    const char* name;
    std::vector<std::size_t> critical_path;
    std::vector<std::size_t> expected;
  } cases[] = {
      {"critical transfer alone on its tiles", {0}, {2, 1, 0}},
      {"critical path reaching the shared tile", {1, 0}, {2, 0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto current = current_schedule(5, pending, {2, 1, 0}, along_path(3, c.critical_path));
    const auto order = critical_neighborhood_order(problem, current, false);
    ASSERT_TRUE(order.has_value());
    EXPECT_EQ(*order, c.expected);
  }
}

// ---- critical path and neighbourhood --------------------------------------

TEST(RepairState, CriticalPathFollowsCriticalPredecessors) {
  std::vector<PendingTransfer> pending;
  for (std::uint16_t i = 0; i < 8; ++i)
    pending.push_back(transfer(static_cast<std::uint16_t>(2 * i), {{static_cast<std::uint16_t>(2 * i + 1), 0}}, 4));
  const auto problem = SchedulingProblem::create(pending, 16);
  using Placements = std::vector<std::optional<TransferPlacement>>;
  const auto placed = [](std::uint32_t finish, std::optional<std::size_t> predecessor = std::nullopt) {
    return std::optional<TransferPlacement>(TransferPlacement{predecessor, finish});
  };
  const struct {
    const char* name;
    Placements placements;
    std::vector<std::size_t> critical;
  } cases[] = {
      {"chain back to a transfer without predecessor",
       {placed(5), placed(9, 0), placed(1), placed(2), placed(30, 1), placed(3), placed(4), placed(6)},
       {0, 1, 4}},
      {"equal latest finishes start from the higher index",
       {placed(1), placed(1), placed(1), placed(50, 1), placed(1), placed(1), placed(1), placed(50)},
       {7}},
      {"stops after marking a transfer without placement",
       {placed(1), placed(1), std::nullopt, placed(9, 2), placed(1), placed(1), placed(1), placed(1)},
       {2, 3}},
      {"stops on reaching a marked transfer",
       {placed(1), placed(8, 6), placed(1), placed(1), placed(1), placed(1), placed(7, 1), placed(1)},
       {1, 6}},
      {"nothing placed", Placements(8), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto current = current_schedule(16, pending, index_order(8), c.placements);
    const RepairState state = RepairState::create(problem, current);
    std::vector<std::size_t> critical;
    for (std::size_t t = 0; t < 8; ++t)
      if (state.critical[t]) critical.push_back(t);
    EXPECT_EQ(critical, c.critical);
  }
}

// Tile 0 carries transfers 0..9 (k = 10, window 3) interleaved in the current
// order with six transfers elsewhere (n = 16, so a window taken from n or from
// order positions would differ).
TEST(RepairState, NeighbourhoodIsAWindowOfEachTilesList) {
  std::vector<PendingTransfer> pending;
  for (std::uint16_t i = 0; i < 10; ++i) pending.push_back(transfer(0, {{static_cast<std::uint16_t>(1 + i), 0}}, 4));
  for (std::uint16_t i = 0; i < 6; ++i) pending.push_back(transfer(20, {{static_cast<std::uint16_t>(21 + i), 0}}, 4));
  const auto problem = SchedulingProblem::create(pending, 27);
  const std::vector<std::size_t> order = {10, 0, 1, 11, 2, 3, 12, 4, 5, 13, 6, 7, 14, 8, 9, 15};
  const struct {
    const char* name;
    std::vector<std::size_t> critical_path;
    std::vector<std::size_t> neighbourhood;
  } cases[] = {
      {"window around the middle", {5}, {2, 3, 4, 5, 6, 7, 8}},
      {"window clipped at the list's start", {1}, {0, 1, 2, 3, 4}},
      {"window clipped at the list's end", {9}, {6, 7, 8, 9}},
      // Transfer 3's window does not grow from transfer 0's flags.
      {"windows do not cascade", {0, 3}, {0, 1, 2, 3, 4, 5, 6}},
      // Tile 20's list holds only its own six transfers: window 2.
      {"each tile its own list", {12}, {10, 11, 12, 13, 14}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto current = current_schedule(27, pending, order, along_path(16, c.critical_path));
    const RepairState state = RepairState::create(problem, current);
    std::vector<std::size_t> flagged;
    for (std::size_t t = 0; t < 16; ++t)
      if (state.in_neighborhood[t]) flagged.push_back(t);
    EXPECT_EQ(flagged, c.neighbourhood);
    EXPECT_EQ(state.neighborhood_size(), c.neighbourhood.size());
    EXPECT_EQ(state.block_size, 4u);
  }
}

TEST(RepairState, IntegerSquareRootIsExact) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {0, 0},
      {1, 1},
      {3, 1},
      {4, 2},
      {15, 3},
      {16, 4},
      {10000, 100},
      {9999, 99},
      {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFull},
      {0xFFFFFFFE00000001ull, 0xFFFFFFFFull},
      {0xFFFFFFFE00000000ull, 0xFFFFFFFEull},
  };
  for (const auto& [value, root] : cases) EXPECT_EQ(integer_sqrt(value), root) << value;
}

// ---- priority ladder -----------------------------------------------------

// n = 4, blocks of two. Transfers 0 and 1 (block 0) share source tile 0 and 1
// has more endpoint work, so 0 waits until 1 ends; 2 and 3 (block 1) are free
// at once.
TEST(CriticalNeighborhoodOrder, LocalServesEarlierBlocksBroaderEarlierStarts) {
  const std::vector<PendingTransfer> pending = {
      transfer(0, {{1, 0x1000}}, 100, 0x0),
      transfer(0, {{2, 0x1000}}, 150, 0x4000),
      transfer(4, {{5, 0x1000}}, 10),
      transfer(6, {{7, 0x1000}}, 10),
  };
  const auto problem = SchedulingProblem::create(pending, 8);
  const auto current = current_schedule(8, pending, index_order(4), along_path(4, {0, 1}));
  EXPECT_EQ(critical_neighborhood_order(problem, current, true), (std::vector<std::size_t>{1, 0, 2, 3}));
  EXPECT_EQ(critical_neighborhood_order(problem, current, false), (std::vector<std::size_t>{1, 2, 3, 0}));
}

// n = 9, blocks of three: A (0) writes tile 1 first (most endpoint work), then
// B (1) and C (2), both in block 0, receive on tile 1 with equal estimated
// starts; six independent fillers follow.
TEST(CriticalNeighborhoodOrder, OpenReceiveStreamIsContinuedFirst) {
  const struct {
    const char* name;
    std::uint16_t c_source;  // 2: same group as B; 3: a group of its own
    std::uint32_t a_address;
    std::uint32_t c_address;
    bool c_first;
  } cases[] = {
      {"continuation in another group", 3, 0x1000, 0x1040, true},
      {"continuation behind the group's front", 2, 0x1000, 0x1040, true},
      {"no continuation, other group", 3, 0x1000, 0x3000, false},
      {"no continuation, same group", 2, 0x1000, 0x3000, false},
      {"stream end beyond u32 opens no stream", 3, 0xFFFFFFC0, 0x0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<PendingTransfer> pending = {
        transfer(0, {{1, c.a_address}}, 16),
        transfer(2, {{1, 0x2000}}, 8),
        transfer(c.c_source, {{1, c.c_address}}, 8, 0x100),
    };
    for (std::uint16_t k = 0; k < 6; ++k)
      pending.push_back(
          transfer(static_cast<std::uint16_t>(4 + 2 * k), {{static_cast<std::uint16_t>(5 + 2 * k), 0}}, 4));
    const auto problem = SchedulingProblem::create(pending, 16);
    const auto current = current_schedule(16, pending, index_order(9), along_path(9, {0, 1, 2}));
    for (const bool local : {false, true}) {
      SCOPED_TRACE(local ? "local" : "broader");
      const auto order = critical_neighborhood_order(problem, current, local);
      ASSERT_TRUE(order.has_value());
      ASSERT_TRUE(is_topological_permutation(problem, *order));
      EXPECT_EQ(order->front(), 0u);
      EXPECT_EQ(position_in(*order, 2) < position_in(*order, 1), c.c_first);
    }
  }
}

// B (3) reads on tile 1 the bytes A (0) writes there, so it becomes ready only
// once A is ordered; then its larger endpoint work puts it ahead of C (2) in
// their shared block.
TEST(CriticalNeighborhoodOrder, SuccessorJoinsOnceItsPredecessorIsOrdered) {
  const std::vector<PendingTransfer> pending = {
      transfer(0, {{1, 0x1000}}, 16),
      transfer(5, {{6, 0x1000}}, 8),
      transfer(3, {{4, 0x1000}}, 8),
      transfer(1, {{2, 0x2000}}, 64, 0x1000),
  };
  const auto problem = SchedulingProblem::create(pending, 7);
  ASSERT_EQ(std::vector<std::size_t>(problem.predecessors(3).begin(), problem.predecessors(3).end()),
            std::vector<std::size_t>{0});
  const auto current = current_schedule(7, pending, {0, 1, 2, 3}, along_path(4, {0, 3}));
  for (const bool local : {false, true})
    EXPECT_EQ(critical_neighborhood_order(problem, current, local), (std::vector<std::size_t>{0, 1, 3, 2})) << local;
}

// ---- arithmetic limits ----------------------------------------------------

TEST(CriticalNeighborhoodOrder, TimingModelOverflowReturnsTheCurrentOrder) {
  const struct {
    const char* name;
    std::vector<PendingTransfer> pending;
    std::vector<std::size_t> order;
    std::vector<std::size_t> critical_path;
  } cases[] = {
      // Without the limit the repair would move transfer 0 ahead of 1.
      {"byte length beyond u32",
       {transfer(0, {{1, 0}}, 0x40000000), transfer(2, {{3, 0}}, 8), transfer(2, {{4, 0}}, 8, 0x100)},
       {2, 1, 0},
       {1, 0}},
      // Five sends of 2^30 - 1 cycles from tile 0: the fifth ends beyond u32.
      {"finish beyond u32",
       {transfer(0, {{1, 0}}, 0x3FFFFFFF), transfer(0, {{2, 0}}, 0x3FFFFFFF), transfer(0, {{3, 0}}, 0x3FFFFFFF),
        transfer(0, {{4, 0}}, 0x3FFFFFFF), transfer(0, {{5, 0}}, 0x3FFFFFFF), transfer(6, {{7, 0}}, 4),
        transfer(6, {{8, 0}}, 4, 0x100)},
       {5, 6, 0, 1, 2, 3, 4},
       {0, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto problem = SchedulingProblem::create(c.pending, 9);
    const auto current = current_schedule(9, c.pending, c.order, along_path(c.pending.size(), c.critical_path));
    for (const bool local : {false, true}) {
      const auto order = critical_neighborhood_order(problem, current, local);
      ASSERT_TRUE(order.has_value());
      EXPECT_EQ(*order, c.order);
    }
  }
}

// ---- budget and events ----------------------------------------------------

TEST(CriticalNeighborhoodOrder, VisitBudgetScalesWithTransfers) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {0, 65536}, {8192, 65536}, {8193, 65544}, {10000, 80000}, {~std::size_t{0}, ~std::size_t{0}}};
  for (const auto& [transfers, budget] : cases) EXPECT_EQ(repair_visit_budget(transfers), budget) << transfers;
}

class RepairLogCapture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(log_.ok()); }
  void install(std::string_view filter) { log_.install(filter, /*json=*/true); }
  std::string output() { return log_.output(); }
  static std::string event(std::string_view fields) {
    return "\"fields\":{" + std::string(fields) + "},\"target\":\"kel_codegen::exchange::order\"}";
  }

  kel_runtime::testing::LogCapture log_;
};

// Two transfers into tile 2: the second one's entry goes stale when the first
// is placed, so it is popped twice: three visits.
TEST_F(RepairLogCapture, FinishedEventCountsEveryPop) {
  install("kel_codegen::exchange::order=debug");
  const std::vector<PendingTransfer> pending = {transfer(0, {{2, 0x1000}}, 10), transfer(1, {{2, 0x2000}}, 10)};
  const auto problem = SchedulingProblem::create(pending, 3);
  const auto current = current_schedule(3, pending, {0, 1}, along_path(2, {0, 1}));
  EXPECT_EQ(critical_neighborhood_order(problem, current, false), (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(critical_neighborhood_order(problem, current, true), (std::vector<std::size_t>{0, 1}));
  const std::string text = output();
  EXPECT_NE(text.find(event(R"("message":"finished exchange repair ordering","transfers":2,"visits":3,"local":false)")),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(event(R"("message":"finished exchange repair ordering","transfers":2,"visits":3,"local":true)")),
            std::string::npos)
      << text;
}

TEST_F(RepairLogCapture, QuickExitsAndInfoFilterLogNothing) {
  install("kel_codegen::exchange::order=debug");
  {
    // A critical path of one transfer on tiles that carry nothing else.
    const std::vector<PendingTransfer> apart = {transfer(0, {{1, 0x1000}}, 10), transfer(2, {{3, 0x2000}}, 10)};
    const auto problem = SchedulingProblem::create(apart, 4);
    const auto lone = current_schedule(4, apart, {0, 1}, along_path(2, {0}));
    EXPECT_EQ(critical_neighborhood_order(problem, lone, false), (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(output(), "");
  }
  kel_runtime::reset_tracing_for_tests();
  install("kel_codegen::exchange::order=info");
  const std::vector<PendingTransfer> pending = {transfer(0, {{2, 0x1000}}, 10), transfer(1, {{2, 0x2000}}, 10)};
  const auto problem = SchedulingProblem::create(pending, 3);
  const auto current = current_schedule(3, pending, {0, 1}, along_path(2, {0, 1}));
  EXPECT_TRUE(critical_neighborhood_order(problem, current, false).has_value());
  EXPECT_EQ(output(), "");
}

// Every placement into the hub tile makes every other group's queue entry
// stale, so the broader repair's pops grow with the square of the transfers.
TEST_F(RepairLogCapture, BroaderRepairGivesUpBeyondItsBudget) {
  install("kel_codegen::exchange::order=debug");
  const struct {
    std::uint16_t sources;
    std::size_t transfers;
    std::size_t visits;
  } cases[] = {
      {500, 500, 65537},    // the floor of 65536 pops
      {200, 10000, 80001},  // 8 pops per transfer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.transfers);
    const auto pending = hub_transfers(c.sources, c.transfers);
    const std::uint16_t tiles = static_cast<std::uint16_t>(c.sources + 1);
    const auto problem = SchedulingProblem::create(pending, tiles);
    const auto current = current_schedule(tiles, pending, index_order(c.transfers), along_path(c.transfers, {0, 1}));
    EXPECT_FALSE(critical_neighborhood_order(problem, current, false).has_value());
    const std::string text = output();
    EXPECT_NE(text.find(event(R"("message":"broader exchange repair reached its queue-work budget","transfers":)" +
                              std::to_string(c.transfers) + ",\"visits\":" + std::to_string(c.visits))),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("finished exchange repair ordering"), std::string::npos);
  }

  // The local repair of the same kind of phase has no budget and finishes.
  const auto pending = hub_transfers(500, 500);
  const auto problem = SchedulingProblem::create(pending, 501);
  const auto current = current_schedule(501, pending, index_order(500), along_path(500, {0, 1}));
  const auto order = critical_neighborhood_order(problem, current, true);
  ASSERT_TRUE(order.has_value());
  EXPECT_TRUE(is_topological_permutation(problem, *order));
  EXPECT_NE(output().find(R"("transfers":500,"visits":)"), std::string::npos);
  EXPECT_NE(output().find(R"("local":true},"target":"kel_codegen::exchange::order")"), std::string::npos);
}

// ---- generated phases -----------------------------------------------------

// Repeated passes as the optimiser runs them: every repaired order, in both
// modes, is deterministic, a topological permutation and materialises; a
// local order never returns to an earlier block of the current order, and a
// candidate is kept only when its horizon is shorter.
TEST(CriticalNeighborhoodProperty, RepairedOrdersMaterialize) {
  std::mt19937 rng(7411);
  std::size_t improvements = 0;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    const auto phase = test_support::generate_phase(rng, 24, 60);
    const auto topology = kel_codegen::exchange::phase_topology(phase.tile_count).value();
    const auto problem = SchedulingProblem::create(phase.pending, phase.tile_count);
    const auto config = *receive_configuration(phase.pending, phase.tile_count);
    auto greedy =
        materialize_greedy_schedule_impl(topology, problem, config.receive_bases, config.receive_counts, true);
    ASSERT_TRUE(greedy.has_value()) << greedy.error().message();
    MaterializedSchedule best = std::move(*greedy);

    for (int pass = 0; pass < 4; ++pass) {
      bool improved = false;
      for (const bool local : {false, true}) {
        SCOPED_TRACE(local ? "local" : "broader");
        const auto order = critical_neighborhood_order(problem, best, local);
        ASSERT_TRUE(order.has_value()) << "small phases stay within the budget";
        ASSERT_TRUE(is_topological_permutation(problem, *order));
        EXPECT_EQ(critical_neighborhood_order(problem, best, local), order);
        if (local && !order->empty()) {
          const std::size_t block_size = integer_sqrt(order->size());
          std::vector<std::size_t> position(order->size());
          for (std::size_t p = 0; p < best.order.size(); ++p) position[best.order[p]] = p;
          for (std::size_t i = 1; i < order->size(); ++i)
            EXPECT_LE(position[(*order)[i - 1]] / block_size, position[(*order)[i]] / block_size) << i;
        }
        auto candidate =
            materialize_schedule_order(topology, problem, config.receive_bases, config.receive_counts, *order, true);
        ASSERT_TRUE(candidate.has_value()) << candidate.error().message();
        EXPECT_EQ(candidate->order, *order);
        if (!improved && candidate->horizon < best.horizon) {
          best = std::move(*candidate);
          improved = true;
          ++improvements;
        }
      }
      if (!improved) break;
    }
  }
  // The generated phases are not all optimal already.
  EXPECT_GT(improvements, 0u);
}

}  // namespace
