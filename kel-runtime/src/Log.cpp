// The process-wide log subscriber: filtering, text and JSON line formatting.
// Invariant: most_verbose_level mirrors the installed subscriber's filter, and
// is kLevelsOff whenever no subscriber is installed.
#include "kel_runtime/Log.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <iterator>

#include "Utf8.h"
#include "kel_runtime/Invariant.h"

namespace kel_runtime {

namespace detail {
constinit std::atomic<std::uint8_t> most_verbose_level{kLevelsOff};
}  // namespace detail

namespace {

struct Subscriber {
  LogFilter filter;
  bool json;
  std::FILE* out;
  bool color;
  WallClock clock;
};

// Lives until the process ends (or a test resets it), so events emitted late
// in shutdown never see a destroyed subscriber.
constinit Subscriber* installed = nullptr;

using Buffer = fmt::memory_buffer;

void append(Buffer& buffer, std::string_view text) { buffer.append(text.data(), text.data() + text.size()); }

// RFC 3339 in UTC with microseconds, e.g. 2026-12-11T08:02:03.123456Z.
void append_timestamp(Buffer& buffer, std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto micros = floor<microseconds>(when);
  const auto day = floor<days>(micros);
  const year_month_day date{day};
  const hh_mm_ss time{micros - day};
  fmt::format_to(std::back_inserter(buffer), "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", static_cast<int>(date.year()),
                 static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), time.hours().count(),
                 time.minutes().count(), time.seconds().count(), time.subseconds().count());
}

std::string_view level_color(Level level) {
  switch (level) {
    case Level::Trace: return "\x1b[35m";
    case Level::Debug: return "\x1b[34m";
    case Level::Info: return "\x1b[32m";
    case Level::Warn: return "\x1b[33m";
    case Level::Error: return "\x1b[31m";
  }
  return "";
}

constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kItalic = "\x1b[3m";
constexpr std::string_view kReset = "\x1b[0m";

void append_text_value(Buffer& buffer, const FieldValue& value) {
  std::visit(
      [&](const auto& v) {
        using V = std::remove_cvref_t<decltype(v)>;
        if constexpr (std::same_as<V, std::string_view>)
          append(buffer, v);
        else
          fmt::format_to(std::back_inserter(buffer), "{}", v);
      },
      value);
}

void format_text(Buffer& buffer, const Subscriber& subscriber, std::chrono::system_clock::time_point when,
                 Level level, std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields) {
  const bool color = subscriber.color;
  if (color) append(buffer, kDim);
  append_timestamp(buffer, when);
  if (color) append(buffer, kReset);
  buffer.push_back(' ');
  if (color) append(buffer, level_color(level));
  fmt::format_to(std::back_inserter(buffer), "{:>5}", level_name(level));
  if (color) append(buffer, kReset);
  buffer.push_back(' ');
  if (color) append(buffer, kDim);
  append(buffer, target);
  buffer.push_back(':');
  if (color) append(buffer, kReset);
  buffer.push_back(' ');
  append(buffer, message);
  for (const Field& field : fields) {
    buffer.push_back(' ');
    if (color) {
      append(buffer, kItalic);
      append(buffer, field.name);
      append(buffer, kReset);
      append(buffer, kDim);
      buffer.push_back('=');
      append(buffer, kReset);
    } else {
      append(buffer, field.name);
      buffer.push_back('=');
    }
    append_text_value(buffer, field.value);
  }
  buffer.push_back('\n');
}

// A JSON string literal; bytes that are not well-formed UTF-8 become U+FFFD so
// the line always stays valid JSON.
void append_json_string(Buffer& buffer, std::string_view text) {
  buffer.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
      const std::size_t length = utf8::sequence_length(text, i);
      if (length == 0) {
        append(buffer, "\xEF\xBF\xBD");
        ++i;
      } else {
        append(buffer, text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"': append(buffer, "\\\""); break;
      case '\\': append(buffer, "\\\\"); break;
      case '\n': append(buffer, "\\n"); break;
      case '\r': append(buffer, "\\r"); break;
      case '\t': append(buffer, "\\t"); break;
      case '\b': append(buffer, "\\b"); break;
      case '\f': append(buffer, "\\f"); break;
      default:
        if (u < 0x20)
          fmt::format_to(std::back_inserter(buffer), "\\u{:04x}", static_cast<unsigned>(u));
        else
          buffer.push_back(c);
    }
    ++i;
  }
  buffer.push_back('"');
}

