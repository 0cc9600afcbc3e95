// Placing transfers: the validation budget, order checks, the order of the
// per-transfer checks, receiver address patches, memory hazard delays,
// critical predecessors, readiness and activities, and the bookkeeping
// invariants of complete materialisations of generated phases.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "PhaseGenerator.h"
#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"

namespace {

using namespace kel_codegen::exchange;
namespace ex = kel_exchange;

constexpr auto kWord = ExchangeItemWidth::Word32;
constexpr auto kPaired = ExchangeItemWidth::Paired64;
constexpr std::uint64_t kBudgetFloor = std::uint64_t{1} << 29;

using test_support::convert;

/// One phase on a prefix of the R817 board, ready to append or materialise.
class Phase {
 public:
  Phase(std::uint16_t tiles, std::vector<ExchangeScheduleTransfer> transfers)
      : tiles_(tiles),
        topology_(kel_codegen::exchange::phase_topology(tiles).value()),
        pending_(convert(tiles, std::move(transfers))) {
    reconfigure();
  }

  /// Edits a converted transfer (to reach checks that conversion guards).
  void edit(std::size_t x, const std::function<void(PendingTransfer&)>& change) {
    change(pending_[x]);
    reconfigure();
  }

  MaterializedSchedule empty() const { return MaterializedSchedule::create(tiles_, pending_); }

  std::expected<std::uint32_t, ExchangeLoweringError> append(MaterializedSchedule& schedule, std::size_t x,
                                                             std::uint32_t ready, std::vector<TileFrontier>& frontier,
                                                             bool validate = true) const {
    return schedule.append(topology_, pending_, config_.receive_bases, config_.receive_counts, x, ready, validate,
                           frontier);
  }

  std::expected<MaterializedSchedule, ExchangeLoweringError> materialize(std::span<const std::size_t> order) const {
    const SchedulingProblem problem = SchedulingProblem::create(pending_, tiles_);
    return materialize_schedule_order(topology_, problem, config_.receive_bases, config_.receive_counts, order, true);
  }

  std::vector<TileFrontier> frontier() const { return std::vector<TileFrontier>(tiles_); }
  const std::vector<PendingTransfer>& pending() const { return pending_; }
  std::uint16_t tiles() const { return tiles_; }

 private:
  void reconfigure() {
    // Computed by hand so that edited transfers need not pass validation.
    config_.receive_counts.assign(tiles_, 0);
    config_.receive_bases.assign(tiles_, 0);
    for (const PendingTransfer& t : pending_)
      for (const PendingDestination& d : t.destinations)
        if (d.tile < tiles_) ++config_.receive_counts[d.tile];
    for (const PendingTransfer& t : pending_)
      if (t.destinations.size() == 1 && t.destinations[0].tile < tiles_ &&
          config_.receive_counts[t.destinations[0].tile] == 1)
        config_.receive_bases[t.destinations[0].tile] = t.destinations[0].address;
  }

