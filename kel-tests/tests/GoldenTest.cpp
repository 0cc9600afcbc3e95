// End-to-end runs of the real binary against golden outputs computed by an
// independent implementation: timing figures become T and the snapshot path
// SNAPSHOT before comparing byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "ProcessRunner.h"

namespace {

namespace fs = std::filesystem;
using kel_tests::testing::run_process;
using kel_tests::testing::slurp;

const fs::path kGolden = fs::path(KEL_SOURCE_DIR) / ".." / "shared" / "golden";

struct GoldenCase {
  std::string name;
  std::string snapshot;
  std::vector<std::string> args;
};

std::vector<GoldenCase> golden_cases() {
  std::vector<GoldenCase> cases;
  std::ifstream in(kGolden / "cases.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    GoldenCase c;
    std::string args;
    std::getline(fields, c.name, '\t');
    std::getline(fields, c.snapshot, '\t');
    std::getline(fields, args);
    std::istringstream words(args);
    for (std::string word; words >> word;) c.args.push_back(word);
    cases.push_back(std::move(c));
  }
  return cases;
}

std::string normalise(std::string out, const std::string& snapshot) {
  out = std::regex_replace(out, std::regex("Ms=[0-9]+\\.[0-9]+"), "Ms=T");
  for (std::size_t at; (at = out.find("snapshot=" + snapshot + " ")) != std::string::npos;)
    out.replace(at, snapshot.size() + 10, "snapshot=SNAPSHOT ");
  return out;
}

TEST(Golden, OutputsMatch) {
  if (!fs::exists(kGolden / "cases.tsv")) GTEST_SKIP() << "no golden outputs beside the project";
  std::size_t compared = 0;
  for (const GoldenCase& c : golden_cases()) {
    SCOPED_TRACE(c.name);
    const std::string snapshot = (kGolden / c.snapshot).string();
    std::vector<std::string> args{snapshot};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = run_process(KEL_BENCH_BINARY, args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(normalise(result.out, snapshot), slurp(kGolden / (c.name + ".out")));
    ++compared;
  }
  EXPECT_GT(compared, 0u);
}

}  // namespace
