// Statistics, fingerprint and the phase line.
#include "kel_tests/PhaseReport.h"

#include <algorithm>

#include <fmt/format.h>

#include "kel_runtime/SipHash.h"

namespace kel_tests {

double milliseconds(Sample duration) {
  const auto seconds = duration.count() / 1'000'000'000;
  const auto nanos = duration.count() % 1'000'000'000;
  return (static_cast<double>(seconds) + static_cast<double>(nanos) / 1e9) * 1000.0;
}

Sample percentile(std::span<const Sample> sorted, unsigned p) {
  const std::size_t n = sorted.size();
  std::size_t k = (n * p + 99) / 100;
  k = std::clamp<std::size_t>(k, 1, n);
  return sorted[k - 1];
}

std::uint64_t row_fingerprint(const std::vector<std::vector<std::uint32_t>>& programs) {
  kel_runtime::SipHasher13 hasher;
  hasher.write_u64_le(programs.size());
  for (const auto& program : programs) {
    hasher.write_u64_le(program.size());
    for (const std::uint32_t word : program) hasher.write_u32_le(word);
  }
  return hasher.finish();
}

std::string phase_line(const kel_codegen::exchange::ExchangeScheduleProblem& problem,
                       const kel_codegen::exchange::ExchangeRun& run, std::vector<Sample>& schedule_samples,
                       std::vector<Sample>& validation_samples) {
  std::sort(schedule_samples.begin(), schedule_samples.end());
  std::sort(validation_samples.begin(), validation_samples.end());
  std::size_t destinations = 0;
  for (const auto& transfer : problem.transfers) destinations += transfer.destinations.size();
  const auto& physical = run.physical;
  std::size_t row_words = 0, maximum_row_words = 0;
  for (const auto& program : physical.programs) {
    row_words += program.size();
    maximum_row_words = std::max(maximum_row_words, program.size());
  }
  const std::uint32_t gap =
      physical.horizon > run.endpoint_lower_bound ? physical.horizon - run.endpoint_lower_bound : 0;
  return fmt::format(
      "phase={} transfers={} destinations={} initialHorizonCycles={} horizonCycles={} endpointLowerBoundCycles={} "
      "lowerBoundGapCycles={} neighborhoodImprovements={} rowWords={} maximumRowWords={} scheduleCodegenMinMs={:.3f} "
      "scheduleCodegenMedianMs={:.3f} scheduleCodegenP95Ms={:.3f} scheduleCodegenMaxMs={:.3f} "
      "validationMedianMs={:.3f} reused={} rowFingerprint={:016x} invariants=PASS",
      problem.phase, problem.transfers.size(), destinations, run.initial_horizon, physical.horizon,
      run.endpoint_lower_bound, gap, run.neighborhood_improvements, row_words, maximum_row_words,
      milliseconds(schedule_samples.front()), milliseconds(percentile(schedule_samples, 50)),
      milliseconds(percentile(schedule_samples, 95)), milliseconds(schedule_samples.back()),
      milliseconds(percentile(validation_samples, 50)), run.reused ? "true" : "false",
      row_fingerprint(physical.programs));
}

}  // namespace kel_tests
