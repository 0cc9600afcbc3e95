// Properties of materialisation over generated phases: greedy and random
// topological orders place every transfer, programs finish and decode to
// their horizons, no tile overlaps its own sends or receives, and the same
// input gives the same programs.
#include <gtest/gtest.h>

#include <random>

#include "PhaseGenerator.h"
#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/TransferScheduler.h"
#include "kel_exchange/diagnostic/PlanProgramDiagnostic.h"

namespace {

using namespace kel_codegen::exchange;
namespace ex = kel_exchange;

using test_support::random_topological_order;

/// Checks a complete schedule and returns its programs.
ex::PhasePrograms check_schedule(const MaterializedSchedule& schedule, std::size_t transfers) {
  EXPECT_EQ(schedule.order.size(), transfers);
  for (const auto& placement : schedule.placements) EXPECT_TRUE(placement.has_value());
  EXPECT_EQ(schedule.horizon, schedule.builder.event_cycles());
  for (const auto& tile : schedule.activities) {
    for (const ExchangeActivity& a : tile) {
      EXPECT_LE(a.start, a.end);
      EXPECT_LE(a.end, schedule.horizon);
      EXPECT_LE(a.memory_end, schedule.horizon);
      EXPECT_GE(schedule.placements[a.transfer]->finish, a.kind == ExchangeActivityKind::Send ? a.end : 0);
    }
    for (std::size_t i = 0; i < tile.size(); ++i)
      for (std::size_t j = i + 1; j < tile.size(); ++j) {
        const ExchangeActivity& a = tile[i];
        const ExchangeActivity& b = tile[j];
        if (a.kind != b.kind || a.kind == ExchangeActivityKind::PartnerBusy) continue;
        EXPECT_TRUE(a.end <= b.start || b.end <= a.start)
            << "transfers " << a.transfer << " and " << b.transfer << " overlap on one tile";
      }
  }
  auto programs = schedule.builder.finish();
  EXPECT_TRUE(programs.has_value()) << programs.error().message();
  if (!programs) return {};
  for (std::size_t t = 0; t < programs->programs.size(); ++t) {
    if (!programs->programs[t]) continue;
    const auto decoded = ex::diagnostic::diagnose_plan_program(std::span<const std::uint32_t>(*programs->programs[t]));
    EXPECT_TRUE(decoded.has_value());
    if (decoded) {
      EXPECT_EQ(decoded->end_cycle, programs->tile_event_cycles[t]);
    }
  }
  return std::move(*programs);
}

TEST(MaterializationProperty, GeneratedPhasesMaterializeAndValidate) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const auto phase = test_support::generate_phase(rng, 24, 60);
    const auto topology = kel_codegen::exchange::phase_topology(phase.tile_count).value();
    const auto problem = SchedulingProblem::create(phase.pending, phase.tile_count);
    const auto config = *receive_configuration(phase.pending, phase.tile_count);

    auto greedy =
        materialize_greedy_schedule_impl(topology, problem, config.receive_bases, config.receive_counts, true);
    ASSERT_TRUE(greedy.has_value()) << greedy.error().message();
    const auto programs = check_schedule(*greedy, phase.pending.size());

    // The same input twice gives the same programs.
    auto again = materialize_greedy_schedule_impl(topology, problem, config.receive_bases, config.receive_counts, true);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->order, greedy->order);
    EXPECT_EQ(again->builder.finish()->programs, programs.programs);

    // Without incremental validation only a paired carrier's alignment may
    // still fail at the end.
    auto deferred =
        materialize_greedy_schedule_impl(topology, problem, config.receive_bases, config.receive_counts, false);
    ASSERT_TRUE(deferred.has_value()) << deferred.error().message();
    if (auto finished = deferred->builder.finish(); !finished) {
      EXPECT_EQ(finished.error().reason(), "SENDPICP instruction alignment");
    }

    const auto order = random_topological_order(problem, rng);
    auto ordered =
        materialize_schedule_order(topology, problem, config.receive_bases, config.receive_counts, order, true);
    ASSERT_TRUE(ordered.has_value()) << ordered.error().message();
    EXPECT_EQ(ordered->order, order);
    check_schedule(*ordered, phase.pending.size());
  }
}

}  // namespace
