// Filter directives: parsing, hierarchical target coverage, most-specific-wins
// and the fallbacks, checked by table and against a naive reference model.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kel_runtime/LogFilter.h"

namespace {

using kel_runtime::Level;
using kel_runtime::LogFilter;

constexpr const char* kReuse = "kel_codegen::exchange::reuse";
constexpr const char* kOrder = "kel_codegen::exchange::order";

struct EnabledCase {
  const char* filter;
  Level level;
  const char* target;
  bool enabled;
};

void PrintTo(const EnabledCase& c, std::ostream* os) {
  *os << '"' << c.filter << "\" level=" << static_cast<int>(c.level) << " target=" << c.target;
}

class FilterEnabled : public ::testing::TestWithParam<EnabledCase> {};

TEST_P(FilterEnabled, MatchesExpectation) {
  const EnabledCase& c = GetParam();
  const auto filter = LogFilter::parse(c.filter);
  ASSERT_TRUE(filter.has_value());
  EXPECT_EQ(filter->enabled(c.level, c.target), c.enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FilterEnabled,
    ::testing::Values(
        // Empty or only empty directives: ERROR only, everywhere.
        EnabledCase{"", Level::Error, "kel_exchange", true}, EnabledCase{"", Level::Warn, "kel_exchange", false},
        EnabledCase{" , ,,", Level::Error, kReuse, true}, EnabledCase{" , ,,", Level::Warn, kReuse, false},
        // Bare levels, any case.
        EnabledCase{"debug", Level::Debug, "anything", true}, EnabledCase{"debug", Level::Trace, "anything", false},
        EnabledCase{"DeBuG", Level::Debug, kReuse, true}, EnabledCase{"WARN", Level::Info, kReuse, false},
        EnabledCase{"warn", Level::Warn, kReuse, true}, EnabledCase{"trace", Level::Trace, kOrder, true},
        EnabledCase{"off", Level::Error, kReuse, false}, EnabledCase{"OFF", Level::Error, "x", false},
        // A target directive covers the path and everything below, not siblings sharing a prefix.
        EnabledCase{"kel_codegen=debug", Level::Debug, "kel_codegen", true},
        EnabledCase{"kel_codegen=debug", Level::Debug, kReuse, true},
        EnabledCase{"kel_codegen=debug", Level::Trace, kReuse, false},
        EnabledCase{"kel_codegen=debug", Level::Debug, "kel_codegenx", false},
        EnabledCase{"kel_codegen=debug", Level::Error, "kel_codegenx", true},
        EnabledCase{"kel_codegen=debug", Level::Warn, "kel_exchange", false},
        EnabledCase{"kel_codegen::exch=debug", Level::Debug, "kel_codegen::exchange", false},
        EnabledCase{"kel_codegen::exchange::reuse=debug", Level::Debug, kReuse, true},
        EnabledCase{"kel_codegen::exchange::reuse=debug", Level::Info, "kel_codegen::exchange", false},
        EnabledCase{"kel_codegen::exchange::reuse=debug", Level::Info, kOrder, false},
        // The longest matching target wins, whatever the order of directives.
        EnabledCase{"info,kel_codegen=debug,kel_codegen::exchange=warn", Level::Info, kOrder, false},
        EnabledCase{"info,kel_codegen=debug,kel_codegen::exchange=warn", Level::Warn, kOrder, true},
        EnabledCase{"kel_codegen::exchange=warn,kel_codegen=debug,info", Level::Info, kOrder, false},
        EnabledCase{"kel_codegen::exchange=warn,kel_codegen=debug,info", Level::Debug, "kel_codegen::other", true},
        EnabledCase{"info,kel_codegen=debug,kel_codegen::exchange=warn", Level::Info, "kel_exchange", true},
        EnabledCase{"info,kel_codegen=debug,kel_codegen::exchange=warn", Level::Debug, "kel_exchange", false},
        // A bare target admits every level for its subtree.
        EnabledCase{"kel_exchange", Level::Trace, "kel_exchange::diagnostic", true},
        EnabledCase{"kel_exchange", Level::Warn, "kel_codegen", false},
        // "off" for a subtree silences it even below a permissive default.
        EnabledCase{"trace,kel_exchange=off", Level::Error, "kel_exchange::diagnostic", false},
        EnabledCase{"trace,kel_exchange=off", Level::Trace, "kel_codegen", true},
        // Later directives for the same target (or a later bare level) replace earlier ones.
        EnabledCase{"warn,info", Level::Info, "x", true}, EnabledCase{"info,warn", Level::Info, "x", false},
        EnabledCase{"kel=debug,kel=warn", Level::Info, "kel", false},
        EnabledCase{"kel=warn,kel=debug", Level::Debug, "kel::a", true},
        // Whitespace around directives and around either side of '=' is ignored.
        EnabledCase{" kel_codegen = Debug , warn ", Level::Debug, kReuse, true},
        EnabledCase{" kel_codegen = Debug , warn ", Level::Info, "kel_exchange", false},
        // A bare word that is not a level name is a target, not a typo of a level.
        EnabledCase{"warning", Level::Trace, "warning::x", true}, EnabledCase{"warning", Level::Warn, "kel", false},
        // Non-ASCII targets are fine as long as the text is UTF-8.
        EnabledCase{"m\xC3\xB6" "dul=info", Level::Info, "m\xC3\xB6" "dul::x", true}));

TEST(LogFilterParse, RejectsMalformedDirectivesAsAWhole) {
  for (const char* text : {"kel_codegen=loud", "=debug", " = info", "kel=", "kel=debug=x", "info,kel=trace x",
                           "kel codegen=debug", "kel_codegen:exchange=debug", "kel_codegen::=debug", "::kel=debug",
                           "kel:::x=debug", "kel[span]=debug", "kel{f=1}=debug", "debug,kel=loud", "info,kel=warning",
                           "\xFF", "kel\xC0\xAF=debug", "kel=\xE2\x82"}) {
    EXPECT_FALSE(LogFilter::parse(text).has_value()) << '"' << text << '"';
  }
}

TEST(LogFilterParse, KeepsDirectivesUniqueAndLongestFirst) {
  const auto filter = LogFilter::parse("a=info,kel_codegen::exchange=warn,b=error,kel_codegen=debug,a=trace,zz=off");
  ASSERT_TRUE(filter.has_value());
  const std::vector<LogFilter::Directive> expected{
      {"kel_codegen::exchange", Level::Warn}, {"kel_codegen", Level::Debug}, {"zz", std::nullopt},
      {"a", Level::Trace},                    {"b", Level::Error},
  };
  EXPECT_EQ(filter->directives(), expected);
  EXPECT_EQ(filter->default_level(), Level::Error);
}

TEST(LogFilterParse, InfoFallbackAdmitsInfoAndAboveEverywhere) {
  const LogFilter info = LogFilter::info();
  EXPECT_TRUE(info.enabled(Level::Info, kReuse));
  EXPECT_TRUE(info.enabled(Level::Error, ""));
  EXPECT_FALSE(info.enabled(Level::Debug, kReuse));
  EXPECT_EQ(info, *LogFilter::parse("info"));
}

TEST(LogFilterMaxLevel, IsTheMostVerboseLevelAnyDirectiveAdmits) {
  struct Case {
    const char* filter;
    std::optional<Level> max;
  };
  for (const Case& c : {Case{"", Level::Error}, Case{"off", std::nullopt}, Case{"off,kel=off", std::nullopt},
                        Case{"warn", Level::Warn}, Case{"off,kel=debug", Level::Debug},
                        Case{"info,kel=warn", Level::Info}, Case{"kel", Level::Trace},
                        Case{"error,a=info,b::c=debug", Level::Debug}}) {
    const auto filter = LogFilter::parse(c.filter);
    ASSERT_TRUE(filter.has_value()) << c.filter;
    EXPECT_EQ(filter->max_level(), c.max) << '"' << c.filter << '"';
  }
}

// Reference model: scan every directive in order; among those whose target is
// the event target or an ancestor module, the longest wins, a later one
// replacing an earlier one of the same target.
struct ModelDirective {
  std::string target;  // empty for a bare level
  int min_level;       // 5 = off
};

bool model_enabled(const std::vector<ModelDirective>& directives, int level, const std::string& target) {
  int default_level = 4;
  int best_length = -1;
  int best_level = 5;
  for (const ModelDirective& d : directives) {
    if (d.target.empty()) {
      default_level = d.min_level;
      continue;
    }
    const bool covers =
        target == d.target || (target.size() > d.target.size() + 1 && target.compare(0, d.target.size(), d.target) == 0 &&
                               target.compare(d.target.size(), 2, "::") == 0);
    if (covers && static_cast<int>(d.target.size()) >= best_length) {
      best_length = static_cast<int>(d.target.size());
      best_level = d.min_level;
    }
  }
  return level >= (best_length >= 0 ? best_level : default_level);
}

TEST(LogFilterModel, AgreesWithReferenceOnRandomFilters) {
  const std::vector<std::string> targets{"kel_codegen",         "kel_codegen::exchange", kReuse, kOrder,
                                         "kel_exchange",        "kel_exchange::diagnostic", "kel", "kel_codegenx",
                                         "kel_codegen::exch"};
  const std::vector<std::string> level_words{"trace", "DEBUG", "Info", "warn", "error", "off"};
  std::mt19937 rng(20261211);
  for (int round = 0; round < 2000; ++round) {
    std::vector<ModelDirective> model;
    std::string text;
    const int count = static_cast<int>(rng() % 6);
    for (int i = 0; i < count; ++i) {
      if (!text.empty()) text += ',';
      const int level = static_cast<int>(rng() % 6);
      switch (rng() % 4) {
        case 0:  // bare level
          text += level_words[level];
          model.push_back({"", level});
          break;
        case 1: {  // bare target
          const std::string& t = targets[rng() % targets.size()];
          text += t;
          model.push_back({t, 0});
          break;
        }
        default: {
          const std::string& t = targets[rng() % targets.size()];
          text += t + "=" + level_words[level];
          model.push_back({t, level});
        }
      }
    }
    const auto filter = LogFilter::parse(text);
    ASSERT_TRUE(filter.has_value()) << text;
    int model_max = 6;
    for (int level = 0; level < 5; ++level) {
      for (const std::string& target : targets) {
        const bool expected = model_enabled(model, level, target);
        if (expected && level < model_max) model_max = level;
        ASSERT_EQ(filter->enabled(static_cast<Level>(level), target), expected)
            << "filter \"" << text << "\" level " << level << " target " << target;
      }
    }
    // max_level may only be more verbose than what these targets reveal, never less.
    const auto max = filter->max_level();
    if (model_max < 6) {
      ASSERT_TRUE(max.has_value()) << text;
      ASSERT_LE(static_cast<int>(*max), model_max) << text;
    }
  }
}

}  // namespace
