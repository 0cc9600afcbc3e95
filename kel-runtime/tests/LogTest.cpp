// The subscriber end to end: installation and its fallbacks, the enabled-check
// that must not evaluate arguments, and the exact shape of text and JSON lines.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "kel_runtime/Log.h"
#include "kel_runtime/testing/LogCapture.h"

namespace {

using kel_runtime::field;
using kel_runtime::Level;
using namespace std::chrono_literals;

constexpr const char* kReuse = "kel_codegen::exchange::reuse";

std::chrono::system_clock::time_point fixed_clock() {
  using namespace std::chrono;
  // Nanoseconds beyond the microsecond are truncated, not rounded.
  return sys_days{2026y / December / 11} + 8h + 2min + 3s + 123456us + 999ns;
}

// '#' in `shape` stands for any decimal digit.
bool matches_shape(std::string_view text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool ok = shape[i] == '#' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
    if (!ok) return false;
  }
  return true;
}

std::chrono::system_clock::time_point epoch_clock() { return std::chrono::system_clock::time_point{}; }

// Captures log lines in a temporary file; every test starts and ends without a subscriber.
class LogCapture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(log_.ok()); }
  void install(std::optional<std::string_view> filter, bool json = false, bool color = false,
               kel_runtime::WallClock clock = fixed_clock) {
    log_.install(filter, json, color, clock);
  }
  std::string output() { return log_.output(); }

  kel_runtime::testing::LogCapture log_;
};

// ---- Installation and filtering -------------------------------------------------

TEST_F(LogCapture, NothingIsPrintedWithoutASubscriber) {
  KEL_ERROR("kel_exchange", "lost");
  EXPECT_FALSE(kel_runtime::event_enabled(Level::Error, "kel_exchange"));
  EXPECT_FALSE(kel_runtime::detail::level_may_pass(Level::Error));
  EXPECT_EQ(output(), "");
}

TEST_F(LogCapture, AbsentOrUnparsableFilterFallsBackToInfo) {
  for (const std::optional<std::string_view> filter :
       {std::optional<std::string_view>(), std::optional<std::string_view>("kel=loud")}) {
    kel_runtime::reset_tracing_for_tests();
    install(filter);
    EXPECT_TRUE(kel_runtime::event_enabled(Level::Info, kReuse));
    EXPECT_FALSE(kel_runtime::event_enabled(Level::Debug, kReuse));
  }
  // The reuse event at INFO passes, its DEBUG fallback does not.
  KEL_INFO(kReuse, "reused schedule recipe");
  KEL_DEBUG(kReuse, "schedule recipe not reusable");
  EXPECT_EQ(output(), "2026-12-11T08:02:03.123456Z  INFO kel_codegen::exchange::reuse: reused schedule recipe\n");
}

TEST_F(LogCapture, EmptyFilterAdmitsErrorsOnly) {
  install("");
  KEL_WARN("kel_exchange", "warned");
  KEL_ERROR("kel_exchange", "failed");
  EXPECT_EQ(output(), "2026-12-11T08:02:03.123456Z ERROR kel_exchange: failed\n");
}

TEST_F(LogCapture, TargetDirectiveSelectsOnlyItsSubtree) {
  install("kel_codegen::exchange::reuse=debug");
  KEL_INFO(kReuse, "a");
  KEL_DEBUG(kReuse, "b");
  KEL_INFO("kel_codegen::exchange", "c");
  KEL_WARN("kel_exchange", "d");
  EXPECT_EQ(output(),
            "2026-12-11T08:02:03.123456Z  INFO kel_codegen::exchange::reuse: a\n"
            "2026-12-11T08:02:03.123456Z DEBUG kel_codegen::exchange::reuse: b\n");
}

TEST_F(LogCapture, SecondInstallationKeepsTheFirst) {
  install("error");
  install("trace", /*json=*/true);
  KEL_INFO("kel_exchange", "dropped");
  KEL_ERROR("kel_exchange", "kept");
  EXPECT_EQ(output(), "2026-12-11T08:02:03.123456Z ERROR kel_exchange: kept\n");
}

TEST_F(LogCapture, FastPathFollowsTheMostVerboseDirective) {
  install("off,kel_codegen=debug");
  EXPECT_TRUE(kel_runtime::detail::level_may_pass(Level::Debug));
  EXPECT_FALSE(kel_runtime::detail::level_may_pass(Level::Trace));
  kel_runtime::reset_tracing_for_tests();
  install("off");
  EXPECT_FALSE(kel_runtime::detail::level_may_pass(Level::Error));
  kel_runtime::reset_tracing_for_tests();
  EXPECT_FALSE(kel_runtime::detail::level_may_pass(Level::Error));
}

// ---- Arguments are evaluated only for events that pass ---------------------------

class Counted {
 public:
  int calls = 0;
  int value() {
    ++calls;
    return 7;
  }
  const char* target(const char* t) {
    ++calls;
    return t;
  }
};

