// Memory hazard histories against a brute-force overlap model.
#include "kel_codegen/exchange/hazards/MemoryHistory.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using kel_codegen::exchange::ExchangeMemoryElement;
using kel_codegen::exchange::hazards::Interval;
using kel_codegen::exchange::hazards::MemoryHistory;

const ExchangeMemoryElement kE{false, 3};
const ExchangeMemoryElement kF{true, 0};

TEST(MemoryHistory, EmptyHistoryOrElementListHasNoConflict) {
  MemoryHistory history;
  EXPECT_EQ(history.conflict_end(std::span(&kE, 1), 0, 100), std::nullopt);
  history.record(std::span(&kE, 1), 0, 100);
  EXPECT_EQ(history.conflict_end({}, 0, 100), std::nullopt);
}

TEST(MemoryHistory, OverlapIsHalfOpen) {
  MemoryHistory history;
  history.record(std::span(&kE, 1), 10, 20);
  EXPECT_EQ(history.conflict_end(std::span(&kE, 1), 19, 25), 20u);
  EXPECT_EQ(history.conflict_end(std::span(&kE, 1), 20, 25), std::nullopt);
  EXPECT_EQ(history.conflict_end(std::span(&kE, 1), 5, 10), std::nullopt);
  EXPECT_EQ(history.conflict_end(std::span(&kF, 1), 12, 15), std::nullopt);
}

TEST(MemoryHistory, RunningEndCoversShorterLaterIntervals) {
  MemoryHistory history;
  history.record(std::span(&kE, 1), 0, 100);
  history.record(std::span(&kE, 1), 5, 8);
  const auto intervals = history.intervals(kE);
  ASSERT_EQ(intervals.size(), 2u);
  EXPECT_EQ(intervals[1], (Interval{5, 8, 100}));
  EXPECT_EQ(history.conflict_end(std::span(&kE, 1), 50, 60), 100u);
}

TEST(MemoryHistory, EqualStartsKeepInsertionOrderAndLatestEndWinsAcrossElements) {
  MemoryHistory history;
  const ExchangeMemoryElement both[] = {kE, kF};
  history.record(both, 10, 30);
  history.record(std::span(&kF, 1), 10, 50);
  const auto f = history.intervals(kF);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0], (Interval{10, 30, 30}));
  EXPECT_EQ(f[1], (Interval{10, 50, 50}));
  EXPECT_EQ(history.conflict_end(both, 29, 31), 50u);
}

TEST(MemoryHistory, AgreesWithBruteForce) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    MemoryHistory history;
    std::vector<std::pair<ExchangeMemoryElement, Interval>> recorded;
    for (int step = 0; step < 40; ++step) {
      const ExchangeMemoryElement element{static_cast<bool>(rng() % 2), static_cast<std::uint32_t>(rng() % 3)};
      const std::uint32_t start = rng() % 200;
      const std::uint32_t end = start + rng() % 30;
      if (rng() % 2) {
        history.record(std::span(&element, 1), start, end);
        recorded.push_back({element, {start, end, 0}});
        continue;
      }
      std::optional<std::uint32_t> expected;
      for (const auto& [e, interval] : recorded) {
        if (e != element || interval.start >= end) continue;
        // The running end over every interval of the list starting before `end`.
        std::uint32_t running = 0;
        for (const auto& [e2, i2] : recorded)
          if (e2 == element && i2.start < end) running = std::max(running, i2.end);
        if (running > start) expected = running;
        break;
      }
      EXPECT_EQ(history.conflict_end(std::span(&element, 1), start, end), expected);
    }
  }
}

}  // namespace
