// Benchmark start-up: everything from the parsed command line to the header
// line: load, validate, cut to the first Repeat iteration, select phases.
#pragma once

#include <chrono>
#include <expected>
#include <vector>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_tests/Arguments.h"
#include "kel_tests/ErrorChain.h"

namespace kel_tests {

struct LoadedBenchmark {
  kel_codegen::exchange::ExchangeScheduleSnapshot snapshot;
  /// Indices into `snapshot.phases`, in the snapshot's array order.
  std::vector<std::size_t> selected;
};

/// Opens, parses and validates the snapshot, applies the first-iteration cut
/// and selects the phases. Prints nothing.
[[nodiscard]] std::expected<LoadedBenchmark, ErrorChain> load_benchmark(const Arguments& args);

/// The header line, without its newline.
std::string header_line(const Arguments& args, const LoadedBenchmark& loaded);

/// The whole run after command-line parsing and logging set-up.
[[nodiscard]] std::expected<void, ErrorChain> run_benchmark(const Arguments& args);

}  // namespace kel_tests