TEST_F(LogCapture, DisabledEventsEvaluateNoArguments) {
  Counted counted;
  const auto emit = [&](Level level, const char* target) {
    KEL_EVENT(level, counted.target(target), (++counted.calls, "message"), field("n", counted.value()));
  };

  emit(Level::Error, "kel_exchange");  // no subscriber at all
  EXPECT_EQ(counted.calls, 0);

  install("kel_codegen=debug");
  emit(Level::Trace, "kel_codegen");  // more verbose than any directive: fast path
  EXPECT_EQ(counted.calls, 0);

  emit(Level::Debug, "kel_exchange");  // fast path passes, target check refuses
  EXPECT_EQ(counted.calls, 1) << "only the target is evaluated";

  counted.calls = 0;
  emit(Level::Debug, "kel_codegen::exchange");
  EXPECT_EQ(counted.calls, 3) << "target, message and field, each once";
  EXPECT_EQ(output(), "2026-12-11T08:02:03.123456Z DEBUG kel_codegen::exchange: message n=7\n");
}

// ---- Text lines ------------------------------------------------------------------

TEST_F(LogCapture, TextLineShape) {
  install("trace");
  KEL_DEBUG(kReuse, "reused schedule recipe", field("phase", 3), field("transfers", 12u));
  KEL_TRACE("t", "trace");
  KEL_INFO("t", "info");
  KEL_WARN("t", "warn");
  KEL_ERROR("t", "error");
  EXPECT_EQ(output(),
            "2026-12-11T08:02:03.123456Z DEBUG kel_codegen::exchange::reuse: reused schedule recipe phase=3 "
            "transfers=12\n"
            "2026-12-11T08:02:03.123456Z TRACE t: trace\n"
            "2026-12-11T08:02:03.123456Z  INFO t: info\n"
            "2026-12-11T08:02:03.123456Z  WARN t: warn\n"
            "2026-12-11T08:02:03.123456Z ERROR t: error\n");
}

TEST_F(LogCapture, TextFieldValues) {
  install("info");
  const std::string owned = "with space";
  KEL_INFO("t", "m", field("i", std::numeric_limits<std::int64_t>::min()),
           field("u", std::numeric_limits<std::uint64_t>::max()), field("b", true), field("f", false),
           field("d", 1.5), field("s", owned), field("lit", "x\"y"), field("short", std::int16_t{-7}),
           field("byte", std::uint8_t{200}), field("tmp", std::string("temporary")));
  EXPECT_EQ(output(),
            "2026-12-11T08:02:03.123456Z  INFO t: m i=-9223372036854775808 u=18446744073709551615 b=true "
            "f=false d=1.5 s=with space lit=x\"y short=-7 byte=200 tmp=temporary\n");
}

TEST_F(LogCapture, TextTimestampAtTheEpochAndFromTheSystemClock) {
  install("info", false, false, epoch_clock);
  KEL_INFO("t", "m");
  EXPECT_EQ(output(), "1970-01-01T00:00:00.000000Z  INFO t: m\n");

  log_.restart();
  install("info", false, false, nullptr);
  KEL_INFO("t", "m");
  const std::string line = output();
  EXPECT_TRUE(matches_shape(line, "####-##-##T##:##:##.######Z  INFO t: m\n")) << line;
}

TEST_F(LogCapture, ColourOnlyWhenAskedAndNeverInJson) {
  install("debug", false, /*color=*/true);
  KEL_DEBUG("t", "m", field("k", 1));
  const std::string coloured = output();
  EXPECT_NE(coloured.find("\x1b[34mDEBUG\x1b[0m"), std::string::npos) << coloured;
  EXPECT_NE(coloured.find("m \x1b[3mk\x1b[0m"), std::string::npos) << coloured;
  EXPECT_EQ(coloured.back(), '\n');

  log_.restart();
  install("debug", /*json=*/true, /*color=*/true);
  KEL_DEBUG("t", "m");
  EXPECT_EQ(output().find('\x1b'), std::string::npos);
}

// ---- JSON lines ------------------------------------------------------------------

TEST_F(LogCapture, JsonLineShape) {
  install("debug", /*json=*/true);
  KEL_DEBUG(kReuse, "reused schedule recipe", field("phase", 3), field("transfers", 12u), field("paired", true),
            field("ratio", 0.25), field("mode", "replay"));
  KEL_INFO("t", "bare");
  EXPECT_EQ(output(),
            R"({"timestamp":"2026-12-11T08:02:03.123456Z","level":"DEBUG","fields":{"message":"reused schedule recipe",)"
            R"("phase":3,"transfers":12,"paired":true,"ratio":0.25,"mode":"replay"},)"
            R"("target":"kel_codegen::exchange::reuse"})"
            "\n"
            R"({"timestamp":"2026-12-11T08:02:03.123456Z","level":"INFO","fields":{"message":"bare"},"target":"t"})"
            "\n");
}

