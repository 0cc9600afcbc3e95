// Structured log events and the process-wide subscriber that filters and prints
// them. Invariant: while no subscriber is installed, or when an event's level is
// more verbose than every directive allows, an event costs one relaxed atomic
// load and evaluates none of its arguments.
#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>

#include "kel_runtime/Level.h"
#include "kel_runtime/LogFilter.h"

namespace kel_runtime {

/// The value of a named event field. Strings are borrowed: a Field lives only
/// within the statement that emits it.
using FieldValue = std::variant<std::int64_t, std::uint64_t, bool, double, std::string_view>;

struct Field {
  std::string_view name;
  FieldValue value;
};

/// A named field from an integer, bool, floating-point or string-like value.
template <typename T>
Field field(std::string_view name, const T& value) {
  using V = std::remove_cvref_t<T>;
  if constexpr (std::same_as<V, bool>) {
    return Field{name, FieldValue(std::in_place_type<bool>, value)};
  } else if constexpr (std::same_as<V, char> || std::same_as<V, char8_t> || std::same_as<V, char16_t> ||
                       std::same_as<V, char32_t> || std::same_as<V, wchar_t>) {
    static_assert(!std::same_as<V, V>, "log a character as a string or as an integer");
  } else if constexpr (std::signed_integral<V>) {
    return Field{name, FieldValue(std::in_place_type<std::int64_t>, value)};
  } else if constexpr (std::unsigned_integral<V>) {
    return Field{name, FieldValue(std::in_place_type<std::uint64_t>, value)};
  } else if constexpr (std::floating_point<V>) {
    return Field{name, FieldValue(std::in_place_type<double>, static_cast<double>(value))};
  } else {
    static_assert(std::convertible_to<const T&, std::string_view>,
                  "field values are integers, bools, floating-point numbers or strings");
    return Field{name, FieldValue(std::in_place_type<std::string_view>, std::string_view(value))};
  }
}

/// Source of event timestamps.
using WallClock = std::chrono::system_clock::time_point (*)();

/// Installs the process-wide subscriber from the environment: the filter from
/// `KEL_LOG` ("info" when absent, not UTF-8 or unparsable), JSON lines when
/// `KEL_LOG_FORMAT` is exactly "json", text lines otherwise, written to stdout;
/// text is coloured only on a terminal with NO_COLOR unset or empty. A second
/// call keeps the first subscriber.
void init_tracing();

/// As init_tracing, with the environment replaced by arguments: `filter` is the
/// raw filter text (absent or unparsable means "info"), `out` receives the
/// lines, `clock` stamps them (null means the system clock).
void init_tracing_with(std::optional<std::string_view> filter, bool json, std::FILE* out, bool color,
                       WallClock clock = nullptr);

/// Removes the installed subscriber so a test can install another.
void reset_tracing_for_tests();

/// Whether the installed subscriber lets an event of `level` from `target` through.
[[nodiscard]] bool event_enabled(Level level, std::string_view target) noexcept;

namespace detail {

/// Numeric value of the most verbose level the installed filter admits anywhere;
/// kLevelsOff when nothing can pass (no subscriber, or everything off).
inline constexpr std::uint8_t kLevelsOff = static_cast<std::uint8_t>(Level::Error) + 1;
extern constinit std::atomic<std::uint8_t> most_verbose_level;

inline bool level_may_pass(Level level) noexcept {
  return static_cast<std::uint8_t>(level) >= most_verbose_level.load(std::memory_order_relaxed);
}

/// Formats and writes one event; callers have checked event_enabled.
void emit_event(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields);

}  // namespace detail

}  // namespace kel_runtime

/// Emits a structured event: KEL_EVENT(level, target, message, kel_runtime::field(...)...).
/// Target, message and fields are evaluated only when the event passes the filter.
#define KEL_EVENT(level, target, message, ...)                                                               \
  do {                                                                                                       \
    const ::kel_runtime::Level kel_event_level_ = (level);                                                   \
    if (::kel_runtime::detail::level_may_pass(kel_event_level_)) [[unlikely]] {                              \
      const ::std::string_view kel_event_target_ = (target);                                                 \
      if (::kel_runtime::event_enabled(kel_event_level_, kel_event_target_))                                 \
        ::kel_runtime::detail::emit_event(kel_event_level_, kel_event_target_, (message), {__VA_ARGS__});    \
    }                                                                                                        \
  } while (false)

#define KEL_TRACE(target, message, ...) KEL_EVENT(::kel_runtime::Level::Trace, target, message, __VA_ARGS__)
#define KEL_DEBUG(target, message, ...) KEL_EVENT(::kel_runtime::Level::Debug, target, message, __VA_ARGS__)
#define KEL_INFO(target, message, ...) KEL_EVENT(::kel_runtime::Level::Info, target, message, __VA_ARGS__)
#define KEL_WARN(target, message, ...) KEL_EVENT(::kel_runtime::Level::Warn, target, message, __VA_ARGS__)
#define KEL_ERROR(target, message, ...) KEL_EVENT(::kel_runtime::Level::Error, target, message, __VA_ARGS__)