void append_json_value(Buffer& buffer, const FieldValue& value) {
  std::visit(
      [&](const auto& v) {
        using V = std::remove_cvref_t<decltype(v)>;
        if constexpr (std::same_as<V, std::string_view>) {
          append_json_string(buffer, v);
        } else if constexpr (std::same_as<V, double>) {
          // JSON has no literal for NaN or the infinities.
          if (std::isfinite(v))
            fmt::format_to(std::back_inserter(buffer), "{}", v);
          else
            append_json_string(buffer, fmt::format("{}", v));
        } else {
          fmt::format_to(std::back_inserter(buffer), "{}", v);
        }
      },
      value);
}

void format_json(Buffer& buffer, std::chrono::system_clock::time_point when, Level level, std::string_view target,
                 std::string_view message, std::initializer_list<Field> fields) {
  append(buffer, "{\"timestamp\":\"");
  append_timestamp(buffer, when);
  append(buffer, "\",\"level\":\"");
  append(buffer, level_name(level));
  append(buffer, "\",\"fields\":{\"message\":");
  append_json_string(buffer, message);
  for (const Field& field : fields) {
    buffer.push_back(',');
    append_json_string(buffer, field.name);
    buffer.push_back(':');
    append_json_value(buffer, field.value);
  }
  append(buffer, "},\"target\":");
  append_json_string(buffer, target);
  append(buffer, "}\n");
}

}  // namespace

void init_tracing() {
  if (installed != nullptr) return;
  const char* filter_text = std::getenv("KEL_LOG");
  std::optional<std::string_view> filter;
  if (filter_text != nullptr) filter = filter_text;
  const char* format = std::getenv("KEL_LOG_FORMAT");
  const bool json = format != nullptr && std::string_view(format) == "json";
  const char* no_color = std::getenv("NO_COLOR");
  const bool color = !json && ::isatty(::fileno(stdout)) == 1 && (no_color == nullptr || *no_color == '\0');
  init_tracing_with(filter, json, stdout, color);
}

void init_tracing_with(std::optional<std::string_view> filter, bool json, std::FILE* out, bool color,
                       WallClock clock) {
  expect(out != nullptr, "log output stream is set");
  if (installed != nullptr) return;
  std::optional<LogFilter> parsed = filter ? LogFilter::parse(*filter) : std::nullopt;
  LogFilter chosen = parsed ? std::move(*parsed) : LogFilter::info();
  const std::optional<Level> most_verbose = chosen.max_level();
  installed = new Subscriber{std::move(chosen), json, out, color && !json, clock};
  detail::most_verbose_level.store(most_verbose ? static_cast<std::uint8_t>(*most_verbose) : detail::kLevelsOff,
                                   std::memory_order_relaxed);
}

void reset_tracing_for_tests() {
  detail::most_verbose_level.store(detail::kLevelsOff, std::memory_order_relaxed);
  delete installed;
  installed = nullptr;
}

bool event_enabled(Level level, std::string_view target) noexcept {
  return installed != nullptr && installed->filter.enabled(level, target);
}

namespace detail {

void emit_event(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields) {
  const Subscriber* subscriber = installed;
  if (subscriber == nullptr) return;
  const auto when = subscriber->clock != nullptr ? subscriber->clock() : std::chrono::system_clock::now();
  Buffer buffer;
  if (subscriber->json)
    format_json(buffer, when, level, target, message, fields);
  else
    format_text(buffer, *subscriber, when, level, target, message, fields);
  std::fwrite(buffer.data(), 1, buffer.size(), subscriber->out);
  std::fflush(subscriber->out);
}

}  // namespace detail

}  // namespace kel_runtime