  std::uint16_t tiles_;
  ex::Topology topology_;
  std::vector<PendingTransfer> pending_;
  ReceiveConfiguration config_;
};

const ExchangeActivity* find_activity(const MaterializedSchedule& schedule, std::uint16_t tile, std::size_t x,
                                      ExchangeActivityKind kind) {
  for (const ExchangeActivity& a : schedule.activities[tile])
    if (a.transfer == x && a.kind == kind) return &a;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Validation budget

TEST(MaterializationBudget, FourTimesPerTileSendReceiveProductsWithAFloor) {
  struct Case {
    const char* name;
    std::size_t copies;
    std::vector<ExchangeScheduleDestination> destinations;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"empty phase", 0, {{1, 0}}, kBudgetFloor},
      // Tile 0: s = 2, r = 0; tile 1: s = 0, r = 2: 4 x (2 x 3 + 2 x 7) = 80.
      {"two transfers 0 to 1", 2, {{1, 0}}, kBudgetFloor},
      // 4 x (7000 x 7001 + 7000 x 21001) = 784056000.
      {"7000 transfers 0 to 1", 7000, {{1, 0}}, 784056000},
      // 4 x (N (N + 1) + 2 N (3N + 1)) = 28 N^2 + 12 N for N = 5000.
      {"5000 multicasts 0 to 1 and 2", 5000, {{1, 0}, {2, 0}}, 700060000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<ExchangeScheduleTransfer> transfers(c.copies, {0, {0x0}, c.destinations, 1, kWord});
    const std::vector<PendingTransfer> pending = convert(3, transfers);
    EXPECT_EQ(materialization_budget(3, pending), c.expected);
    const MaterializedSchedule schedule = MaterializedSchedule::create(3, pending);
    EXPECT_EQ(schedule.builder.remaining_budget(), c.expected);
    EXPECT_EQ(schedule.placements.size(), c.copies);
    EXPECT_EQ(schedule.tile_ready.size(), 3u);
    EXPECT_EQ(schedule.horizon, 0u);
  }
}

// ---------------------------------------------------------------------------
// Order checks

// Transfer 1 reads what transfer 0 writes on tile 1; transfer 2 is free.
Phase chain_phase() {
  return Phase(
      4, {{0, {0x0}, {{1, 0x0}}, 8, kWord}, {1, {0x0}, {{2, 0x0}}, 8, kWord}, {2, {0x8000}, {{3, 0x0}}, 8, kWord}});
}

TEST(MaterializeScheduleOrder, RejectsOrdersThatAreNotTopologicalPermutations) {
  const Phase phase = chain_phase();
  const auto overflow = ExchangeLoweringError::overflow();
  const auto not_topological = ExchangeLoweringError::invariant("exchange order is not a topological permutation");
  struct Case {
    std::vector<std::size_t> order;
    ExchangeLoweringError expected;
  };
  const Case cases[] = {
      {{}, overflow},
      {{0, 1}, overflow},
      {{0, 1, 2, 2}, overflow},
      {{0, 0, 1}, not_topological},
      {{0, 2, 2}, not_topological},
      {{1, 0, 2}, not_topological},  // before its predecessor
      {{0, 1, 3}, not_topological},  // out of range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.order));
    const auto result = phase.materialize(c.order);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.expected) << result.error().message();
  }
  for (const std::vector<std::size_t>& order : {std::vector<std::size_t>{2, 0, 1}, {0, 2, 1}, {0, 1, 2}}) {
    const auto result = phase.materialize(order);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->order, order);
  }
}

TEST(MaterializeScheduleOrder, LengthIsCheckedBeforeAnyPlacement) {
  Phase phase = chain_phase();
  phase.edit(2, [](PendingTransfer& t) { t.destinations = {{2, 0x100}}; });  // now a loopback
  const std::size_t short_order[] = {2, 0};
  EXPECT_EQ(phase.materialize(short_order).error(), ExchangeLoweringError::overflow());
  const std::size_t full_order[] = {2, 0, 1};
  EXPECT_EQ(phase.materialize(full_order).error().text(),
            "multicast loopback requires separate source and destination memory elements");
}

// ---------------------------------------------------------------------------
// Checks of one append, in their order

struct AppendFailure {
  const char* name;
  ExchangeScheduleTransfer transfer;
  std::function<void(PendingTransfer&)> edit;
  ExchangeLoweringError expected;
};

const ExchangeLoweringError kLoopback =
    ExchangeLoweringError::invariant("multicast loopback requires separate source and destination memory elements");

