// End-to-end behaviour of the benchmark loop: phase lines, dumps, relocation
// and its errors, and identical output from separate processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "ProcessRunner.h"

namespace {

namespace fs = std::filesystem;
using kel_tests::testing::run_process;

const std::string kBinary = KEL_BENCH_BINARY;
const std::string kExample = std::string(KEL_SOURCE_DIR) + "/examples/small.json";

std::string without_timings(const std::string& out) {
  return std::regex_replace(out, std::regex("Ms=[0-9]+\\.[0-9]+"), "Ms=T");
}

// Phase 5 pairs its broadcast under width selection; phase 6 already holds a
// paired transfer.
constexpr const char* kConvertible = R"({"schema_version":3,"tile_count":16,"phases":[
  {"phase":5,"transfers":[
    {"source":0,"source_addresses":[4096],"destinations":[{"tile":10,"address":16384},{"tile":11,"address":16384},
      {"tile":12,"address":24576},{"tile":13,"address":24576}],"words":1024,"width":"Word32"},
    {"source":2,"source_addresses":[4096],"destinations":[{"tile":3,"address":8192}],"words":300,"width":"Word32"},
    {"source":3,"source_addresses":[6144],"destinations":[{"tile":2,"address":8192}],"words":280,"width":"Word32"}]}]})";
constexpr const char* kPairedCapture = R"({"schema_version":3,"tile_count":16,"phases":[
  {"phase":6,"transfers":[
    {"source":0,"source_addresses":[4096],"destinations":[{"tile":10,"address":16384},{"tile":11,"address":16384}],
     "words":256,"width":"Paired64"}]}]})";

std::string field(const std::string& out, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(name + "=([^ \\n]+)"))) return "";
  return m[1];
}

class BenchRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kel-run-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path) << content;
    return path.string();
  }
  fs::path dir_;
};

TEST_F(BenchRun, EveryPhaseLineEndsInPass) {
  const auto result = run_process(kBinary, {kExample, "--iterations", "3", "--warmup", "1"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::regex line(
      "phase=[0-9]+ transfers=[0-9]+ destinations=[0-9]+ initialHorizonCycles=[0-9]+ horizonCycles=[0-9]+ "
      "endpointLowerBoundCycles=[0-9]+ lowerBoundGapCycles=[0-9]+ neighborhoodImprovements=[0-9]+ rowWords=[0-9]+ "
      "maximumRowWords=[0-9]+ scheduleCodegenMinMs=[0-9]+\\.[0-9]{3} scheduleCodegenMedianMs=[0-9]+\\.[0-9]{3} "
      "scheduleCodegenP95Ms=[0-9]+\\.[0-9]{3} scheduleCodegenMaxMs=[0-9]+\\.[0-9]{3} "
      "validationMedianMs=[0-9]+\\.[0-9]{3} reused=false rowFingerprint=[0-9a-f]{16} invariants=PASS");
  std::size_t phases = 0;
  std::istringstream lines(result.out);
  for (std::string l; std::getline(lines, l);)
    if (l.starts_with("phase=")) {
      EXPECT_TRUE(std::regex_match(l, line)) << l;
      ++phases;
    }
  EXPECT_EQ(phases, 3u);
}

TEST_F(BenchRun, SeparateProcessesPrintTheSameFigures) {
  const auto a = run_process(kBinary, {kExample, "--iterations", "2", "--dump-tile", "4"});
  const auto b = run_process(kBinary, {kExample, "--iterations", "2", "--dump-tile", "4"});
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(without_timings(a.out), without_timings(b.out));
  EXPECT_NE(a.out.find("phase=2 logicalTile=4 transfer=0 Send"), std::string::npos) << a.out;

  // Every bundled example, directly and with width selection where it applies.
  std::size_t examples = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(KEL_SOURCE_DIR) / "examples")) {
    if (entry.path().extension() != ".json") continue;
    ++examples;
    const std::string path = entry.path().string();
    for (const bool select : {false, true}) {
      std::vector<std::string> args{path, "--dump-tile", "1"};
      if (select) args.insert(args.end(), {"--select-widths", "--replay-cache"});
      const auto first = run_process(kBinary, args);
      const auto second = run_process(kBinary, args);
      SCOPED_TRACE(path + (select ? " --select-widths --replay-cache" : ""));
      if (select && first.status == 1 &&
          first.first_err_line().ends_with("width selection requires an ordinary-transfer capture"))
        continue;  // the example holds paired transfers
      ASSERT_EQ(first.status, 0) << first.err;
      EXPECT_EQ(without_timings(first.out), without_timings(second.out));
    }
  }
  EXPECT_GE(examples, 2u);
}

