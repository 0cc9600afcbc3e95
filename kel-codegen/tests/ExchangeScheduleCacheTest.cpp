// The recipe cache: full path on first sight, replay of the same shape (also
// after the buffers moved), silent and logged fallbacks, and the property that
// an identical call always replays with identical programs.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <random>

#include "PhaseGenerator.h"
#include "kel_codegen/exchange/ValidateExchangeSchedule.h"
#include "kel_codegen/exchange/reuse/ExchangeScheduleCache.h"
#include "kel_runtime/testing/LogCapture.h"

namespace kel_codegen::exchange::reuse {
namespace {

constexpr const char* kReused = "reused exchange optimization after validating relocated rows";
constexpr const char* kFallback = "exchange choices require reoptimization after placement";

ExchangeScheduleTransfer record(std::uint16_t source, std::uint32_t address,
                                std::vector<ExchangeScheduleDestination> destinations, std::uint32_t words) {
  return ExchangeScheduleTransfer{source, {address}, std::move(destinations), words, ExchangeItemWidth::Word32};
}

// A 16-tile phase with a convertible broadcast, so the recipe pairs one
// transfer, and a few ordinary transfers around it.
ExchangeScheduleProblem sample_problem() {
  ExchangeScheduleProblem problem;
  problem.phase = 5;
  problem.transfers = {
      record(0, 0x1000, {{10, 0x4000}, {11, 0x4000}, {12, 0x6000}, {13, 0x6000}}, 1024),
      record(2, 0x1000, {{3, 0x2000}}, 300),
      record(3, 0x1800, {{2, 0x2000}}, 280),
      record(6, 0x1000, {{10, 0x8000}}, 64),
  };
  return problem;
}

ExchangeScheduleProblem moved(ExchangeScheduleProblem problem, std::uint32_t bytes) {
  for (auto& t : problem.transfers) {
    for (auto& a : t.source_addresses) a += bytes;
    for (auto& d : t.destinations) d.address += bytes;
  }
  return problem;
}

class RecipeCache : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    log_.install("kel_codegen::exchange::reuse=debug");
  }
  CachedExchangeRun schedule(const ExchangeScheduleProblem& problem) {
    auto result = cache_.schedule_problem(16, problem);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    if (!result) return {};
    const auto valid = validate_exchange_schedule(16, result->problem, result->run.physical);
    EXPECT_TRUE(valid.has_value()) << valid.error().message();
    return std::move(*result);
  }

  ExchangeScheduleCache cache_;
  kel_runtime::testing::LogCapture log_;
};

TEST_F(RecipeCache, SecondCallReplaysTheRecipe) {
  const CachedExchangeRun first = schedule(sample_problem());
  EXPECT_FALSE(first.run.reused);
  EXPECT_EQ(cache_.size(), 1u);
  EXPECT_EQ(first.problem.transfers[0].width, ExchangeItemWidth::Paired64);
  EXPECT_EQ(first.problem.transfers[1].width, ExchangeItemWidth::Word32);
  EXPECT_EQ(log_.count(kReused), 0u);
  const auto recipe = cache_.recipe(5);

  const CachedExchangeRun second = schedule(sample_problem());
  EXPECT_TRUE(second.run.reused);
  EXPECT_EQ(second.run.neighborhood_improvements, 0u);
  EXPECT_EQ(second.run.initial_horizon, second.run.physical.horizon);
  EXPECT_EQ(second.run.endpoint_lower_bound, first.run.endpoint_lower_bound);
  EXPECT_EQ(second.run.physical, first.run.physical);
  EXPECT_EQ(second.problem, first.problem);
  EXPECT_EQ(cache_.recipe(5), recipe) << "a replay leaves the recipe as it was";
  EXPECT_EQ(log_.count(kReused), 1u);
  EXPECT_EQ(log_.count("\"phase\":5"), 1u) << log_.output();
}

TEST_F(RecipeCache, MovedBuffersReplayWithTheirNewAddresses) {
  const CachedExchangeRun first = schedule(sample_problem());
  const CachedExchangeRun relocated = schedule(moved(sample_problem(), 0x10000));
  EXPECT_TRUE(relocated.run.reused);
  EXPECT_EQ(relocated.run.physical.horizon, first.run.physical.horizon);
  EXPECT_NE(relocated.run.physical.programs, first.run.physical.programs);
  EXPECT_EQ(relocated.problem.transfers[0].destinations[0].address, 0x14000u);
}

