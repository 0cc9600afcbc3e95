// Decimal option checks and the one place CLI11's exceptions are caught.
#include "kel_tests/CommandLine.h"

#include <fmt/format.h>

#include <exception>

namespace kel_tests {

CLI::Validator decimal_up_to(std::uint64_t largest) {
  return CLI::Validator(
      [largest](std::string& text) -> std::string {
        if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
          return "expected a decimal unsigned integer";
        std::uint64_t value = 0;
        for (char c : text) {
          const unsigned digit = static_cast<unsigned>(c - '0');
          if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return "value out of range";
          value = value * 10 + digit;
        }
        if (value > largest) return "value out of range";
        return {};
      },
      "", "");
}

std::string usage_error(std::string_view command, std::string_view usage, std::string_view message) {
  return fmt::format("error: {}\n\nUsage: {} {}\n\nFor more information, try '--help'.\n", message, command, usage);
}

std::optional<CommandLineExit> parse_command_line(const CLI::App& app, std::string_view command, std::string_view usage,
                                                  const std::function<void()>& parse) {
  try {
    parse();
  } catch (const CLI::CallForHelp&) {
    return CommandLineExit{app.help(), 0};
  } catch (const CLI::CallForAllHelp&) {
    return CommandLineExit{app.help("", CLI::AppFormatMode::All), 0};
  } catch (const CLI::CallForVersion& e) {
    return CommandLineExit{std::string(e.what()) + "\n", 0};
  } catch (const CLI::ParseError& e) {
    return CommandLineExit{usage_error(command, usage, e.what()), 2};
  } catch (const std::exception& e) {
    return CommandLineExit{fmt::format("error: {}\n", e.what()), 2};
  }
  return std::nullopt;
}

}  // namespace kel_tests
