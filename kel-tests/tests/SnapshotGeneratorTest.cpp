// The snapshot generator in process: determinism per seed, validity of every
// family over tile counts and word ranges (also after the relocation the
// address limit leaves room for), the shape each family promises, the JSON
// text read back by the snapshot reader, and the command line's errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/SchedulingProblem.h"
#include "kel_codegen/exchange/SnapshotReader.h"
#include "kel_exchange/Topology.h"
#include "kel_tests/PhaseRun.h"
#include "kel_tests/gen/GeneratorOptions.h"
#include "kel_tests/gen/GeneratorRandom.h"
#include "kel_tests/gen/SnapshotGenerator.h"
#include "kel_tests/gen/SnapshotWriter.h"
#include "kel_tests/gen/TileMemory.h"
#include "kel_tests/gen/TransferWords.h"

namespace {

using namespace kel_tests::gen;
using kel_codegen::exchange::ExchangeItemWidth;
using kel_codegen::exchange::ExchangeScheduleProblem;
using kel_codegen::exchange::ExchangeScheduleSnapshot;
using kel_codegen::exchange::ExchangeScheduleTransfer;

GeneratorOptions options_for(WorkloadFamily family, std::uint16_t tiles, std::uint32_t phases = 3,
                             std::uint32_t transfers = 48, std::uint64_t seed = 7) {
  GeneratorOptions o;
  o.family = family;
  o.tiles = tiles;
  o.phases = phases;
  o.transfers = transfers;
  o.seed = seed;
  return o;
}

ExchangeScheduleSnapshot generated(const GeneratorOptions& options) {
  auto snapshot = generate_checked_snapshot(options);
  EXPECT_TRUE(snapshot.has_value()) << (snapshot ? "" : snapshot.error().render());
  return snapshot ? std::move(*snapshot) : ExchangeScheduleSnapshot{};
}

bool is_paired_family(WorkloadFamily f) { return workload_family_needs_paired_words(f); }

// --- determinism -----------------------------------------------------------

TEST(SnapshotGenerator, SameOptionsGiveTheSameSnapshotAndOtherSeedsDiffer) {
  for (const WorkloadFamily family : kWorkloadFamilies) {
    SCOPED_TRACE(workload_family_name(family));
    const auto options = options_for(family, 64);
    const auto a = generate_snapshot(options);
    EXPECT_EQ(a, generate_snapshot(options));
    EXPECT_EQ(format_snapshot(a), format_snapshot(generate_snapshot(options)));
    auto reseeded = options;
    reseeded.seed = 8;
    EXPECT_NE(a, generate_snapshot(reseeded));
  }
}

TEST(SnapshotGenerator, MorePhasesKeepTheEarlierOnes) {
  for (const WorkloadFamily family : {WorkloadFamily::Mix, WorkloadFamily::Broadcast}) {
    const auto few = generate_snapshot(options_for(family, 32, 3));
    const auto many = generate_snapshot(options_for(family, 32, 9));
    ASSERT_EQ(many.phases.size(), 9u);
    EXPECT_TRUE(std::equal(few.phases.begin(), few.phases.end(), many.phases.begin()));
  }
}

TEST(SnapshotGenerator, PhaseIdsAscendAndAreUnique) {
  const auto s = generate_snapshot(options_for(WorkloadFamily::Mix, 16, 40, 4));
  for (std::size_t i = 1; i < s.phases.size(); ++i) EXPECT_LT(s.phases[i - 1].phase, s.phases[i].phase);
}

// --- validity over sizes and word ranges ------------------------------------

struct WordRange {
  std::uint32_t min;
  std::uint32_t max;
};

TEST(SnapshotGenerator, EveryFamilyValidatesAtEveryTileCountAndWordRange) {
  const std::uint16_t tile_counts[] = {1, 2, 3, 4, 5, 46, 47, 1472};
  const WordRange ranges[] = {{1, 1024}, {1, 8}, {128, 128}, {129, 131}, {4148, 4148}, {1, 4148}};
  for (const WorkloadFamily family : kWorkloadFamilies)
    for (const std::uint16_t tiles : tile_counts)
      for (const WordRange range : ranges) {
        auto options = options_for(family, tiles, 2, tiles == 1472 ? 96 : 40);
        options.min_words = range.min;
        options.max_words = range.max;
        if (check_generator_options(options)) {
          // Only the paired families refuse a range, and only one without
          // an even count of at least 128 words.
          EXPECT_TRUE(is_paired_family(family) && !TransferWords(range.min, range.max).has_paired());
          continue;
        }
        SCOPED_TRACE(::testing::Message() << workload_family_name(family) << " tiles=" << tiles << " words="
                                          << range.min << ".." << range.max);
        const auto s = generated(options);
        ASSERT_EQ(s.tile_count, tiles);
        ASSERT_EQ(s.phases.size(), 2u);
        for (const auto& phase : s.phases) {
          if (tiles == 1) {
            EXPECT_TRUE(phase.transfers.empty());
          } else if (family != WorkloadFamily::Mix &&
                     (family != WorkloadFamily::PairedConvertible || tiles >= 4)) {
            // Families that can send fill the phase exactly.
            EXPECT_EQ(phase.transfers.size(), options.transfers);
          }
          for (const auto& t : phase.transfers) {
            EXPECT_GE(t.words, range.min);
            EXPECT_LE(t.words, range.max);
            for (const std::uint32_t a : t.source_addresses) EXPECT_LE(a + 4 * t.words, kGeneratedAddressLimit);
            for (const auto& d : t.destinations) EXPECT_LE(d.address + 4 * t.words, kGeneratedAddressLimit);
          }
        }
      }
}

TEST(SnapshotGenerator, SnapshotsStayValidWhenRelocatedByTheHeadroom) {
  // The relocation moves lower-region blocks into the coarser upper region,
  // where a loopback may come to share an element with its own reads.
  for (const WorkloadFamily family : kWorkloadFamilies)
    for (const std::uint64_t seed : {1, 2, 3}) {
      SCOPED_TRACE(::testing::Message() << workload_family_name(family) << " seed=" << seed);
      auto options = options_for(family, 64, 4, 150, seed);
      options.max_words = 4148;
      auto s = generated(options);
      for (auto& phase : s.phases) {
        auto moved = kel_tests::relocate_problem(phase, kRelocationHeadroom);
        ASSERT_TRUE(moved.has_value());
        phase = std::move(*moved);
      }
      const auto checked = check_generated_snapshot(s);
      EXPECT_TRUE(checked.has_value()) << (checked ? "" : checked.error().render());
    }
}

TEST(SnapshotGenerator, ValidationFailureIsReportedWithTheLoweringError) {
  ExchangeScheduleSnapshot s;
  s.schema_version = 3;
  s.tile_count = 4;
  s.phases.push_back({5, {{0, {2}, {{1, 0}}, 1, ExchangeItemWidth::Word32}}});
  const auto checked = check_generated_snapshot(s);
  ASSERT_FALSE(checked.has_value());
  EXPECT_EQ(checked.error().render(),
            "Error: generated snapshot failed validation\n\nCaused by:\n    invalid exchange-schedule snapshot: "
            "phase 5 transfer 0 has unaligned source address 0x2\n");
}

// --- family shapes ----------------------------------------------------------

const ExchangeScheduleProblem& only_phase(const ExchangeScheduleSnapshot& s) {
  EXPECT_EQ(s.phases.size(), 1u);
  return s.phases.front();
}

TEST(SnapshotGenerator, PermutationSendsAndReceivesOneBlockPerTile) {
  for (const std::uint16_t tiles : {2, 3, 64, 1472}) {
    const auto s = generated(options_for(WorkloadFamily::Permutation, tiles, 1, tiles));
    std::vector<int> sends(tiles), receives(tiles);
    for (const auto& t : only_phase(s).transfers) {
      ASSERT_EQ(t.destinations.size(), 1u);
      EXPECT_NE(t.source, t.destinations[0].tile);
      ++sends[t.source];
      ++receives[t.destinations[0].tile];
    }
    EXPECT_TRUE(std::ranges::all_of(sends, [](int n) { return n == 1; }));
    EXPECT_TRUE(std::ranges::all_of(receives, [](int n) { return n == 1; }));
  }
}

TEST(SnapshotGenerator, HaloAndAllToAllExchangeInBothDirections) {
  for (const WorkloadFamily family : {WorkloadFamily::Halo, WorkloadFamily::AllToAll}) {
    // Every edge of a full round appears in both directions; only the last,
    // cut round may miss some.
    const auto s = generated(options_for(family, 16, 1, 2000));
    std::set<std::pair<int, int>> edges;
    for (const auto& t : only_phase(s).transfers) edges.insert({t.source, t.destinations[0].tile});
    std::size_t one_way = 0;
    for (const auto& [a, b] : edges) one_way += !edges.contains({b, a});
    EXPECT_EQ(one_way, 0u) << workload_family_name(family);
  }
}

TEST(SnapshotGenerator, BroadcastsReachHundredsOfTilesAndSometimesTheirSource) {
  const auto s = generated(options_for(WorkloadFamily::Broadcast, 1472, 1, 200));
  std::size_t widest = 0, loopbacks = 0, repeated = 0;
  for (const auto& t : only_phase(s).transfers) {
    widest = std::max(widest, t.destinations.size());
    loopbacks += std::ranges::any_of(t.destinations, [&](const auto& d) { return d.tile == t.source; });
    repeated += t.source_addresses.size() > 1;
    // A weight buffer sits at one address on every receiver.
    EXPECT_TRUE(std::ranges::all_of(t.destinations, [&](const auto& d) { return d.address == t.destinations[0].address; }));
  }
  EXPECT_GE(widest, 200u);
  EXPECT_GT(loopbacks, 10u);
  EXPECT_GT(repeated, 10u);
}

TEST(SnapshotGenerator, ReduceScatterStepsReadSeveralRepeatIterations) {
  const auto s = generated(options_for(WorkloadFamily::ReduceScatter, 64, 1, 128));
  for (const auto& t : only_phase(s).transfers) {
    EXPECT_GE(t.source_addresses.size(), 2u);
    EXPECT_EQ(t.destinations.size(), 1u);
  }
}

TEST(SnapshotGenerator, OverlapPhasesHaveDependenciesAndSharedElements) {
  const auto s = generated(options_for(WorkloadFamily::Overlap, 16, 1, 200));
  auto pending = kel_codegen::exchange::pending_from_problem(only_phase(s), s.tile_count);
  ASSERT_TRUE(pending.has_value());
  const auto problem = kel_codegen::exchange::SchedulingProblem::create(*pending, s.tile_count);
  std::size_t chained = 0;
  for (std::size_t i = 0; i < problem.transfer_count(); ++i)
    // A transfer with a predecessor that itself has one: a chain of three.
    chained += std::ranges::any_of(problem.predecessors(i),
                                   [&](std::size_t p) { return !problem.predecessors(p).empty(); });
  EXPECT_GT(problem.edge_count(), 100u);
  EXPECT_GT(chained, 20u);
}

TEST(SnapshotGenerator, PairedConvertibleTransfersHaveAPairedForm) {
  const auto topology = kel_exchange::Topology::r817_prefix(64).value();
  const auto s = generated(options_for(WorkloadFamily::PairedConvertible, 64, 2, 100));
  for (const auto& phase : s.phases)
    for (const auto& t : phase.transfers) {
      EXPECT_EQ(t.width, ExchangeItemWidth::Word32);
      EXPECT_TRUE(t.words >= 128 && t.words % 2 == 0) << t.words;
      EXPECT_TRUE(std::ranges::all_of(t.source_addresses, [](std::uint32_t a) { return a % 8 == 0; }));
      ASSERT_EQ(t.destinations.size() % 2, 0u);
      std::vector<std::uint16_t> receivers;
      for (std::size_t i = 0; i < t.destinations.size(); i += 2) {
        const auto& a = t.destinations[i];
        const auto& b = t.destinations[i + 1];
        EXPECT_EQ(b.tile, a.tile ^ 1);
        EXPECT_EQ(a.address, b.address);
        EXPECT_EQ(a.address % 8, 0u);
        EXPECT_NE(a.tile / 2, t.source / 2);
        receivers.push_back(a.tile);
        receivers.push_back(b.tile);
      }
      EXPECT_TRUE(topology.paired_multicast(t.source, receivers, t.words / 2).has_value());
    }
}

TEST(SnapshotGenerator, PairedPhasesShareReceiversWithOrdinaryTransfers) {
  const auto s = generated(options_for(WorkloadFamily::Paired, 1472, 1, 120));
  std::set<std::uint16_t> paired_receivers;
  std::size_t paired = 0;
  for (const auto& t : only_phase(s).transfers)
    if (t.width == ExchangeItemWidth::Paired64) {
      ++paired;
      for (const auto& d : t.destinations) paired_receivers.insert(d.tile);
    }
  std::size_t shared = 0;
  for (const auto& t : only_phase(s).transfers)
    if (t.width == ExchangeItemWidth::Word32)
      shared += std::ranges::any_of(t.destinations, [&](const auto& d) { return paired_receivers.contains(d.tile); });
  EXPECT_GT(paired, 30u);
  EXPECT_GT(shared, 30u);
}

TEST(SnapshotGenerator, MixCombinesFamiliesAndLeavesSomePhasesEmpty) {
  const auto s = generated(options_for(WorkloadFamily::Mix, 64, 64, 80));
  std::size_t empty = 0, multicasts = 0, repeats = 0, paired = 0;
  for (const auto& phase : s.phases) {
    empty += phase.transfers.empty();
    EXPECT_LE(phase.transfers.size(), 80u);
    for (const auto& t : phase.transfers) {
      multicasts += t.destinations.size() > 1;
      repeats += t.source_addresses.size() > 1;
      paired += t.width == ExchangeItemWidth::Paired64;
    }
  }
  EXPECT_GE(empty, 1u);
  EXPECT_LT(empty, 16u);
  EXPECT_GT(multicasts, 0u);
  EXPECT_GT(repeats, 0u);
  EXPECT_GT(paired, 0u);
}

// --- building blocks --------------------------------------------------------

TEST(GeneratorRandom, DrawsStayInTheirRanges) {
  GeneratorRandom rng(99);
  std::map<std::uint32_t, int> seen;
  for (int i = 0; i < 20000; ++i) {
    const std::uint32_t b = rng.between(3, 9);
    ASSERT_TRUE(b >= 3 && b <= 9);
    ++seen[b];
    const std::uint32_t l = rng.log_uniform(5, 3000);
    ASSERT_TRUE(l >= 5 && l <= 3000);
    ASSERT_LT(rng.below(1), 1u);
  }
  EXPECT_EQ(seen.size(), 7u);
  // Rejection keeps the draws fair: every value near its share of 1/7.
  for (const auto& [value, count] : seen) EXPECT_NEAR(count, 20000 / 7, 300) << value;
  EXPECT_NE(GeneratorRandom::derived(1, 1).next(), GeneratorRandom::derived(1, 2).next());
}

TEST(TransferWords, PairedDrawsAreEvenAndInRange) {
  GeneratorRandom rng(5);
  const WordRange ranges[] = {{1, 4148}, {129, 131}, {128, 128}, {1, 4147}, {200, 300}};
  for (const WordRange r : ranges) {
    const TransferWords words(r.min, r.max);
    ASSERT_TRUE(words.has_paired());
    for (int i = 0; i < 2000; ++i) {
      const std::uint32_t w = words.draw_paired(rng, 128, 4096);
      ASSERT_TRUE(w % 2 == 0 && w >= 128 && w >= r.min && w <= r.max) << w;
      const std::uint32_t v = words.draw(rng, 5000, 6000);  // outside: the whole range
      ASSERT_TRUE(v >= r.min && v <= r.max) << v;
    }
  }
  EXPECT_FALSE(TransferWords(1, 127).has_paired());
  EXPECT_FALSE(TransferWords(129, 129).has_paired());
}

TEST(TileMemory, BlocksAreAlignedDisjointUntilTheyWrapAndCommonAddressesAreFree) {
  GeneratorRandom rng(3);
  TileMemory memory(4, rng);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;
  for (int i = 0; i < 20; ++i) {
    const std::uint32_t bytes = 4 * rng.between(1, 4148);
    const std::uint32_t at = memory.allocate(1, bytes, 8);
    EXPECT_EQ(at % 8, 0u);
    EXPECT_LE(at + bytes, kGeneratedAddressLimit);
    for (const auto& [a, n] : blocks) EXPECT_TRUE(at >= a + n || at + bytes <= a);
    blocks.push_back({at, bytes});
  }
  const std::uint16_t tiles[] = {0, 1, 3};
  const std::uint32_t common = memory.allocate_common(tiles, 4096, 64);
  EXPECT_EQ(common % 64, 0u);
  for (const auto& [a, n] : blocks) EXPECT_TRUE(common >= a + n || common + 4096 <= a);
  // The limit is never passed: a full tile wraps to the bottom.
  for (int i = 0; i < 100; ++i) EXPECT_LE(memory.allocate(2, 16592, 8) + 16592, kGeneratedAddressLimit);
}

// --- JSON text --------------------------------------------------------------

TEST(SnapshotWriter, TextReadsBackAsTheSameSnapshot) {
  for (const WorkloadFamily family : kWorkloadFamilies) {
    SCOPED_TRACE(workload_family_name(family));
    const auto s = generate_snapshot(options_for(family, 16, 3, 20));
    const auto parsed = kel_codegen::exchange::parse_snapshot(format_snapshot(s));
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    EXPECT_EQ(*parsed, s);
  }
}

TEST(SnapshotWriter, WritesEmptyPhasesAndEmptySnapshots) {
  ExchangeScheduleSnapshot s{3, 2, {}};
  EXPECT_EQ(format_snapshot(s), "{\"schema_version\": 3, \"tile_count\": 2, \"phases\": []}\n");
  s.phases.push_back({4, {}});
  s.phases.push_back({6, {{1, {8, 16}, {{0, 32}}, 2, ExchangeItemWidth::Paired64}}});
  EXPECT_EQ(format_snapshot(s),
            "{\"schema_version\": 3, \"tile_count\": 2, \"phases\": [\n"
            "  {\"phase\": 4, \"transfers\": []},\n"
            "  {\"phase\": 6, \"transfers\": [\n"
            "    {\"source\": 1, \"source_addresses\": [8, 16], \"destinations\": [{\"tile\": 0, \"address\": 32}], "
            "\"words\": 2, \"width\": \"Paired64\"}\n"
            "  ]}\n"
            "]}\n");
}

TEST(SnapshotWriter, LargeSnapshotsStreamIdenticallyToAFile) {
  const auto s = generate_snapshot(options_for(WorkloadFamily::Broadcast, 256, 2, 200));
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(write_snapshot(file, s).has_value());
  std::rewind(file);
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  EXPECT_GT(text.size(), std::size_t{1} << 17);  // several flushes
  EXPECT_EQ(text, format_snapshot(s));
}

// --- command line -----------------------------------------------------------

std::variant<GeneratorOptions, kel_tests::CommandLineExit> parse(std::vector<std::string> args) {
  args.insert(args.begin(), "exchange_snapshot_gen");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  return parse_generator_arguments(static_cast<int>(argv.size()), argv.data());
}

TEST(GeneratorOptions, ParsesEveryOption) {
  const auto parsed = parse({"--family", "reduce-scatter", "--tiles", "1472", "--phases", "0", "--transfers", "5",
                             "--min-words", "2", "--max-words", "4148", "--seed", "18446744073709551615", "--output",
                             "x.json"});
  ASSERT_TRUE(std::holds_alternative<GeneratorOptions>(parsed));
  const auto& o = std::get<GeneratorOptions>(parsed);
  EXPECT_EQ(o.family, WorkloadFamily::ReduceScatter);
  EXPECT_EQ(o.tiles, 1472);
  EXPECT_EQ(o.phases, 0u);
  EXPECT_EQ(o.transfers, 5u);
  EXPECT_EQ(o.min_words, 2u);
  EXPECT_EQ(o.max_words, 4148u);
  EXPECT_EQ(o.seed, 18446744073709551615ull);
  EXPECT_EQ(o.output, "x.json");
  EXPECT_EQ(std::get<GeneratorOptions>(parse({"--output", "-"})).output, "");
  for (const WorkloadFamily f : kWorkloadFamilies)
    EXPECT_EQ(workload_family_from_name(workload_family_name(f)), f);
}

TEST(GeneratorOptions, UsageErrorsExitWithStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string message;  // part of the first line
  } cases[] = {
      {{"--family", "ring"}, "unknown family 'ring' (known: permutation, halo, all-to-all"},
      {{"--tiles", "0"}, "--tiles 0 is outside 1..1472"},
      {{"--tiles", "1473"}, "--tiles 1473 is outside 1..1472"},
      {{"--tiles", "65536"}, "value out of range"},
      {{"--min-words", "0"}, "--min-words 0 is outside 1..4148"},
      {{"--max-words", "4149"}, "--max-words 4149 is outside 1..4148"},
      {{"--min-words", "9", "--max-words", "8"}, "--min-words 9 is above --max-words 8"},
      {{"--family", "paired", "--max-words", "127"},
       "--family paired needs an even word count of at least 128 within --min-words..--max-words"},
      {{"--family", "paired-convertible", "--min-words", "129", "--max-words", "129"}, "needs an even word count"},
      {{"--phases", "1000001", "--transfers", "0"}, "--phases 1000001 is above 1000000"},
      {{"--phases", "1000", "--transfers", "10001"}, "exceeds 10000000 transfers"},
      {{"--seed", "-1"}, "expected a decimal unsigned integer"},
      {{"--seed", "0x10"}, "expected a decimal unsigned integer"},
      {{"--seed", "1", "--seed", "2"}, "--seed"},
      {{"--colour"}, "--colour"},
      {{"--tiles"}, "--tiles"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const auto parsed = parse(c.args);
    ASSERT_TRUE(std::holds_alternative<kel_tests::CommandLineExit>(parsed));
    const auto& exit = std::get<kel_tests::CommandLineExit>(parsed);
    EXPECT_EQ(exit.status, 2);
    EXPECT_TRUE(exit.text.starts_with("error: ")) << exit.text;
    EXPECT_NE(exit.text.substr(0, exit.text.find('\n')).find(c.message), std::string::npos) << exit.text;
    EXPECT_NE(exit.text.find("Usage: exchange_snapshot_gen [OPTIONS]"), std::string::npos);
  }
}

TEST(GeneratorOptions, HelpAndVersionExitWithStatusZero) {
  const auto help = std::get<kel_tests::CommandLineExit>(parse({"--help"}));
  EXPECT_EQ(help.status, 0);
  for (const WorkloadFamily f : kWorkloadFamilies)
    EXPECT_NE(help.text.find(workload_family_name(f)), std::string::npos);
  const auto version = std::get<kel_tests::CommandLineExit>(parse({"--version"}));
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.text, "exchange_snapshot_gen 0.1.0\n");
}

}  // namespace