TEST_F(RecipeCache, ShapeOrWidthChangesTakeTheFullPathSilently) {
  struct Case {
    const char* name;
    ExchangeScheduleProblem problem;
  };
  ExchangeScheduleProblem extra_destination = sample_problem();
  extra_destination.transfers[3].destinations.push_back({11, 0x8000});
  ExchangeScheduleProblem unpaired = sample_problem();  // same shape, no paired form any more
  unpaired.transfers[0].destinations[1].address = 0x4008;
  ExchangeScheduleProblem other_words = sample_problem();
  other_words.transfers[1].words = 301;
  const Case cases[] = {{"extra destination", extra_destination},
                        {"paired transfer lost its paired form", unpaired},
                        {"different payload", other_words}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cache_.clear();
    schedule(sample_problem());
    const auto recipe = cache_.recipe(5);
    const CachedExchangeRun again = schedule(c.problem);
    EXPECT_FALSE(again.run.reused);
    EXPECT_NE(cache_.recipe(5), recipe) << "the full path replaces the recipe";
    EXPECT_EQ(cache_.size(), 1u);
  }
  EXPECT_EQ(log_.count(kReused), 0u);
  EXPECT_EQ(log_.count(kFallback), 0u) << log_.output();
}

TEST_F(RecipeCache, FailedReplayIsLoggedAndAFailedFullPathKeepsTheRecipe) {
  schedule(sample_problem());
  const auto recipe = cache_.recipe(5);
  // Beyond what the exchange can address: the replay and the full path fail.
  const auto far = cache_.schedule_problem(16, moved(sample_problem(), 0x400000));
  ASSERT_FALSE(far.has_value());
  EXPECT_EQ(log_.count(kFallback), 1u) << log_.output();
  EXPECT_EQ(cache_.recipe(5), recipe);
}

TEST_F(RecipeCache, RejectsPairedCapturesAndTileCountsOutsideTheMap) {
  ExchangeScheduleProblem paired = sample_problem();
  paired.transfers[0].width = ExchangeItemWidth::Paired64;
  auto result = cache_.schedule_problem(16, paired);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(),
            "invalid exchange-schedule snapshot: width selection requires an ordinary-transfer capture");
  EXPECT_EQ(cache_.size(), 0u);

  for (const std::uint16_t tiles : {std::uint16_t{0}, std::uint16_t{1473}}) {
    result = cache_.schedule_problem(tiles, ExchangeScheduleProblem{});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), fmt::format("invalid exchange-schedule snapshot: tile count {} is outside the R817 topology", tiles));
  }
}

TEST(ShapeSignature, IgnoresAddressesAndWidthsOnly) {
  const auto pending = *pending_from_problem(sample_problem(), 16);
  const std::uint64_t base = shape_signature(pending, 16);
  EXPECT_EQ(shape_signature(*pending_from_problem(moved(sample_problem(), 64), 16), 16), base);
  auto paired = pending;
  paired[0].width = ExchangeItemWidth::Paired64;
  EXPECT_EQ(shape_signature(paired, 16), base);
  EXPECT_NE(shape_signature(pending, 17), base);
  auto swapped = pending;
  std::swap(swapped[1].destinations[0].tile, swapped[2].destinations[0].tile);
  EXPECT_NE(shape_signature(swapped, 16), base);
  auto repeated = pending;
  repeated[1].source_addresses.push_back(0x3000);
  EXPECT_NE(shape_signature(repeated, 16), base);
}

// Over generated ordinary phases: every cached run validates, and the same
// call again replays the recipe with identical programs.
TEST(RecipeCacheProperty, IdenticalCallsReplayAndValidate) {
  std::mt19937 rng(20261211);
  std::size_t phases = 0, paired_choices = 0;
  for (int round = 0; round < 60; ++round) {
    auto generated = test_support::generate_phase(rng, 24, 30);
    // Captures are ordinary; the generator's paired transfers become
    // convertible ones.
    for (auto& t : generated.problem.transfers) t.width = ExchangeItemWidth::Word32;
    ExchangeScheduleCache cache;
    auto first = cache.schedule_problem(generated.tile_count, generated.problem);
    if (!first) continue;  // a shape the scheduler cannot encode either way
    ++phases;
    SCOPED_TRACE(round);
    ASSERT_TRUE(validate_exchange_schedule(generated.tile_count, first->problem, first->run.physical).has_value());
    for (const auto& t : first->problem.transfers) paired_choices += t.width == ExchangeItemWidth::Paired64;
    auto second = cache.schedule_problem(generated.tile_count, generated.problem);
    ASSERT_TRUE(second.has_value()) << second.error().message();
    EXPECT_TRUE(second->run.reused);
    EXPECT_EQ(second->run.physical, first->run.physical);
  }
  EXPECT_GT(phases, 40u);
  EXPECT_GT(paired_choices, 0u);
}

}  // namespace
}  // namespace kel_codegen::exchange::reuse