std::vector<AppendFailure> append_failures() {
  const auto keep = [](PendingTransfer&) {};
  const ExchangeScheduleTransfer p2p{0, {0x0}, {{1, 0x4000}}, 8, kWord};
  const ExchangeScheduleTransfer multicast{0, {0x0, 0x8000}, {{1, 0x0}, {2, 0x0}}, 8, kWord};
  const ExchangeScheduleTransfer paired{0, {0x0}, {{2, 0x1000}, {3, 0x1000}}, 128, kPaired};
  return {
      {"point-to-point to itself", p2p, [](PendingTransfer& t) { t.destinations[0].tile = 0; }, kLoopback},
      {"multicast writing a source element", multicast,
       [](PendingTransfer& t) {
         t.destinations[1] = {0, 0x3FFC};
       },
       kLoopback},
      {"multicast writing the second iteration's element", multicast,
       [](PendingTransfer& t) {
         t.destinations[1] = {0, 0x8100};
       },
       kLoopback},
      {"paired multicast writing its own tile", paired,
       [](PendingTransfer& t) {
         t.destinations[1] = {0, 0x9000};
       },
       kLoopback},
      {"no words", p2p, [](PendingTransfer& t) { t.words = 0; }, ExchangeLoweringError::unaligned_payload()},
      {"no source elements", p2p, [](PendingTransfer& t) { t.source_elements.clear(); },
       ExchangeLoweringError::unaligned_payload()},
      {"paired 65 words", paired, [](PendingTransfer& t) { t.words = 65; }, ExchangeLoweringError::unaligned_payload()},
      {"empty payload before loopback", p2p,
       [](PendingTransfer& t) {
         t.destinations[0].tile = 0;
         t.words = 0;
       },
       ExchangeLoweringError::unaligned_payload()},
      {"loopback before odd paired payload", paired,
       [](PendingTransfer& t) {
         t.destinations = {{0, 0x9000}};
         t.words = 65;
       },
       kLoopback},
      {"destination 0x100000",
       {0, {0x0}, {{1, 0x100000}, {2, 0x0}}, 8, kWord},
       keep,
       ExchangeLoweringError(ex::ExchangeError::address(0x100000))},
      {"second destination 0x100000",
       {0, {0x0}, {{1, 0x0}, {2, 0x100000}}, 8, kWord},
       keep,
       ExchangeLoweringError(ex::ExchangeError::address(0x100000))},
      {"unaligned destination", multicast, [](PendingTransfer& t) { t.destinations[0].address = 0x1002; },
       ExchangeLoweringError(ex::ExchangeError::address(0x1002))},
      {"paired destination 0x100000",
       {0, {0x0}, {{2, 0x100000}, {3, 0x0}}, 128, kPaired},
       keep,
       ExchangeLoweringError(ex::ExchangeError::address(0x100000))},
  };
}

TEST(MaterializedScheduleAppend, FailsOnTheFirstBrokenRule) {
  for (const AppendFailure& c : append_failures()) {
    SCOPED_TRACE(c.name);
    Phase phase(8, {c.transfer});
    phase.edit(0, c.edit);
    MaterializedSchedule schedule = phase.empty();
    auto frontier = phase.frontier();
    const auto result = phase.append(schedule, 0, 0, frontier);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.expected) << result.error().message();
    EXPECT_TRUE(schedule.order.empty());
  }
}

TEST(MaterializedScheduleAppend, SingleDestinationOnAMulticastRouteHasItsAddressChecked) {
  // Tile 1 receives twice, so neither transfer takes the point-to-point route.
  const Phase phase(4, {{0, {0x0}, {{1, 0x100000}}, 8, kWord}, {2, {0x0}, {{1, 0x0}}, 8, kWord}});
  MaterializedSchedule schedule = phase.empty();
  auto frontier = phase.frontier();
  EXPECT_EQ(phase.append(schedule, 0, 0, frontier).error(),
            ExchangeLoweringError(ex::ExchangeError::address(0x100000)));
}

TEST(MaterializedScheduleAppend, MulticastMayWriteItsOwnTileInASeparateElement) {
  const Phase phase(4, {{0, {0x0}, {{1, 0x0}, {0, 0x8000}, {2, 0x0}}, 8, kWord}});
  const std::size_t order[] = {0};
  const auto schedule = phase.materialize(order);
  ASSERT_TRUE(schedule.has_value()) << schedule.error().message();
  EXPECT_NE(find_activity(*schedule, 0, 0, ExchangeActivityKind::Send), nullptr);
  const ExchangeActivity* own = find_activity(*schedule, 0, 0, ExchangeActivityKind::Receive);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->address, 0x8000u);
  EXPECT_FALSE(schedule->memory[0].reads.intervals({false, 0}).empty());
  EXPECT_FALSE(schedule->memory[0].writes.intervals({false, 2}).empty());
}

