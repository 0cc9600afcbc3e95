// The benchmark's parsed command line and its parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "kel_tests/CommandLine.h"

namespace kel_tests {

inline constexpr const char* kCommandName = "kel-tests";
inline constexpr const char* kCommandVersion = "0.1.0";

struct Arguments {
  std::string snapshot;
  std::vector<std::uint32_t> phases;  ///< in command-line order, repeats kept
  std::size_t warmup = 0;
  std::size_t iterations = 1;
  bool first_iteration_only = false;
  bool select_widths = false;
  bool replay_cache = false;
  std::uint32_t relocate_by = 0;
  std::optional<std::size_t> dump_tile;
};

/// Parses `argv` (program name first). Never throws.
std::variant<Arguments, CommandLineExit> parse_arguments(int argc, const char* const* argv);

}  // namespace kel_tests
