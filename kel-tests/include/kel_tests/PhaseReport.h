// The figures printed for a phase: sample statistics with the exact
// percentile rule, the row fingerprint and the phase line.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_codegen/exchange/PhysicalExchangePhase.h"

namespace kel_tests {

using Sample = std::chrono::nanoseconds;

/// Milliseconds of a duration, as a double.
double milliseconds(Sample duration);

/// The sample at index k - 1 of the sorted samples, with k = ceil(n p / 100)
/// clamped to 1..n. `sorted` must not be empty.
Sample percentile(std::span<const Sample> sorted, unsigned p);

/// SipHash-1-3 (zero key) over the program count and each program's word
/// count and words, all little-endian.
std::uint64_t row_fingerprint(const std::vector<std::vector<std::uint32_t>>& programs);

/// The phase line, without its newline. Sorts the samples.
std::string phase_line(const kel_codegen::exchange::ExchangeScheduleProblem& problem,
                       const kel_codegen::exchange::ExchangeRun& run, std::vector<Sample>& schedule_samples,
                       std::vector<Sample>& validation_samples);

}  // namespace kel_tests
