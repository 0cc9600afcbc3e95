// The phase figures: percentile rule, durations and the row fingerprint.
#include "kel_tests/PhaseReport.h"

#include <gtest/gtest.h>

namespace {

using kel_tests::Sample;

std::vector<Sample> samples(std::size_t n) {
  std::vector<Sample> v;
  for (std::size_t i = 1; i <= n; ++i) v.push_back(Sample(static_cast<long>(i)));
  return v;
}

TEST(PhaseReport, PercentileIsTheCeilingRankClampedToTheSamples) {
  struct Case {
    std::size_t n;
    unsigned p;
    long expected;
  } cases[] = {{1, 50, 1}, {1, 95, 1}, {2, 50, 1}, {2, 95, 2}, {4, 50, 2}, {20, 95, 19}, {20, 50, 10},
               {3, 50, 2}, {100, 95, 95}, {5, 0, 1}, {5, 100, 5}};
  for (const auto& c : cases) {
    const auto sorted = samples(c.n);
    EXPECT_EQ(kel_tests::percentile(sorted, c.p).count(), c.expected) << c.n << " samples, p" << c.p;
  }
}

TEST(PhaseReport, MillisecondsKeepNanoseconds) {
  EXPECT_DOUBLE_EQ(kel_tests::milliseconds(Sample(1'500'000)), 1.5);
  EXPECT_DOUBLE_EQ(kel_tests::milliseconds(Sample(2'000'000'123)), 2000.000123);
}

TEST(PhaseReport, RowFingerprintOfAOneTileProgram) {
  // Computed independently over: count 1 (u64 LE), length 1 (u64 LE), 0x43A00000 (u32 LE).
  EXPECT_EQ(kel_tests::row_fingerprint({{0x43A00000u}}), 0x7f96a39d50763082ull);
  EXPECT_EQ(kel_tests::row_fingerprint({{0x40A00009u, 0x43A00000u}}), 0x88a5c1e3f429a35eull);
  EXPECT_NE(kel_tests::row_fingerprint({{0x43A00000u}, {}}), kel_tests::row_fingerprint({{}, {0x43A00000u}}));
}

}  // namespace
