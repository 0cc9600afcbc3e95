// Parsing and evaluation of log filter directives.
#include "kel_runtime/LogFilter.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "Utf8.h"

namespace kel_runtime {

namespace {

constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view text) noexcept {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view lower) noexcept {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Whether `word` names a level; `min_level` receives it, absent for "off".
bool parse_level_word(std::string_view word, std::optional<Level>& min_level) noexcept {
  static constexpr std::array<std::pair<std::string_view, Level>, 5> kNames{{
      {"trace", Level::Trace},
      {"debug", Level::Debug},
      {"info", Level::Info},
      {"warn", Level::Warn},
      {"error", Level::Error},
  }};
  for (const auto& [name, level] : kNames) {
    if (equals_ignore_ascii_case(word, name)) {
      min_level = level;
      return true;
    }
  }
  if (!equals_ignore_ascii_case(word, "off")) return false;
  min_level.reset();
  return true;
}

// A module path: non-empty segments joined by "::". Span and field selectors
// ('[', '{') are not supported, so they are rejected rather than silently
// matching nothing.
bool is_valid_target(std::string_view target) noexcept {
  if (target.empty()) return false;
  std::size_t segment_length = 0;
  for (std::size_t i = 0; i < target.size(); ++i) {
    const char c = target[i];
    if (c == ':') {
      if (segment_length == 0 || i + 1 >= target.size() || target[i + 1] != ':') return false;
      ++i;
      segment_length = 0;
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || is_space(c)) return false;
    if (c == '=' || c == ',' || c == '[' || c == ']' || c == '{' || c == '}' || c == '"') return false;
    ++segment_length;
  }
  return segment_length != 0;
}

bool covers(std::string_view directive_target, std::string_view target) noexcept {
  if (!target.starts_with(directive_target)) return false;
  const std::string_view rest = target.substr(directive_target.size());
  return rest.empty() || rest.starts_with("::");
}

bool admits(std::optional<Level> min_level, Level level) noexcept {
  return min_level.has_value() && level >= *min_level;
}

}  // namespace

std::optional<LogFilter> LogFilter::parse(std::string_view text) {
  if (!utf8::is_valid(text)) return std::nullopt;
  LogFilter filter;
  bool has_bare_level = false;
  std::optional<Level> bare_level;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view directive = trim(text.substr(0, comma));
    if (!directive.empty()) {
      const std::size_t equals = directive.find('=');
      std::string_view target = directive;
      std::optional<Level> min_level = Level::Trace;
      if (equals != std::string_view::npos) {
        target = trim(directive.substr(0, equals));
        if (!parse_level_word(trim(directive.substr(equals + 1)), min_level)) return std::nullopt;
      } else if (parse_level_word(directive, bare_level)) {
        has_bare_level = true;
        target = {};
      }
      if (!target.empty() || equals != std::string_view::npos) {
        if (!is_valid_target(target)) return std::nullopt;
        const auto same = std::ranges::find(filter.directives_, target, &Directive::target);
        if (same != filter.directives_.end())
          same->min_level = min_level;
        else
          filter.directives_.push_back(Directive{std::string(target), min_level});
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (has_bare_level) filter.default_level_ = bare_level;
  std::ranges::sort(filter.directives_, [](const Directive& a, const Directive& b) {
    if (a.target.size() != b.target.size()) return a.target.size() > b.target.size();
    return a.target < b.target;
  });
  return filter;
}

LogFilter LogFilter::info() {
  LogFilter filter;
  filter.default_level_ = Level::Info;
  return filter;
}

bool LogFilter::enabled(Level level, std::string_view target) const noexcept {
  for (const Directive& directive : directives_)
    if (covers(directive.target, target)) return admits(directive.min_level, level);
  return admits(default_level_, level);
}

std::optional<Level> LogFilter::max_level() const noexcept {
  std::optional<Level> most_verbose = default_level_;
  for (const Directive& directive : directives_)
    if (directive.min_level && (!most_verbose || *directive.min_level < *most_verbose))
      most_verbose = directive.min_level;
  return most_verbose;
}

}  // namespace kel_runtime
