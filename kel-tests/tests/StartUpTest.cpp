// Start-up in-process: what the first-iteration cut and the selection leave.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "kel_tests/StartUp.h"

namespace {

TEST(StartUp, FirstIterationOnlyKeepsTheFirstSourceAddressAndSelectsInSnapshotOrder) {
  const auto path = std::filesystem::temp_directory_path() / ("kel-startup-unit-" + std::to_string(::getpid()));
  std::ofstream(path) << R"({"schema_version":3,"tile_count":4,"phases":[
    {"phase":9,"transfers":[{"source":0,"source_addresses":[0,64,128],"destinations":[{"tile":1,"address":0}],
      "words":4,"width":"Word32"}]},
    {"phase":3,"transfers":[]}]})";
  kel_tests::Arguments args;
  args.snapshot = path.string();
  args.phases = {3, 9};

  auto full = kel_tests::load_benchmark(args);
  ASSERT_TRUE(full.has_value()) << full.error().render();
  EXPECT_EQ(full->snapshot.phases[0].transfers[0].source_addresses, (std::vector<std::uint32_t>{0, 64, 128}));
  EXPECT_EQ(full->selected, (std::vector<std::size_t>{0, 1}));

  args.first_iteration_only = true;
  args.phases = {3};
  auto cut = kel_tests::load_benchmark(args);
  ASSERT_TRUE(cut.has_value()) << cut.error().render();
  EXPECT_EQ(cut->snapshot.phases[0].transfers[0].source_addresses, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(cut->selected, (std::vector<std::size_t>{1}));
  std::filesystem::remove(path);
}

TEST(ErrorChain, RendersCausesNumberedOnlyWhenThereAreSeveral) {
  EXPECT_EQ(kel_tests::ErrorChain("plain").render(), "Error: plain\n");
  EXPECT_EQ(kel_tests::ErrorChain("root").context("outer").render(), "Error: outer\n\nCaused by:\n    root\n");
  EXPECT_EQ(kel_tests::ErrorChain("root").context("middle").context("outer").render(),
            "Error: outer\n\nCaused by:\n    0: middle\n    1: root\n");
}

}  // namespace