TEST_F(LogCapture, JsonEscapingRoundTrips) {
  install("info", /*json=*/true);
  const std::string nasty = std::string("q\" b\\ n\n r\r t\t bs\b ff\f c\x01 z") + '\0' + " del\x7f " +
                            "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 /";
  KEL_INFO("t::\"x\"", nasty, field("we\"ird\n", nasty));
  const std::string line = output();
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line per event";
  EXPECT_NE(line.find(R"(q\" b\\ n\n r\r t\t bs\b ff\f c\u0001 z\u0000 del)"), std::string::npos) << line;

  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(line.data(), line.size() - 1);
  ASSERT_FALSE(doc.HasParseError()) << line;
  const auto& fields = doc["fields"];
  EXPECT_EQ(std::string(fields["message"].GetString(), fields["message"].GetStringLength()), nasty);
  ASSERT_TRUE(fields.HasMember("we\"ird\n"));
  EXPECT_EQ(std::string(fields["we\"ird\n"].GetString(), fields["we\"ird\n"].GetStringLength()), nasty);
  EXPECT_STREQ(doc["target"].GetString(), "t::\"x\"");
}

TEST_F(LogCapture, JsonReplacesMalformedUtf8) {
  install("info", /*json=*/true);
  // Lone continuation, truncated sequence, overlong slash, encoded surrogate.
  KEL_INFO("t", "a\x80 b\xE2\x82 c\xC0\xAF d\xED\xA0\x80 e");
  const std::string line = output();
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(line.data(), line.size() - 1);
  ASSERT_FALSE(doc.HasParseError()) << line;
  const std::string message = doc["fields"]["message"].GetString();
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(message, "a" + r + " b" + r + r + " c" + r + r + " d" + r + r + r + " e");
}

TEST_F(LogCapture, JsonNumbers) {
  install("info", /*json=*/true);
  KEL_INFO("t", "m", field("min", std::numeric_limits<std::int64_t>::min()),
           field("max", std::numeric_limits<std::uint64_t>::max()), field("big", 1e300), field("neg", -0.5),
           field("nan", std::numeric_limits<double>::quiet_NaN()),
           field("inf", std::numeric_limits<double>::infinity()),
           field("ninf", -std::numeric_limits<double>::infinity()), field("f", 0.1f));
  const std::string line = output();
  EXPECT_NE(line.find(R"("min":-9223372036854775808,"max":18446744073709551615,)"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("nan":"nan","inf":"inf","ninf":"-inf",)"), std::string::npos) << line;
  rapidjson::Document doc;
  doc.Parse(line.data(), line.size() - 1);
  ASSERT_FALSE(doc.HasParseError()) << line;
  const auto& fields = doc["fields"];
  EXPECT_EQ(fields["min"].GetInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(fields["max"].GetUint64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_DOUBLE_EQ(fields["big"].GetDouble(), 1e300);
  EXPECT_DOUBLE_EQ(fields["neg"].GetDouble(), -0.5);
  EXPECT_EQ(fields["f"].GetDouble(), static_cast<double>(0.1f));
}

// ---- The environment -------------------------------------------------------------

// Installs from the environment while standard output is captured; restores the
// variables afterwards.
class EnvironmentInit : public ::testing::Test {
 protected:
  void SetUp() override {
    kel_runtime::reset_tracing_for_tests();
    for (const char* name : {"KEL_LOG", "KEL_LOG_FORMAT", "NO_COLOR"}) {
      const char* value = std::getenv(name);
      saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
      ::unsetenv(name);
    }
  }
  void TearDown() override {
    kel_runtime::reset_tracing_for_tests();
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name, value->c_str(), 1);
      else
        ::unsetenv(name);
    }
  }

  static std::string run(const char* filter, const char* format) {
    if (filter) ::setenv("KEL_LOG", filter, 1);
    if (format) ::setenv("KEL_LOG_FORMAT", format, 1);
    ::testing::internal::CaptureStdout();
    kel_runtime::init_tracing();
    KEL_DEBUG(kReuse, "debug reuse");
    KEL_INFO("kel_exchange", "info exchange");
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_F(EnvironmentInit, FilterFromTheEnvironment) {
  const std::string out = run("kel_codegen::exchange::reuse=debug", nullptr);
  EXPECT_NE(out.find("DEBUG kel_codegen::exchange::reuse: debug reuse\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("info exchange"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << "captured output is not a terminal";
}

TEST_F(EnvironmentInit, AbsentFilterMeansInfo) {
  const std::string out = run(nullptr, nullptr);
  EXPECT_EQ(out.find("debug reuse"), std::string::npos) << out;
  EXPECT_NE(out.find(" INFO kel_exchange: info exchange\n"), std::string::npos) << out;
}

TEST_F(EnvironmentInit, JsonOnlyForTheExactWord) {
  EXPECT_EQ(run("info", "json").rfind("{\"timestamp\":", 0), 0u);
  for (const char* format : {"JSON", " json", "json ", "", "text"}) {
    kel_runtime::reset_tracing_for_tests();
    const std::string out = run("info", format);
    EXPECT_NE(out.find(" INFO kel_exchange: info exchange\n"), std::string::npos) << '"' << format << '"';
  }
}

}  // namespace
