// What the project's command-line tools share on top of CLI11: strictly
// decimal numeric options, and parsing that turns help, version and CLI11's
// exceptions into the exit they call for.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace kel_tests {

/// What the command line asks for when it is not a run: text for standard
/// output (help, version; exit 0) or a usage error for standard error (exit 2).
struct CommandLineExit {
  std::string text;
  int status = 0;
};

/// Accepts only plain decimal digits up to `largest`; CLI11's own conversion
/// would also take signs, hexadecimal and floating-point spellings.
CLI::Validator decimal_up_to(std::uint64_t largest);

template <typename T>
CLI::Validator decimal_of_width() {
  return decimal_up_to(std::numeric_limits<T>::max());
}

/// Runs `parse` (which parses with `app`); nullopt when the command line asks
/// for a run. `usage` is the synopsis after the command name.
std::optional<CommandLineExit> parse_command_line(const CLI::App& app, std::string_view command, std::string_view usage,
                                                  const std::function<void()>& parse);

/// The usage error text of `command`.
std::string usage_error(std::string_view command, std::string_view usage, std::string_view message);

}  // namespace kel_tests