TEST(MaterializedScheduleAppend, ReceiverRowsPointAtTheDestinationAddresses) {
  struct Case {
    const char* name;
    ExchangeScheduleTransfer transfer;
  };
  const Case cases[] = {
      {"multicast", {2, {0x0}, {{0, 0x100}, {3, 0xFFFFC}, {5, 0x7FFF0}}, 4, kWord}},
      {"multicast of one destination", {2, {0x0}, {{3, 0x2468}}, 16, kWord}},
      {"paired", {0, {0x0}, {{2, 0x1000}, {3, 0x2008}}, 128, kPaired}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Phase phase(8, {c.transfer});
    MaterializedSchedule schedule = phase.empty();
    auto frontier = phase.frontier();
    // Without a receive base the single destination goes the multicast way.
    const std::vector<std::uint64_t> counts(8, 1);
    const std::vector<std::uint32_t> no_bases(8, 0);
    const auto finish = schedule.append(kel_codegen::exchange::phase_topology(8).value(), phase.pending(), no_bases,
                                        counts, 0, 0, true, frontier);
    ASSERT_TRUE(finish.has_value()) << finish.error().message();
    for (const ExchangeScheduleDestination& d : c.transfer.destinations) {
      const auto& state = schedule.builder.tiles()[d.tile].receive_state;
      ASSERT_TRUE(state.has_value());
      EXPECT_EQ(state->next_address, d.address + 4 * c.transfer.words) << "tile " << d.tile;
    }
  }
}

TEST(MaterializedScheduleAppendDeathTest, TransfersOutsideThePhaseAbort) {
  // Conversion never yields these; append stops instead of indexing past its tables.
  Phase phase(4, {{0, {0x0}, {{1, 0x0}}, 8, kWord}});
  EXPECT_DEATH(
      {
        MaterializedSchedule schedule = phase.empty();
        auto frontier = phase.frontier();
        (void)phase.append(schedule, 1, 0, frontier);
      },
      "transfer index inside the phase");
  phase.edit(0, [](PendingTransfer& t) { t.destinations = {{4, 0x0}}; });
  EXPECT_DEATH(
      {
        MaterializedSchedule schedule = phase.empty();
        auto frontier = phase.frontier();
        (void)phase.append(schedule, 0, 0, frontier);
      },
      "endpoint tile inside the phase");
}

// ---------------------------------------------------------------------------
// Memory hazards

TEST(MaterializedScheduleAppend, WriteIntoAnElementBeingSentFromWaitsForTheRead) {
  // Transfer 0 reads tile 0's element 0 for a long time; transfer 1 writes
  // other bytes of tile 0 (no dependency), in element 0 or element 2.
  for (const std::uint32_t address : {0x1000u, 0x8000u}) {
    SCOPED_TRACE(address);
    const Phase phase(4, {{0, {0x0}, {{1, 0x4000}}, 200, kWord}, {2, {0x0}, {{0, address}}, 8, kWord}});
    const std::size_t order[] = {0, 1};
    const auto schedule = phase.materialize(order);
    ASSERT_TRUE(schedule.has_value()) << schedule.error().message();
    const ExchangeActivity* read = find_activity(*schedule, 0, 0, ExchangeActivityKind::Send);
    const ExchangeActivity* write = find_activity(*schedule, 0, 1, ExchangeActivityKind::Receive);
    ASSERT_TRUE(read && write);
    if (address == 0x1000u) {
      EXPECT_EQ(write->start, read->memory_end);
    } else {
      EXPECT_LT(write->start, read->memory_end);
    }
  }
}

TEST(MaterializedScheduleAppend, SourceReadWaitsForAWriteIntoAnyIterationsElement) {
  // Transfer 0 writes tile 0 at 0x5000 (element 1); transfer 1's second Repeat
  // iteration reads 0x4000 (element 1, other bytes).
  for (const bool both_iterations : {true, false}) {
    SCOPED_TRACE(both_iterations);
    std::vector<std::uint32_t> sources{0x0};
    if (both_iterations) sources.push_back(0x4000);
    const Phase phase(4, {{2, {0x0}, {{0, 0x5000}}, 300, kWord}, {0, sources, {{1, 0x0}}, 200, kWord}});
    const std::size_t order[] = {0, 1};
    const auto schedule = phase.materialize(order);
    ASSERT_TRUE(schedule.has_value()) << schedule.error().message();
    const ExchangeActivity* write = find_activity(*schedule, 0, 0, ExchangeActivityKind::Receive);
    const ExchangeActivity* read = find_activity(*schedule, 0, 1, ExchangeActivityKind::Send);
    ASSERT_TRUE(read && write);
    if (both_iterations) {
      EXPECT_EQ(read->start, write->memory_end);
    } else {
      EXPECT_LT(read->start, write->memory_end);
    }
  }
}

// ---------------------------------------------------------------------------
// Critical predecessors, readiness and activities

struct CriticalCase {
  const char* name;
  std::vector<std::pair<std::uint16_t, std::uint32_t>> send_ready;
  std::vector<std::pair<std::uint16_t, std::uint32_t>> receive_ready;
  std::uint32_t ready;
  std::size_t expected;  ///< 100 + tile: last send; 200 + tile: last receive
};

void expect_critical(const ExchangeScheduleTransfer& transfer, const CriticalCase& c) {
  SCOPED_TRACE(c.name);
  const Phase phase(8, {transfer});
  MaterializedSchedule schedule = phase.empty();
  for (const auto& [tile, cycle] : c.send_ready) schedule.tile_ready[tile].send_ready = cycle;
  for (const auto& [tile, cycle] : c.receive_ready) schedule.tile_ready[tile].receive_ready = cycle;
  auto frontier = phase.frontier();
  for (std::size_t t = 0; t < frontier.size(); ++t) frontier[t] = {100 + t, 200 + t};
  const auto finish = phase.append(schedule, 0, c.ready, frontier);
  ASSERT_TRUE(finish.has_value()) << finish.error().message();
  ASSERT_TRUE(schedule.placements[0].has_value());
  EXPECT_EQ(schedule.placements[0]->critical_predecessor, c.expected);
}

TEST(MaterializedScheduleAppend, CriticalPredecessorOfAPairedTransfer) {
  // Source 0, partner 1, destinations 2 and 3.
  const ExchangeScheduleTransfer paired{0, {0x0}, {{2, 0x1000}, {3, 0x1000}}, 128, kPaired};
  const CriticalCase cases[] = {
      {"all idle: the smallest tile, the source", {}, {}, 0, 100},
      {"partner busiest", {{1, 50}}, {}, 0, 101},
      {"destinations tie: the smaller one", {}, {{2, 50}, {3, 50}}, 0, 202},
      {"latest destination", {}, {{2, 50}, {3, 60}}, 0, 203},
      {"ready beyond every tile: the source's last send", {{1, 20}}, {{2, 50}, {3, 60}}, 61, 100},
      {"ready equal to the latest tile", {}, {{2, 50}, {3, 60}}, 60, 203},
      {"partner and destination tie: the partner", {{1, 50}}, {{2, 50}}, 0, 101},
      {"source busiest", {{0, 70}}, {{3, 60}}, 0, 100},
      {"receive readiness of the source is not considered", {}, {{0, 90}, {2, 10}}, 0, 202},
  };
  for (const CriticalCase& c : cases) expect_critical(paired, c);
}

TEST(MaterializedScheduleAppend, CriticalPredecessorTiesGoToTheSmallerTileNotTheFirstListed) {
  const ExchangeScheduleTransfer multicast{2, {0x0}, {{3, 0x0}, {0, 0x0}}, 8, kWord};
  const CriticalCase cases[] = {
      {"all idle: the smallest tile, a destination", {}, {}, 0, 200},
      {"all tie at 40", {{2, 40}}, {{0, 40}, {3, 40}}, 0, 200},
      {"first listed destination", {}, {{3, 40}}, 0, 203},
      {"idle tiles, later ready", {}, {}, 5, 102},
  };
  for (const CriticalCase& c : cases) expect_critical(multicast, c);
}

TEST(MaterializedScheduleAppend, CriticalPredecessorAfterADependencyIsTheSourcesLastSend) {
  // Transfer 0 is tile 1's earlier send; transfer 1 fills tile 1 and transfer
  // 2 sends that data on, so it is ready only when transfer 1 has finished:
  // later than any tile of transfer 2 becomes free.
  const Phase phase(
      4, {{1, {0x8000}, {{3, 0x0}}, 4, kWord}, {0, {0x0}, {{1, 0x0}}, 100, kWord}, {1, {0x0}, {{2, 0x0}}, 4, kWord}});
  const std::size_t order[] = {0, 1, 2};
  const auto schedule = phase.materialize(order);
  ASSERT_TRUE(schedule.has_value()) << schedule.error().message();
  EXPECT_EQ(schedule->placements[0]->critical_predecessor, std::nullopt);
  EXPECT_EQ(schedule->placements[1]->critical_predecessor, std::nullopt);
  EXPECT_EQ(schedule->placements[2]->critical_predecessor, 0u);
}

TEST(MaterializedScheduleAppend, RecordsActivitiesAndAssignsReadiness) {
  const Phase phase(8, {{0, {0x100, 0x8000}, {{2, 0x1000}, {3, 0x2000}}, 128, kPaired}});
  MaterializedSchedule schedule = phase.empty();
  // Readiness is assigned, not raised: earlier values larger than the new
  // ones are overwritten.
  for (TileReady& r : schedule.tile_ready) r = {100000, 100000};
  auto frontier = phase.frontier();
  frontier[4] = {7, 8};
  const auto finish = phase.append(schedule, 0, 0, frontier);
  ASSERT_TRUE(finish.has_value()) << finish.error().message();

  const ExchangeActivity* send = find_activity(schedule, 0, 0, ExchangeActivityKind::Send);
  const ExchangeActivity* partner = find_activity(schedule, 1, 0, ExchangeActivityKind::PartnerBusy);
  const ExchangeActivity* first = find_activity(schedule, 2, 0, ExchangeActivityKind::Receive);
  const ExchangeActivity* second = find_activity(schedule, 3, 0, ExchangeActivityKind::Receive);
  ASSERT_TRUE(send && partner && first && second);
  EXPECT_EQ(schedule.activities[0].size(), 1u);
  EXPECT_EQ(schedule.activities[1].size(), 1u);

  EXPECT_EQ(send->address, 0x100u);
  EXPECT_EQ(partner->address, 0x100u);
  EXPECT_EQ(first->address, 0x1000u);
  EXPECT_EQ(second->address, 0x2000u);
  for (const ExchangeActivity* a : {send, partner, first, second}) {
    EXPECT_EQ(a->words, 128u);
    EXPECT_EQ(a->destinations, 2u);
    EXPECT_EQ(a->width, kPaired);
    EXPECT_LE(a->start, a->end);
    EXPECT_LE(a->end, a->memory_end);
  }
  EXPECT_LT(send->end, first->end);
  // The partner is held from the send's start until the sender's horizon.
  EXPECT_EQ(partner->start, send->start);
  EXPECT_EQ(partner->end, send->memory_end);
  EXPECT_EQ(partner->memory_end, send->memory_end);

  EXPECT_EQ(*finish, std::max({send->end, first->end, second->end}));
  EXPECT_EQ(schedule.placements[0]->finish, *finish);
  EXPECT_EQ(schedule.order, std::vector<std::size_t>{0});

  EXPECT_EQ(schedule.tile_ready[0].send_ready, send->end);
  EXPECT_EQ(schedule.tile_ready[1].send_ready, send->memory_end);
  EXPECT_EQ(schedule.tile_ready[2].receive_ready, first->end);
  EXPECT_EQ(schedule.tile_ready[3].receive_ready, second->end);
  for (const std::uint16_t t : {0, 1}) EXPECT_EQ(schedule.tile_ready[t].receive_ready, 100000u);
  for (const std::uint16_t t : {2, 3}) EXPECT_EQ(schedule.tile_ready[t].send_ready, 100000u);

  EXPECT_EQ(frontier[0].last_send, 0u);
  EXPECT_EQ(frontier[1].last_send, 0u);
  EXPECT_EQ(frontier[0].last_receive, std::nullopt);
  EXPECT_EQ(frontier[2].last_receive, 0u);
  EXPECT_EQ(frontier[3].last_receive, 0u);
  EXPECT_EQ(frontier[2].last_send, std::nullopt);
  EXPECT_EQ(frontier[4].last_send, 7u);
  EXPECT_EQ(frontier[4].last_receive, 8u);
}

// ---------------------------------------------------------------------------
// Complete materialisations of generated phases

using test_support::random_topological_order;

bool shares_element(std::span<const ExchangeMemoryElement> elements, std::uint32_t address, std::uint32_t words) {
  return !for_each_memory_element(address, words, [&](ExchangeMemoryElement e) {
    return std::find(elements.begin(), elements.end(), e) == elements.end();
  });
}

void check_bookkeeping(const MaterializedSchedule& schedule, std::span<const PendingTransfer> pending) {
  // Horizon: the latest tile event horizon.
  std::uint32_t latest = 0;
  for (const auto& tile : schedule.builder.tiles()) latest = std::max(latest, tile.event_horizon);
  EXPECT_EQ(schedule.horizon, latest);

  // Finish: the later of the send end and every payload end.
  std::vector<std::uint32_t> finish(pending.size(), 0);
  for (const auto& tile : schedule.activities)
    for (const ExchangeActivity& a : tile)
      if (a.kind != ExchangeActivityKind::PartnerBusy) finish[a.transfer] = std::max(finish[a.transfer], a.end);
  std::vector<std::size_t> position(pending.size());
  for (std::size_t i = 0; i < schedule.order.size(); ++i) position[schedule.order[i]] = i;
  for (std::size_t x = 0; x < pending.size(); ++x) {
    ASSERT_TRUE(schedule.placements[x].has_value());
    EXPECT_EQ(schedule.placements[x]->finish, finish[x]) << "transfer " << x;
    // A critical predecessor was placed earlier and shares a tile.
    if (const auto p = schedule.placements[x]->critical_predecessor) {
      EXPECT_LT(position[*p], position[x]);
      bool shared = false;
      for (const std::uint16_t a : pending[x].tiles())
        for (const std::uint16_t b : pending[*p].tiles()) shared = shared || a == b;
      EXPECT_TRUE(shared) << "transfer " << x << " predecessor " << *p;
    }
  }

  for (std::size_t t = 0; t < schedule.activities.size(); ++t) {
    const auto& activities = schedule.activities[t];
    // Readiness is the last placement's, whatever came before.
    std::uint32_t send_ready = 0, receive_ready = 0;
    for (const ExchangeActivity& a : activities) {
      if (a.kind == ExchangeActivityKind::Send) send_ready = a.end;
      if (a.kind == ExchangeActivityKind::PartnerBusy) send_ready = a.memory_end;
      if (a.kind == ExchangeActivityKind::Receive) receive_ready = a.end;
    }
    EXPECT_EQ(schedule.tile_ready[t].send_ready, send_ready) << "tile " << t;
    EXPECT_EQ(schedule.tile_ready[t].receive_ready, receive_ready) << "tile " << t;

    // No element is written while a send reads it.
    for (const ExchangeActivity& read : activities) {
      if (read.kind != ExchangeActivityKind::Send) continue;
      for (const ExchangeActivity& write : activities) {
        if (write.kind != ExchangeActivityKind::Receive) continue;
        const bool overlap = read.start < write.memory_end && write.start < read.memory_end;
        if (overlap && shares_element(pending[read.transfer].source_elements, write.address, write.words))
          ADD_FAILURE() << "tile " << t << ": transfer " << write.transfer << " writes [" << write.start << ", "
                        << write.memory_end << ") while transfer " << read.transfer << " reads [" << read.start << ", "
                        << read.memory_end << ")";
      }
    }
  }
}

TEST(MaterializeScheduleOrder, GeneratedPhasesKeepTheirBookkeepingAndMemorySafety) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    const auto generated = test_support::generate_phase(rng, 16, 50);
    const auto topology = kel_codegen::exchange::phase_topology(generated.tile_count).value();
    const auto problem = SchedulingProblem::create(generated.pending, generated.tile_count);
    const auto config = *receive_configuration(generated.pending, generated.tile_count);
    const auto order = random_topological_order(problem, rng);
    const auto schedule =
        materialize_schedule_order(topology, problem, config.receive_bases, config.receive_counts, order, round % 2);
    if (!schedule && round % 2 == 0) {
      // Deferred encodability: only a paired carrier's alignment may fail.
      EXPECT_EQ(schedule.error().exchange_error().value_or(ex::ExchangeError::host_packet()).reason(),
                "SENDPICP instruction alignment");
      continue;
    }
    ASSERT_TRUE(schedule.has_value()) << schedule.error().message();
    EXPECT_EQ(schedule->order, order);
    // A returned schedule has proven that every tile program encodes.
    EXPECT_TRUE(schedule->builder.finish().has_value());
    check_bookkeeping(*schedule, generated.pending);
  }
}

}  // namespace
