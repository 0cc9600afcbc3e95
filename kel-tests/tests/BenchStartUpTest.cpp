// End-to-end start-up behaviour of the real benchmark binary: messages, order
// of checks and exit statuses, tried as a user would.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <regex>

#include "ProcessRunner.h"

namespace {

namespace fs = std::filesystem;
using kel_tests::testing::run_process;

const std::string kBinary = KEL_BENCH_BINARY;

// Tiles 0..7; phases 3 and 7, each one small transfer; phase 3 reads three
// Repeat iterations.
constexpr const char* kTwoPhases = R"({"schema_version":3,"tile_count":8,"phases":[
 {"phase":7,"transfers":[{"source":0,"source_addresses":[0],"destinations":[{"tile":1,"address":0}],"words":4,"width":"Word32"}]},
 {"phase":3,"transfers":[{"source":2,"source_addresses":[0,64,128],"destinations":[{"tile":3,"address":4096}],"words":4,"width":"Word32"}]}]})";

class BenchStartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kel-startup-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  fs::path dir_;
};

struct ErrorCase {
  const char* name;
  const char* snapshot;  // nullptr: the path does not exist
  std::vector<std::string> args;
  std::string first_err_line;  // "{}" stands for the snapshot path
  int status;
};

TEST_F(BenchStartUp, ErrorsGiveTheirMessageAndStatus) {
  const std::vector<ErrorCase> cases = {
      {"iterations zero before open", nullptr, {"--iterations", "0"}, "Error: --iterations must be nonzero", 1},
      {"missing file", nullptr, {}, "Error: open {}", 1},
      {"empty file", "", {}, "Error: parse {}", 1},
      {"not json", "{\"schema_version\":3,", {}, "Error: parse {}", 1},
      {"trailing value", "{\"schema_version\":3,\"tile_count\":1,\"phases\":[]} 1", {}, "Error: parse {}", 1},
      {"tile count beyond 16 bits", "{\"schema_version\":3,\"tile_count\":65536,\"phases\":[]}", {},
       "Error: parse {}", 1},
      {"schema version", "{\"schema_version\":2,\"tile_count\":0,\"phases\":[]}", {},
       "Error: invalid exchange-schedule snapshot: unsupported schema version 2 (expected 3)", 1},
      {"tile count zero", "{\"schema_version\":3,\"tile_count\":0,\"phases\":[]}", {},
       "Error: invalid exchange-schedule snapshot: tile count 0 is outside the R817 topology", 1},
      {"tile count 1473", "{\"schema_version\":3,\"tile_count\":1473,\"phases\":[]}", {},
       "Error: invalid exchange-schedule snapshot: tile count 1473 is outside the R817 topology", 1},
      {"duplicate phase", "{\"schema_version\":3,\"tile_count\":4,\"phases\":[{\"phase\":5,\"transfers\":[]},"
                          "{\"phase\":5,\"transfers\":[]}]}",
       {}, "Error: invalid exchange-schedule snapshot: duplicate phase 5", 1},
      {"first-iteration cut after validation",
       "{\"schema_version\":3,\"tile_count\":4,\"phases\":[{\"phase\":5,\"transfers\":[{\"source\":0,"
       "\"source_addresses\":[0,6],\"destinations\":[{\"tile\":1,\"address\":0}],\"words\":1,\"width\":\"Word32\"}]}]}",
       {"--first-iteration-only"},
       "Error: invalid exchange-schedule snapshot: phase 5 transfer 0 has unaligned source address 0x6", 1},
      {"duplicate --phase", kTwoPhases, {"--phase", "7", "--phase", "7"},
       "Error: --phase contains a duplicate phase ID", 1},
      {"one --phase missing", kTwoPhases, {"--phase", "9", "--phase", "3"},
       "Error: snapshot does not contain phase 9", 1},
      {"missing named ascending", kTwoPhases, {"--phase", "9", "--phase", "4"},
       "Error: snapshot does not contain phase 4", 1},
      {"largest phase id", kTwoPhases, {"--phase", "4294967295"},
       "Error: snapshot does not contain phase 4294967295", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        c.snapshot ? write(std::string(c.name) + ".json", c.snapshot) : (dir_ / "does-not-exist.json").string();
    std::vector<std::string> args{path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = run_process(kBinary, args);
    std::string expected = c.first_err_line;
    if (auto at = expected.find("{}"); at != std::string::npos) expected.replace(at, 2, path);
    EXPECT_EQ(result.first_err_line(), expected) << result.err;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(BenchStartUp, OpenAndParseErrorsCarryTheirCause) {
  const auto missing = (dir_ / "nope.json").string();
  auto result = run_process(kBinary, {missing});
  EXPECT_EQ(result.err, "Error: open " + missing + "\n\nCaused by:\n    No such file or directory (os error 2)\n");

  const auto broken = write("broken.json", "{\n  \"schema_version\": 3,\n  \"tile_count\": 8\n}\n");
  result = run_process(kBinary, {broken});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.err.starts_with("Error: parse " + broken + "\n\nCaused by:\n    missing field `phases`"))
      << result.err;
  EXPECT_NE(result.err.find("line 4"), std::string::npos) << result.err;
}

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
};

TEST_F(BenchStartUp, UsageErrorsExitTwoOnStandardError) {
  const auto path = write("ok.json", kTwoPhases);
  const std::vector<UsageCase> cases = {
      {"no snapshot", {}},
      {"negative phase", {path, "--phase", "-1"}},
      {"phase beyond 32 bits", {path, "--phase", "4294967296"}},
      {"phase not a number", {path, "--phase", "x"}},
      {"phase without value", {path, "--phase"}},
      {"relocate beyond 32 bits", {path, "--relocate-by", "4294967296"}},
      {"warmup twice", {path, "--warmup", "1", "--warmup", "2"}},
      {"iterations twice", {path, "--iterations", "1", "--iterations", "1"}},
      {"flag twice", {path, "--select-widths", "--select-widths"}},
      {"flag with value", {path, "--first-iteration-only=true"}},
      {"one value per --phase", {path, "--phase", "1", "2"}},
      {"negative warmup", {path, "--warmup", "-3"}},
      {"dump tile not a number", {path, "--dump-tile", "1.5"}},
      {"unknown option", {path, "--verbose"}},
      {"short form", {path, "-i", "2"}},
      {"two snapshots", {path, path}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = run_process(kBinary, c.args);
    EXPECT_EQ(result.status, 2) << result.out << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("Usage"), std::string::npos) << result.err;
  }
}

TEST_F(BenchStartUp, HelpAndVersionGoToStandardOutput) {
  auto result = run_process(kBinary, {"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "kel-tests 0.1.0\n");
  result = run_process(kBinary, {"-V"});
  EXPECT_EQ(result.out, "kel-tests 0.1.0\n");

  result = run_process(kBinary, {"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::string help = result.out;
  std::size_t at = 0;
  // The help lists every option with its verbatim text, in this order.
  for (const char* text : {
           "Replay and validate production exchange scheduling without KEL hardware",
           "JSON snapshot written by kel-trivial-test --export-exchange-schedule",
           "--phase <PHASES>",
           "Restrict the benchmark to these physical exchange phase IDs",
           "--warmup <WARMUP>=0",
           "Untimed scheduler/codegen runs before measurement",
           "--iterations <ITERATIONS>=1",
           "Timed scheduler/codegen runs per selected phase",
           "--first-iteration-only",
           "Ignore sender addresses after the first Repeat iteration. This reproduces the unsafe scheduler "
           "behavior used before Repeat-aware memory-element hazard checking",
           "--select-widths",
           "Include the production comparison of ordinary and paired transfers",
           "--replay-cache",
           "Populate the production recipe cache before timing, then measure replay",
           "--relocate-by <RELOCATE_BY>=0",
           "Relocate every source/destination by this many bytes after cache warmup",
           "--dump-tile <DUMP_TILE>",
           "Decode the generated exchange program for this logical tile",
       }) {
    const auto found = help.find(text, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << text << "\n" << help;
    at = found + 1;
  }
}

TEST_F(BenchStartUp, HeaderReportsTheSelection) {
  const auto path = write("two.json", kTwoPhases);
  const std::regex total("totalMs=[0-9]+\\.[0-9]{3}\n");
  struct Case {
    std::vector<std::string> args;
    std::string header;
  } cases[] = {
      {{}, "tiles=8 phases=2 warmup=0 iterations=1 repeatAware=true"},
      {{"--phase", "3"}, "tiles=8 phases=1 warmup=0 iterations=1 repeatAware=true"},
      {{"--phase", "3", "--phase", "7", "--warmup", "2", "--iterations", "5"},
       "tiles=8 phases=2 warmup=2 iterations=5 repeatAware=true"},
      {{"--first-iteration-only"}, "tiles=8 phases=2 warmup=0 iterations=1 repeatAware=false"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = run_process(kBinary, args);
    ASSERT_EQ(result.status, 0) << result.err;
    const auto newline = result.out.find('\n');
    EXPECT_EQ(result.out.substr(0, newline), "snapshot=" + path + " " + c.header);
    EXPECT_TRUE(std::regex_search(result.out.substr(newline + 1), total)) << result.out;
  }

  const auto empty = write("empty-phases.json", R"({"schema_version":3,"tile_count":1,"phases":[]})");
  const auto result = run_process(kBinary, {empty});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(std::regex_match(result.out, std::regex("snapshot=" + empty +
                                                      " tiles=1 phases=0 warmup=0 iterations=1 repeatAware=true\n"
                                                      "totalMs=[0-9]+\\.[0-9]{3}\n")))
      << result.out;
}

TEST_F(BenchStartUp, BundledExampleRuns) {
  const auto result = run_process(kBinary, {std::string(KEL_SOURCE_DIR) + "/examples/small.json"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(result.out.starts_with("snapshot=")) << result.out;
}

}  // namespace

namespace {

// Every file of the public JSON parsing suite is either malformed JSON or not
// a snapshot: each must end in the parse error with status 1, never a crash.
TEST(BenchJsonSuite, EveryFileIsAParseError) {
  const fs::path suite = fs::path(KEL_SOURCE_DIR) / ".." / "shared" / "json-parsing-suite" / "test_parsing";
  if (!fs::is_directory(suite)) GTEST_SKIP() << "no JSON parsing suite beside the project";
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(suite)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    const auto result = run_process(kBinary, {file.string()});
    EXPECT_EQ(result.status, 1) << file;
    EXPECT_EQ(result.first_err_line(), "Error: parse " + file.string()) << result.err;
  }
}

}  // namespace
