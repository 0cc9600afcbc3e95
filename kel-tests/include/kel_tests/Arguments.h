// The benchmark's parsed command line and its parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

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

/// What the command line asks for when it is not a run: text for standard
/// output (help, version; exit 0) or a usage error for standard error (exit 2).
struct CommandLineExit {
  std::string text;
  int status = 0;
};

/// Parses `argv` (program name first). Never throws.
std::variant<Arguments, CommandLineExit> parse_arguments(int argc, const char* const* argv);

}  // namespace kel_tests
