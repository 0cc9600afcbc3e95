// Greedy list scheduling: the priority ladder, the refresh of stale
// priorities, ready groups, endpoint work, and agreement of the heap-based
// scheduler with a linear-scan model of the same rules on generated phases.
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <random>

#include "PhaseGenerator.h"
#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/TransferScheduler.h"

namespace {

using namespace kel_codegen::exchange;
namespace ex = kel_exchange;

constexpr auto kWord = ExchangeItemWidth::Word32;
constexpr auto kPaired = ExchangeItemWidth::Paired64;

using test_support::convert;

std::expected<MaterializedSchedule, ExchangeLoweringError> greedy(std::uint16_t tiles,
                                                                  std::span<const PendingTransfer> pending,
                                                                  bool validate = true) {
  const SchedulingProblem problem = SchedulingProblem::create(pending, tiles);
  const auto config = *receive_configuration(pending, tiles);
  return materialize_greedy_schedule_impl(kel_codegen::exchange::phase_topology(tiles).value(), problem,
                                          config.receive_bases, config.receive_counts, validate);
}

TEST(ReadyTransfer, PriorityLadder) {
  const ReadyTransfer base{100, 50, 2, 30, 7, 9};
  const auto with = [&](auto change) {
    ReadyTransfer r = base;
    change(r);
    return r;
  };
  struct Case {
    const char* name;
    ReadyTransfer first;
    ReadyTransfer second;
  };
  const Case cases[] = {
      {"earlier ready", with([](auto& r) { r.ready = 99; }), base},
      {"earlier ready beats more work", with([](auto& r) { r.ready = 99; }),
       with([](auto& r) { r.endpoint_work = 1000; })},
      {"more endpoint work", with([](auto& r) { r.endpoint_work = 51; }), base},
      {"more endpoint work beats more destinations", with([](auto& r) { r.endpoint_work = 51; }),
       with([](auto& r) { r.destinations = 9; })},
      {"more destinations", with([](auto& r) { r.destinations = 3; }), base},
      {"more destinations beat more issue cycles", with([](auto& r) { r.destinations = 3; }),
       with([](auto& r) { r.issue_cycles = 900; })},
      {"more issue cycles", with([](auto& r) { r.issue_cycles = 31; }), base},
      {"more issue cycles beat a smaller source", with([](auto& r) { r.issue_cycles = 31; }),
       with([](auto& r) { r.source = 0; })},
      {"smaller source", with([](auto& r) { r.source = 6; }), base},
      {"smaller source beats a smaller index", with([](auto& r) { r.source = 6; }),
       with([](auto& r) { r.transfer = 0; })},
      {"smaller index", with([](auto& r) { r.transfer = 8; }), base},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(has_priority_over(c.first, c.second));
    EXPECT_FALSE(has_priority_over(c.second, c.first));
  }
  EXPECT_FALSE(has_priority_over(base, base));
}

TEST(ReadyTransfer, IssueCycles) {
  struct Case {
    std::uint32_t words;
    ExchangeItemWidth width;
    std::uint32_t expected;
  };
  for (const Case& c :
       {Case{5, kWord, 5}, Case{128, kPaired, 64}, Case{129, kPaired, 129}, Case{0, kWord, 0}, Case{0, kPaired, 0}}) {
    PendingTransfer t;
    t.words = c.words;
    t.width = c.width;
    EXPECT_EQ(issue_cycles(t), c.expected) << c.words;
  }
}

TEST(GreedySchedule, EmptyPhaseHasHorizonZero) {
  const auto schedule = greedy(4, {});
  ASSERT_TRUE(schedule.has_value());
  EXPECT_EQ(schedule->horizon, 0u);
  EXPECT_TRUE(schedule->order.empty());
  EXPECT_TRUE(schedule->placements.empty());
}

struct OrderCase {
  const char* name;
  std::uint16_t tiles;
  std::vector<ExchangeScheduleTransfer> transfers;
  std::vector<std::size_t> expected;
};

class GreedyOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(GreedyOrder, PlacesByPriority) {
  const OrderCase& c = GetParam();
  const auto pending = convert(c.tiles, c.transfers);
  const auto schedule = greedy(c.tiles, pending);
  ASSERT_TRUE(schedule.has_value()) << schedule.error().message();
  EXPECT_EQ(schedule->order, c.expected);
  EXPECT_EQ(schedule->horizon, schedule->builder.event_cycles());
}

INSTANTIATE_TEST_SUITE_P(
    Ladder, GreedyOrder,
    testing::Values(
        // Equal start and tile work, one destination and 8 words each.
        OrderCase{"smaller source", 4, {{2, {0x0}, {{3, 0x0}}, 8, kWord}, {0, {0x0}, {{1, 0x0}}, 8, kWord}}, {1, 0}},
        OrderCase{"smaller index", 4, {{0, {0x0}, {{1, 0x0}}, 8, kWord}, {0, {0x100}, {{2, 0x0}}, 8, kWord}}, {0, 1}},
        // Transfer 2 (ready only after 0) evens out the tile work: 32 each.
        OrderCase{
            "more issue cycles",
            4,
            {{0, {0x0}, {{1, 0x0}}, 8, kWord}, {2, {0x0}, {{3, 0x0}}, 16, kWord}, {1, {0x0}, {{0, 0x100}}, 8, kWord}},
            {1, 0, 2}},
        // Endpoint work 48 each; fewer issue cycles do not matter.
        OrderCase{"more destinations",
                  5,
                  {{0, {0x0}, {{1, 0x0}}, 24, kWord}, {2, {0x0}, {{3, 0x0}, {4, 0x0}}, 16, kWord}},
                  {1, 0}},
        OrderCase{"more endpoint work",
                  5,
                  {{0, {0x0}, {{1, 0x0}}, 30, kWord}, {2, {0x0}, {{3, 0x0}, {4, 0x0}}, 16, kWord}},
                  {0, 1}},
        // Transfer 1 outranks transfer 2 at the start, but once transfer 0
        // keeps tile 0 sending for hundreds of cycles, transfer 2 (idle tiles)
        // can start earlier.
        OrderCase{"busy source waits",
                  6,
                  {{0, {0x0}, {{1, 0x0}}, 470, kWord},
                   {0, {0x4000}, {{2, 0x0}}, 200, kWord},
                   {3, {0x0}, {{4, 0x0}}, 8, kWord}},
                  {0, 2, 1}},
        // Transfers 0 to 2 share their endpoints and are placed in their
        // group's order (more issue cycles, then index); transfer 3 slips in
        // while tile 0 is busy.
        OrderCase{"ready group",
                  4,
                  {{0, {0x0}, {{1, 0x0}}, 8, kWord},
                   {0, {0x100}, {{1, 0x100}}, 64, kWord},
                   {0, {0x200}, {{1, 0x200}}, 64, kWord},
                   {2, {0x0}, {{3, 0x0}}, 4, kWord}},
                  {1, 3, 2, 0}},
        // Transfer 1 outranks transfer 0 but overwrites what transfer 0 sends,
        // so it enters the heap only once transfer 0 is placed.
        OrderCase{"dependency", 4, {{1, {0x0}, {{2, 0x0}}, 8, kWord}, {0, {0x0}, {{1, 0x0}}, 64, kWord}}, {0, 1}}),
    [](const testing::TestParamInfo<OrderCase>& param) {
      std::string name = param.param.name;
      for (char& ch : name)
        if (ch == ' ') ch = '_';
      return name;
    });

TEST(TransferScheduler, EndpointWorkStaysFixedWithoutMulticasts) {
  const std::uint16_t tiles = 4;
  const auto pending = convert(
      tiles,
      {{0, {0x0}, {{1, 0x0}}, 8, kWord}, {1, {0x100}, {{2, 0x0}}, 16, kWord}, {2, {0x200}, {{3, 0x0}}, 24, kWord}});
  const SchedulingProblem problem = SchedulingProblem::create(pending, tiles);
  const auto config = *receive_configuration(pending, tiles);
  MaterializedSchedule schedule = MaterializedSchedule::create(tiles, pending);
  TransferScheduler scheduler(problem, schedule);
  std::vector<ReadyTransfer> before;
  for (std::size_t x = 0; x < pending.size(); ++x) before.push_back(scheduler.push_ready(x));
  // Tile work: 8, 24, 40, 24.
  EXPECT_EQ(before[0].endpoint_work, 32u);
  EXPECT_EQ(before[1].endpoint_work, 64u);
  EXPECT_EQ(before[2].endpoint_work, 64u);
  ASSERT_TRUE(scheduler.run(kel_codegen::exchange::phase_topology(tiles).value(), config.receive_bases,
                            config.receive_counts, true, schedule));
  for (std::size_t x = 0; x < pending.size(); ++x) {
    EXPECT_EQ(scheduler.push_ready(x).endpoint_work, before[x].endpoint_work);
    // A refresh recomputes the start but keeps the stored endpoint work.
    ReadyTransfer entry = before[x];
    entry.endpoint_work = 12345;
    EXPECT_TRUE(scheduler.refresh(entry));
    EXPECT_EQ(entry.endpoint_work, 12345u);
    EXPECT_GT(entry.ready, 0u);
    EXPECT_FALSE(scheduler.refresh(entry));
  }
}

TEST(TransferScheduler, EndpointWorkShrinksAsMulticastPhasesArePlaced) {
  const std::uint16_t tiles = 4;
  const auto pending =
      convert(tiles, {{0, {0x0}, {{1, 0x0}, {2, 0x0}}, 8, kWord}, {3, {0x0}, {{1, 0x100}}, 16, kWord}});
  const SchedulingProblem problem = SchedulingProblem::create(pending, tiles);
  const auto config = *receive_configuration(pending, tiles);
  MaterializedSchedule schedule = MaterializedSchedule::create(tiles, pending);
  TransferScheduler scheduler(problem, schedule);
  // Tile work: 8, 24, 8, 16.
  EXPECT_EQ(scheduler.push_ready(0).endpoint_work, 40u);
  EXPECT_EQ(scheduler.push_ready(1).endpoint_work, 40u);
  ASSERT_TRUE(scheduler.run(kel_codegen::exchange::phase_topology(tiles).value(), config.receive_bases,
                            config.receive_counts, true, schedule));
  for (std::size_t x = 0; x < pending.size(); ++x) {
    EXPECT_EQ(scheduler.push_ready(x).endpoint_work, 0u);
    ReadyTransfer entry = scheduler.push_ready(x);
    entry.endpoint_work = 12345;
    EXPECT_TRUE(scheduler.refresh(entry));
    EXPECT_EQ(entry.endpoint_work, 0u);
  }
}

// ---------------------------------------------------------------------------
// Linear-scan model: the same rules with the heap replaced by a search for
// the best entry, so that heap maintenance errors show up as different orders.

struct ModelRun {
  std::vector<std::size_t> order;
  std::size_t rebuilds = 0;
};

ModelRun model_greedy(const ex::Topology& topology, const SchedulingProblem& problem,
                      const ReceiveConfiguration& config, bool validate) {
  const auto pending = problem.pending();
  const std::size_t n = pending.size();
  MaterializedSchedule schedule = MaterializedSchedule::create(problem.tile_count(), pending);
  std::vector<TileFrontier> frontier(problem.tile_count());
  std::vector<std::uint64_t> tile_work(problem.tile_work().begin(), problem.tile_work().end());
  std::vector<std::size_t> remaining(n);
  std::vector<std::uint32_t> dependency_ready(n, 0);
  bool multicast = false;
  for (std::size_t x = 0; x < n; ++x) {
    remaining[x] = problem.predecessors(x).size();
    multicast = multicast || pending[x].destinations.size() >= 2;
  }
  const auto work = [&](std::size_t x) {
    std::uint64_t w = 0;
    for (const std::uint16_t t : pending[x].tiles()) w += tile_work[t];
    return w;
  };
  const auto entry = [&](std::size_t x) {
    return ReadyTransfer{dependency_ready[x],      work(x),           pending[x].destinations.size(),
                         issue_cycles(pending[x]), pending[x].source, x};
  };
  const auto current = [&](const ReadyTransfer& e) {
    const PendingTransfer& t = pending[e.transfer];
    std::uint32_t r = std::max(dependency_ready[e.transfer], schedule.tile_ready[t.source].send_ready);
    if (t.partner) r = std::max(r, schedule.tile_ready[*t.partner].send_ready);
    for (const PendingDestination& d : t.destinations) r = std::max(r, schedule.tile_ready[d.tile].receive_ready);
    ReadyTransfer fresh = e;
    fresh.ready = r;
    if (multicast) fresh.endpoint_work = work(e.transfer);
    return fresh;
  };
  const auto best = [](const std::vector<ReadyTransfer>& entries) {
    std::size_t at = 0;
    for (std::size_t i = 1; i < entries.size(); ++i)
      if (has_priority_over(entries[i], entries[at])) at = i;
    return at;
  };

  // Groups of initially ready transfers with identical endpoints.
  std::map<std::vector<int>, std::size_t> keys;
  std::vector<std::vector<ReadyTransfer>> groups;
  std::vector<std::optional<std::size_t>> group_of(n);
  for (std::size_t x = 0; x < n; ++x) {
    if (remaining[x] != 0) continue;
    std::vector<int> key{pending[x].source, pending[x].partner ? int{*pending[x].partner} : -1};
    for (const PendingDestination& d : pending[x].destinations) key.push_back(d.tile);
    const auto [it, inserted] = keys.try_emplace(key, groups.size());
    if (inserted) groups.emplace_back();
    groups[it->second].push_back(entry(x));
    group_of[x] = it->second;
  }
  std::vector<ReadyTransfer> heads;
  for (const auto& group : groups) heads.push_back(group[best(group)]);

  ModelRun run;
  std::size_t stale = 0;
  while (!heads.empty()) {
    const std::size_t top = best(heads);
    const ReadyTransfer fresh = current(heads[top]);
    if (fresh != heads[top]) {
      ++stale;
      if (heads.size() >= 128 && static_cast<std::size_t>(std::bit_width(heads.size()) - 1) * stale >= heads.size()) {
        for (ReadyTransfer& e : heads) e = current(e);
        ++run.rebuilds;
      } else {
        heads[top] = fresh;
      }
      continue;
    }
    const ReadyTransfer chosen = heads[top];
    heads.erase(heads.begin() + static_cast<std::ptrdiff_t>(top));
    if (const auto g = group_of[chosen.transfer]) {
      auto& group = groups[*g];
      group.erase(group.begin() + static_cast<std::ptrdiff_t>(best(group)));
      if (!group.empty()) {
        ReadyTransfer next = group[best(group)];
        next.ready = chosen.ready;
        heads.push_back(next);
      }
    }
    const std::size_t x = chosen.transfer;
    const auto finish = schedule.append(topology, pending, config.receive_bases, config.receive_counts, x,
                                        dependency_ready[x], validate, frontier);
    EXPECT_TRUE(finish.has_value());
    if (!finish) return run;
    stale = 0;
    run.order.push_back(x);
    if (multicast) {
      const std::uint32_t cycles = issue_cycles(pending[x]);
      for (const std::uint16_t t : pending[x].tiles()) tile_work[t] = tile_work[t] > cycles ? tile_work[t] - cycles : 0;
    }
    for (const std::size_t s : problem.successors(x)) {
      dependency_ready[s] = std::max(dependency_ready[s], *finish);
      if (--remaining[s] == 0) heads.push_back(entry(s));
    }
  }
  return run;
}

/// Many initially ready transfers (so the heap is large), repeated endpoint
/// sets (ready groups), multicasts, and some transfers that forward what an
/// earlier one wrote (dependencies).
std::vector<ExchangeScheduleTransfer> wide_phase(std::mt19937& rng, std::uint16_t tiles, std::size_t count) {
  const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  std::vector<ExchangeScheduleTransfer> transfers;
  for (std::size_t i = 0; i < count; ++i) {
    ExchangeScheduleTransfer t;
    t.width = kWord;
    t.words = pick(1, 32);
    const std::uint32_t destination = 0x10000 + static_cast<std::uint32_t>(i) * 0x80;
    if (!transfers.empty() && pick(0, 3) == 0) {
      // Same endpoints as an earlier transfer.
      const auto& earlier = transfers[pick(0, static_cast<std::uint32_t>(transfers.size() - 1))];
      t.source = earlier.source;
      for (const auto& d : earlier.destinations) t.destinations.push_back({d.tile, destination});
      t.source_addresses = {pick(0, 0xFFF) * 4};
    } else if (!transfers.empty() && pick(0, 1) == 0) {
      // Forward an earlier transfer's data from its first destination.
      const std::size_t j = pick(0, static_cast<std::uint32_t>(transfers.size() - 1));
      t.source = transfers[j].destinations[0].tile;
      t.source_addresses = {transfers[j].destinations[0].address};
      t.words = transfers[j].words;
      const auto target = static_cast<std::uint16_t>((t.source + pick(1, tiles - 1)) % tiles);
      t.destinations = {{target, destination}};
    } else {
      t.source = static_cast<std::uint16_t>(pick(0, tiles - 1));
      t.source_addresses = {pick(0, 0xFFF) * 4};
      std::vector<std::uint16_t> others;
      for (std::uint16_t d = 0; d < tiles; ++d)
        if (d != t.source) others.push_back(d);
      std::shuffle(others.begin(), others.end(), rng);
      const std::size_t fan = pick(0, 2) == 0 ? pick(2, 3) : 1;
      for (std::size_t k = 0; k < fan; ++k) t.destinations.push_back({others[k], destination});
    }
    transfers.push_back(std::move(t));
  }
  return transfers;
}

void expect_model_order(std::uint16_t tiles, std::span<const PendingTransfer> pending, bool validate,
                        std::size_t& rebuilds) {
  const auto topology = kel_codegen::exchange::phase_topology(tiles).value();
  const SchedulingProblem problem = SchedulingProblem::create(pending, tiles);
  const auto config = *receive_configuration(pending, tiles);
  const auto schedule =
      materialize_greedy_schedule_impl(topology, problem, config.receive_bases, config.receive_counts, validate);
  ASSERT_TRUE(schedule.has_value()) << schedule.error().message();
  const ModelRun model = model_greedy(topology, problem, config, validate);
  EXPECT_EQ(schedule->order, model.order);
  EXPECT_EQ(schedule->order.size(), pending.size());
  rebuilds += model.rebuilds;
}

TEST(GreedySchedule, AgreesWithALinearScanModelOnGeneratedPhases) {
  std::mt19937 rng(99);
  std::size_t rebuilds = 0;
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE(round);
    const auto phase = test_support::generate_phase(rng, 16, 60);
    expect_model_order(phase.tile_count, phase.pending, true, rebuilds);
  }
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    const std::uint16_t tiles = 40;
    const auto pending = convert(tiles, wide_phase(rng, tiles, 400));
    expect_model_order(tiles, pending, false, rebuilds);
  }
  // The wide phases are large enough for stale tops to force heap rebuilds.
  EXPECT_GT(rebuilds, 0u);
}

}  // namespace
