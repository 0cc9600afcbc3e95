// The snapshot generator's options and their command-line parser. Invariant of
// parsed options: 1 <= tiles <= 1472, 1 <= min_words <= max_words <= 4148,
// phases and phases x transfers within their bounds, and a family that needs
// 64-bit-capable payloads has an even word count of at least 128 in range.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "kel_tests/Arguments.h"
#include "kel_tests/gen/WorkloadFamily.h"

namespace kel_tests::gen {

inline constexpr const char* kGeneratorName = "exchange_snapshot_gen";
inline constexpr const char* kGeneratorVersion = "0.1.0";

/// Upper bound of phases x transfers, so a typing slip cannot exhaust memory.
inline constexpr std::uint64_t kMaxGeneratedTransfers = 10'000'000;
/// Upper bound of phases, which keeps phase ids far from the u32 limit.
inline constexpr std::uint32_t kMaxGeneratedPhases = 1'000'000;

struct GeneratorOptions {
  WorkloadFamily family = WorkloadFamily::Mix;
  std::uint16_t tiles = 64;
  std::uint32_t phases = 4;
  std::uint32_t transfers = 64;  ///< per phase
  std::uint32_t min_words = 1;
  std::uint32_t max_words = 1024;
  std::uint64_t seed = 1;
  std::string output;  ///< empty or "-": standard output
};

/// Why the options cannot be used, as a usage message; absent when they can.
std::optional<std::string> check_generator_options(const GeneratorOptions& options);

/// Parses `argv` (program name first) and checks the result. Help and
/// version give status 0, usage errors status 2. Never throws.
std::variant<GeneratorOptions, CommandLineExit> parse_generator_arguments(int argc, const char* const* argv);

}  // namespace kel_tests::gen
