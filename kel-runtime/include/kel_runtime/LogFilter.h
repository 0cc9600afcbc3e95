// Which log events pass: a default level plus per-target levels, where a target
// directive covers its module path and everything below it. Invariant: target
// directives are unique and ordered longest first, so the first match is the
// most specific one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kel_runtime/Level.h"

namespace kel_runtime {

class LogFilter {
 public:
  /// One `target=level` directive; `min_level` absent means "off".
  struct Directive {
    std::string target;
    std::optional<Level> min_level;

    friend bool operator==(const Directive&, const Directive&) = default;
  };

  /// Parses comma-separated directives: a level name (trace, debug, info, warn,
  /// error, off; any case), `target=level`, or a bare target (every level for
  /// that target). Empty directives are skipped; without a bare level,
  /// unmatched targets get ERROR only. A later directive for the same target
  /// (or a later bare level) replaces the earlier one. Any malformed directive,
  /// or text that is not valid UTF-8, makes the whole text unparsable.
  [[nodiscard]] static std::optional<LogFilter> parse(std::string_view text);

  /// The fallback filter: every target at INFO and above.
  static LogFilter info();

  /// Whether an event of `level` from `target` passes.
  [[nodiscard]] bool enabled(Level level, std::string_view target) const noexcept;

  /// The most verbose level any directive lets through; absent when every
  /// directive is "off".
  [[nodiscard]] std::optional<Level> max_level() const noexcept;

  /// Level for targets no directive covers; absent means "off".
  std::optional<Level> default_level() const noexcept { return default_level_; }
  /// Target directives, longest target first (ties in text order).
  const std::vector<Directive>& directives() const noexcept { return directives_; }

  friend bool operator==(const LogFilter&, const LogFilter&) = default;

 private:
  LogFilter() = default;

  std::optional<Level> default_level_ = Level::Error;
  std::vector<Directive> directives_;
};

}  // namespace kel_runtime