TEST_F(BenchRun, RunErrorsEndTheProgramAfterEarlierOutput) {
  struct Case {
    const char* name;
    std::string snapshot;
    std::vector<std::string> args;
    std::string first_err_line;
  } cases[] = {
      {"iterations beyond memory", kExample, {"--iterations", "18446744073709551615"},
       "Error: --iterations 18446744073709551615 needs more memory for timing samples than is available"},
      {"population of a paired capture", write("paired.json", kPairedCapture), {"--replay-cache"},
       "Error: invalid exchange-schedule snapshot: width selection requires an ordinary-transfer capture"},
      {"dump tile beyond the tiles", kExample, {"--dump-tile", "8"}, "Error: logical tile 8 is out of range"},
      {"relocated overflow",
       write("high.json", R"({"schema_version":3,"tile_count":2,"phases":[{"phase":1,"transfers":[
         {"source":0,"source_addresses":[4294967288],"destinations":[{"tile":1,"address":0}],"words":1,"width":"Word32"}]}]})"),
       {"--relocate-by", "8"},
       "Error: relocated address overflow"},
      {"relocation unaligned", kExample, {"--relocate-by", "2", "--phase", "1"},
       "Error: invalid exchange-schedule snapshot: phase 1 transfer 0 has unaligned source address 0x1002"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = run_process(kBinary, [&] {
      std::vector<std::string> args{c.snapshot};
      args.insert(args.end(), c.args.begin(), c.args.end());
      return args;
    }());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.first_err_line(), c.first_err_line) << result.err;
    EXPECT_TRUE(result.out.starts_with("snapshot=")) << result.out;
    EXPECT_EQ(result.out.find("totalMs="), std::string::npos);
  }
}

TEST_F(BenchRun, RelocationMovesEveryAddress) {
  const auto plain = run_process(kBinary, {kExample, "--phase", "1", "--dump-tile", "0"});
  const auto moved = run_process(kBinary, {kExample, "--phase", "1", "--dump-tile", "0", "--relocate-by", "4096"});
  ASSERT_EQ(moved.status, 0) << moved.err;
  EXPECT_NE(plain.out.find("address=0x1000 words=16"), std::string::npos) << plain.out;
  EXPECT_NE(moved.out.find("address=0x2000 words=16"), std::string::npos) << moved.out;
}

// The cached runs: width selection picks the paired broadcast; a warmed cache
// replays it after the buffers moved, and only cached runs can be reused.
TEST_F(BenchRun, CachedRunsSelectWidthsAndReplayRecipes) {
  const std::string snapshot = write("convertible.json", kConvertible);
  const auto direct = run_process(kBinary, {snapshot});
  const auto selected = run_process(kBinary, {snapshot, "--select-widths", "--iterations", "2"});
  const auto replayed = run_process(
      kBinary, {snapshot, "--select-widths", "--replay-cache", "--relocate-by", "262144", "--warmup", "1",
                "--iterations", "2"},
      {{"KEL_LOG", "kel_codegen::exchange::reuse=debug"}, {"NO_COLOR", "1"}});
  const auto population_only = run_process(kBinary, {snapshot, "--replay-cache"});
  for (const auto* result : {&direct, &selected, &replayed, &population_only}) {
    ASSERT_EQ(result->status, 0) << result->err;
    EXPECT_NE(result->out.find("invariants=PASS"), std::string::npos) << result->out;
  }
  EXPECT_LT(std::stoul(field(selected.out, "horizonCycles")), std::stoul(field(direct.out, "horizonCycles")));
  EXPECT_EQ(field(selected.out, "reused"), "false");
  EXPECT_EQ(field(replayed.out, "reused"), "true");
  EXPECT_EQ(field(replayed.out, "horizonCycles"), field(selected.out, "horizonCycles"));
  EXPECT_EQ(field(replayed.out, "neighborhoodImprovements"), "0");
  EXPECT_EQ(field(population_only.out, "reused"), "false");
  EXPECT_EQ(field(population_only.out, "rowFingerprint"), field(direct.out, "rowFingerprint"));

  // One replay per warm-up and timed run, nothing else from the cache.
  std::istringstream lines(replayed.out);
  std::size_t events = 0;
  for (std::string l; std::getline(lines, l);) {
    if (l.find("kel_codegen::exchange::reuse") == std::string::npos) continue;
    EXPECT_TRUE(l.ends_with(" INFO kel_codegen::exchange::reuse: reused exchange optimization after validating "
                            "relocated rows phase=5"))
        << l;
    ++events;
  }
  EXPECT_EQ(events, 3u) << replayed.out;
}

}  // namespace
