// Lowering whole phases: the optimiser's figures, the assembled phase, and
// properties over generated phases (they lower, validate and repeat exactly).
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"

#include <gtest/gtest.h>

#include <random>

#include "PhaseGenerator.h"
#include "kel_codegen/exchange/ValidateExchangeSchedule.h"

namespace {

using namespace kel_codegen::exchange;

ExchangeScheduleTransfer word_transfer(std::uint16_t source, std::uint32_t address,
                                       std::vector<ExchangeScheduleDestination> to, std::uint32_t words) {
  return {source, {address}, std::move(to), words, ExchangeItemWidth::Word32};
}

TEST(ScheduleExchangeProblem, EmptyPhaseLowersToIdleTiles) {
  const ExchangeScheduleProblem problem{9, {}};
  const auto run = schedule_exchange_problem(4, problem);
  ASSERT_TRUE(run.has_value()) << run.error().message();
  const auto& physical = run->physical;
  EXPECT_EQ(physical.active, std::vector<bool>(4, false));
  EXPECT_EQ(physical.programs, std::vector<std::vector<std::uint32_t>>(4, {0x43A00000u}));
  EXPECT_EQ(physical.incoming_bases, std::vector<std::uint32_t>(4, 0));
  EXPECT_EQ(physical.repeat_patches.size(), 4u);
  EXPECT_EQ(physical.activities, std::vector<std::vector<ExchangeActivity>>(4));
  EXPECT_EQ(physical.phase, 9u);
  EXPECT_EQ(physical.horizon, 0u);
  EXPECT_EQ(run->initial_horizon, 0u);
  EXPECT_EQ(run->endpoint_lower_bound, 0u);
  EXPECT_EQ(run->neighborhood_improvements, 0u);
  EXPECT_FALSE(run->reused);
  EXPECT_TRUE(validate_exchange_schedule(4, problem, run->physical).has_value());
}

TEST(ScheduleExchangeProblem, TileCountOutsideTheBoardIsRejected) {
  for (const std::uint16_t tiles : {std::uint16_t{0}, std::uint16_t{1473}}) {
    const auto run = schedule_exchange_problem(tiles, ExchangeScheduleProblem{1, {}});
    ASSERT_FALSE(run.has_value());
    EXPECT_EQ(run.error().message(), "invalid exchange-schedule snapshot: tile count " + std::to_string(tiles) +
                                         " is outside the R817 topology");
  }
}

TEST(ScheduleExchangeProblem, ConversionErrorsComeFirst) {
  const ExchangeScheduleProblem problem{3, {word_transfer(0, 0, {{4, 0}}, 8)}};
  EXPECT_EQ(schedule_exchange_problem(4, problem).error().message(),
            "invalid exchange-schedule snapshot: phase 3 transfer 0 has invalid destination tile 4");
}

TEST(ScheduleOptimizer, EndpointLowerBound) {
  const ExchangeScheduleProblem receives{1,
                                         {word_transfer(0, 0, {{3, 0}}, 10), word_transfer(1, 0, {{3, 64}}, 20),
                                          word_transfer(2, 0, {{3, 128}}, 30)}};
  auto pending = pending_from_problem(receives, 4);
  ASSERT_TRUE(pending.has_value());
  EXPECT_EQ(endpoint_work_lower_bound(*pending, 4), 60u);

  ExchangeScheduleProblem paired{1, {{0, {0}, {{2, 0}, {3, 0}}, 256, ExchangeItemWidth::Paired64}}};
  pending = pending_from_problem(paired, 4);
  ASSERT_TRUE(pending.has_value());
  EXPECT_EQ(endpoint_work_lower_bound(*pending, 4), 128u);  // source, partner and each receiver
  EXPECT_EQ(endpoint_work_lower_bound({}, 0), 0u);
}

TEST(ScheduleExchangeProblem, GeneratedPhasesLowerValidateAndRepeat) {
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const auto phase = test_support::generate_phase(rng, 24, 40);
    const auto first = schedule_exchange_problem(phase.tile_count, phase.problem);
    ASSERT_TRUE(first.has_value()) << first.error().message();
    const auto valid = validate_exchange_schedule(phase.tile_count, phase.problem, first->physical);
    EXPECT_TRUE(valid.has_value()) << valid.error().message();
    EXPECT_LE(first->physical.horizon, first->initial_horizon);
    EXPECT_LE(first->endpoint_lower_bound, first->physical.horizon);
    const auto second = schedule_exchange_problem(phase.tile_count, phase.problem);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->physical, first->physical);
  }
}

}  // namespace
