// Severity of a log event. Invariant: the enumerators are ordered from most to
// least verbose, so "at least as severe as" is a plain comparison.
#pragma once

#include <cstdint>
#include <string_view>

namespace kel_runtime {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

/// Upper-case name as it appears in log lines ("TRACE" ... "ERROR").
constexpr std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
  }
  return "ERROR";
}

}  // namespace kel_runtime
