// The precedence graph, tile work and receive configuration of a phase:
// hand-made hazards with their exact edges, and random phases checked against
// a byte-by-byte model of the sweep and against plain pairwise overlap.
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/SchedulingProblem.h"

namespace kel_codegen::exchange {
namespace {

constexpr auto W32 = ExchangeItemWidth::Word32;
constexpr auto P64 = ExchangeItemWidth::Paired64;

using Edge = std::pair<std::size_t, std::size_t>;
using Edges = std::vector<Edge>;

PendingTransfer transfer(std::uint16_t source, std::vector<std::uint32_t> sources,
                         std::vector<PendingDestination> destinations, std::uint32_t words,
                         ExchangeItemWidth width = W32, std::optional<std::uint16_t> partner = std::nullopt) {
  PendingTransfer t;
  t.source = source;
  t.source_addresses = std::move(sources);
  t.destinations = std::move(destinations);
  t.words = words;
  t.width = width;
  t.partner = partner;
  t.refresh_source_elements();
  return t;
}

// Edges as listed by the successor rows, in (earlier, later) order.
Edges edges_of(const SchedulingProblem& problem) {
  Edges edges;
  for (std::size_t a = 0; a < problem.transfer_count(); ++a)
    for (const std::size_t b : problem.successors(a)) edges.emplace_back(a, b);
  return edges;
}

// The structural invariants every built problem must satisfy.
void expect_well_formed(const SchedulingProblem& problem) {
  const std::size_t n = problem.transfer_count();
  std::size_t predecessor_total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto successors = problem.successors(i);
    const auto predecessors = problem.predecessors(i);
    predecessor_total += predecessors.size();
    EXPECT_TRUE(std::adjacent_find(successors.begin(), successors.end(), std::greater_equal<>()) == successors.end())
        << "successors of " << i << " not strictly ascending";
    EXPECT_TRUE(std::adjacent_find(predecessors.begin(), predecessors.end(), std::greater_equal<>()) ==
                predecessors.end())
        << "predecessors of " << i << " not strictly ascending";
    for (const std::size_t b : successors) {
      ASSERT_LT(b, n);
      EXPECT_LT(i, b) << "edge does not go from low to high";
      const auto back = problem.predecessors(b);
      EXPECT_TRUE(std::binary_search(back.begin(), back.end(), i)) << "edge " << i << "->" << b << " not mirrored";
    }
    for (const std::size_t a : predecessors) {
      const auto forward = problem.successors(a);
      EXPECT_TRUE(std::binary_search(forward.begin(), forward.end(), i))
          << "edge " << a << "->" << i << " not mirrored";
    }
  }
  EXPECT_EQ(predecessor_total, problem.edge_count());
}

// ---------------------------------------------------------------- hazards

struct HazardCase {
  const char* name;
  std::vector<PendingTransfer> transfers;
  Edges edges;
  friend void PrintTo(const HazardCase& c, std::ostream* os) { *os << c.name; }
};

class Hazards : public ::testing::TestWithParam<HazardCase> {};

TEST_P(Hazards, YieldExactlyTheExpectedEdges) {
  const auto problem = SchedulingProblem::create(GetParam().transfers, 4);
  expect_well_formed(problem);
  EXPECT_EQ(edges_of(problem), GetParam().edges);
}

INSTANTIATE_TEST_SUITE_P(
    SchedulingProblem, Hazards,
    ::testing::Values(
        // Two transfers writing overlapping bytes of tile 1.
        HazardCase{
            "WriteAfterWrite", {transfer(0, {0x0}, {{1, 0x100}}, 4), transfer(2, {0x0}, {{1, 0x108}}, 4)}, {{0, 1}}},
        HazardCase{
            "WritesThatOnlyTouch", {transfer(0, {0x0}, {{1, 0x100}}, 4), transfer(2, {0x0}, {{1, 0x110}}, 4)}, {}},
        // Same memory element, disjoint bytes: dependencies are byte-exact.
        HazardCase{
            "SameElementDisjointBytes", {transfer(0, {0x0}, {{1, 0x0}}, 1), transfer(2, {0x0}, {{1, 0x10}}, 1)}, {}},
        HazardCase{"ReadAfterRead", {transfer(0, {0x40}, {{1, 0x0}}, 8), transfer(0, {0x48}, {{2, 0x0}}, 8)}, {}},
        HazardCase{
            "ReadAfterWrite", {transfer(0, {0x0}, {{1, 0x200}}, 2), transfer(1, {0x204}, {{2, 0x0}}, 1)}, {{0, 1}}},
        HazardCase{
            "WriteAfterRead", {transfer(1, {0x200}, {{2, 0x0}}, 2), transfer(0, {0x0}, {{1, 0x204}}, 1)}, {{0, 1}}},
        HazardCase{"SameBytesOnOtherTiles", {transfer(0, {0x0}, {{1, 0x0}}, 4), transfer(2, {0x0}, {{3, 0x0}}, 4)}, {}},
        // A loopback multicast reads and writes overlapping bytes of its own
        // tile: no self-edge, but a later reader of the written bytes depends on it.
        HazardCase{"NoSelfEdgeOnOwnOverlap",
                   {transfer(0, {0x0, 0x8}, {{0, 0x8}, {1, 0x0}}, 4), transfer(0, {0x10}, {{2, 0x0}}, 1)},
                   {{0, 1}}},
        // Only the last writer is linked; the earlier one is reached through it.
        HazardCase{
            "ReaderLinksToLastWriterOnly",
            {transfer(0, {0x0}, {{1, 0x0}}, 4), transfer(2, {0x0}, {{1, 0x0}}, 4), transfer(1, {0x0}, {{3, 0x0}}, 4)},
            {{0, 1}, {1, 2}}},
        HazardCase{"WriteLinksEveryReaderSinceTheLastWrite",
                   {transfer(1, {0x0}, {{0, 0x0}}, 2), transfer(1, {0x4}, {{2, 0x0}}, 2),
                    transfer(3, {0x0}, {{1, 0x0}}, 4), transfer(3, {0x0}, {{1, 0x0}}, 4)},
                   {{0, 2}, {1, 2}, {2, 3}}},
        // Repeated, overlapping source ranges of one transfer give one edge.
        HazardCase{"RepeatedSourcesGiveOneEdge",
                   {transfer(0, {0x0, 0x8, 0x0}, {{1, 0x0}}, 4), transfer(2, {0x0}, {{0, 0x8}}, 4)},
                   {{0, 1}}},
        // One write spanning several segments of earlier accesses.
        HazardCase{"WideWriteOverManySegments",
                   {transfer(0, {0x0}, {{1, 0x0}}, 1), transfer(0, {0x0}, {{1, 0x8}}, 1),
                    transfer(1, {0x4}, {{2, 0x0}}, 1), transfer(3, {0x0}, {{1, 0x0}}, 16)},
                   {{0, 3}, {1, 3}, {2, 3}}}),
    [](const ::testing::TestParamInfo<HazardCase>& c) { return std::string(c.param.name); });

TEST(SchedulingProblem, PredecessorListsMirrorSuccessorLists) {
  // Three writers of tile 2 followed by a reader of all of it.
  const std::vector<PendingTransfer> transfers = {transfer(0, {0x0}, {{2, 0x0}}, 1), transfer(1, {0x0}, {{2, 0x4}}, 1),
                                                  transfer(3, {0x0}, {{2, 0x8}}, 1),
                                                  transfer(2, {0x0}, {{0, 0x100}}, 3)};
  const auto problem = SchedulingProblem::create(transfers, 4);
  EXPECT_EQ(std::vector<std::size_t>(problem.predecessors(3).begin(), problem.predecessors(3).end()),
            (std::vector<std::size_t>{0, 1, 2}));
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::vector<std::size_t>(problem.successors(i).begin(), problem.successors(i).end()),
              std::vector<std::size_t>{3});
  EXPECT_TRUE(problem.successors(3).empty());
  EXPECT_EQ(problem.edge_count(), 3u);
}

// ---------------------------------------------------------------- tile work

TEST(SchedulingProblem, TileWorkCountsEveryOccurrenceOfATile) {
  const std::vector<PendingTransfer> transfers = {
      // Loopback multicast: tile 0 is source and destination, so counted twice.
      transfer(0, {0x0}, {{0, 0x4000}, {1, 0x0}}, 5),
      // Paired: 128 words are 64 cycles, charged to the partner tile 3 too.
      transfer(2, {0x0}, {{1, 0x100}}, 128, P64, 3),
      // A payload without cycles (odd paired length) counts as its words.
      transfer(1, {0x0}, {{2, 0x1000}}, 129, P64, 0),
  };
  const auto problem = SchedulingProblem::create(transfers, 5);
  EXPECT_EQ(std::vector<std::uint64_t>(problem.tile_work().begin(), problem.tile_work().end()),
            (std::vector<std::uint64_t>{5 + 5 + 129, 5 + 64 + 129, 64 + 129, 64, 0}));
}

TEST(SchedulingProblem, EmptyPhaseHasNoEdgesAndNoWork) {
  const std::vector<PendingTransfer> none;
  const auto problem = SchedulingProblem::create(none, 3);
  EXPECT_EQ(problem.transfer_count(), 0u);
  EXPECT_EQ(problem.edge_count(), 0u);
  EXPECT_EQ(problem.tile_count(), 3);
  EXPECT_EQ(std::vector<std::uint64_t>(problem.tile_work().begin(), problem.tile_work().end()),
            (std::vector<std::uint64_t>{0, 0, 0}));

  const auto configuration = receive_configuration(none, 3);
  ASSERT_TRUE(configuration);
  EXPECT_EQ(configuration->receive_counts, (std::vector<std::uint64_t>{0, 0, 0}));
  EXPECT_EQ(configuration->receive_bases, (std::vector<std::uint32_t>{0, 0, 0}));
}

TEST(SchedulingProblem, BorrowsThePendingArray) {
  const std::vector<PendingTransfer> transfers = {transfer(0, {0x0}, {{1, 0x0}}, 1)};
  const auto problem = SchedulingProblem::create(transfers, 2);
  EXPECT_EQ(problem.pending().data(), transfers.data());
  EXPECT_EQ(problem.pending().size(), 1u);
}

TEST(SchedulingProblemDeathTest, TileOutsideTheTileCountAborts) {
  const std::vector<PendingTransfer> transfers = {transfer(0, {0x0}, {{2, 0x0}}, 1)};
  EXPECT_DEATH((void)SchedulingProblem::create(transfers, 2), "transfer tile is below the tile count");
}

// ---------------------------------------------------------------- receive configuration

struct ReceiveCase {
  const char* name;
  std::vector<PendingTransfer> transfers;
  std::vector<std::uint64_t> counts;
  std::vector<std::uint32_t> bases;
  friend void PrintTo(const ReceiveCase& c, std::ostream* os) { *os << c.name; }
};

class Receive : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(Receive, CountsAndBases) {
  const auto configuration = receive_configuration(GetParam().transfers, 4);
  ASSERT_TRUE(configuration) << configuration.error().message();
  EXPECT_EQ(configuration->receive_counts, GetParam().counts);
  EXPECT_EQ(configuration->receive_bases, GetParam().bases);
}

INSTANTIATE_TEST_SUITE_P(
    ReceiveConfiguration, Receive,
    ::testing::Values(
        ReceiveCase{"TwoSingleDestinationReceives",
                    {transfer(0, {0x0}, {{1, 0x100}}, 1), transfer(2, {0x0}, {{1, 0x200}}, 1)},
                    {0, 2, 0, 0},
                    {0, 0, 0, 0}},
        ReceiveCase{
            "OnceFromAMulticast", {transfer(0, {0x0}, {{1, 0x100}, {2, 0x200}}, 1)}, {0, 1, 1, 0}, {0, 0, 0, 0}},
        ReceiveCase{
            "OnceFromASingleDestination", {transfer(0, {0x0}, {{1, 0x100}}, 1)}, {0, 1, 0, 0}, {0, 0x100, 0, 0}},
        // Tile 2 is named once by the unicast and once by the multicast.
        ReceiveCase{"UnicastPlusMulticast",
                    {transfer(0, {0x0}, {{2, 0x300}}, 1), transfer(1, {0x0}, {{2, 0x400}, {3, 0x500}}, 1)},
                    {0, 0, 2, 1},
                    {0, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<ReceiveCase>& c) { return std::string(c.param.name); });

TEST(ReceiveConfiguration, DestinationOutsideTheTileCountIsInvalid) {
  const std::vector<PendingTransfer> transfers = {transfer(0, {0x0}, {{1, 0x0}}, 1),
                                                  transfer(0, {0x0}, {{1, 0x10}, {3, 0x0}}, 1)};
  EXPECT_TRUE(receive_configuration(transfers, 4));
  const auto result = receive_configuration(transfers, 3);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ExchangeLoweringError::invalid_destination());
  EXPECT_EQ(result.error().message(), "exchange destination is not writable");
}

// ---------------------------------------------------------------- random phases

struct Access {
  std::size_t transfer;
  std::uint16_t tile;
  std::uint64_t start;
  std::uint64_t end;
  bool write;
};

std::vector<Access> accesses_of(const std::vector<PendingTransfer>& transfers) {
  std::vector<Access> accesses;
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    const auto& t = transfers[i];
    const std::uint64_t bytes = 4ull * t.words;
    for (const auto address : t.source_addresses) accesses.push_back({i, t.source, address, address + bytes, false});
    for (const auto& d : t.destinations) accesses.push_back({i, d.tile, d.address, d.address + bytes, true});
  }
  return accesses;
}

// The sweep's rules applied to every byte on its own, with no segments.
std::set<Edge> bytewise_sweep(const std::vector<PendingTransfer>& transfers) {
  struct Frontier {
    std::optional<std::size_t> last_writer;
    std::vector<std::size_t> readers;
  };
  std::map<std::pair<std::uint16_t, std::uint64_t>, Frontier> bytes;
  std::set<Edge> edges;
  for (const Access& a : accesses_of(transfers)) {  // already in processing order per tile
    for (std::uint64_t byte = a.start; byte < a.end; ++byte) {
      Frontier& f = bytes[{a.tile, byte}];
      if (f.last_writer && *f.last_writer != a.transfer) edges.emplace(*f.last_writer, a.transfer);
      if (a.write) {
        for (const auto r : f.readers)
          if (r != a.transfer) edges.emplace(r, a.transfer);
        f.readers.clear();
        f.last_writer = a.transfer;
      } else if (f.readers.empty() || f.readers.back() != a.transfer) {
        f.readers.push_back(a.transfer);
      }
    }
  }
  return edges;
}

// Every pair of distinct transfers with overlapping bytes on one tile, at
// least one side writing.
std::set<Edge> pairwise_conflicts(const std::vector<PendingTransfer>& transfers) {
  const auto accesses = accesses_of(transfers);
  std::set<Edge> edges;
  for (const Access& x : accesses)
    for (const Access& y : accesses)
      if (x.transfer < y.transfer && x.tile == y.tile && (x.write || y.write) &&
          std::max(x.start, y.start) < std::min(x.end, y.end))
        edges.emplace(x.transfer, y.transfer);
  return edges;
}

constexpr std::size_t kMaxRandomTransfers = 48;
using Reach = std::vector<std::bitset<kMaxRandomTransfers>>;

// Transitive closure of a low-to-high edge set.
Reach closure(const std::set<Edge>& edges, std::size_t n) {
  std::vector<std::vector<std::size_t>> successors(n);
  for (const auto& [a, b] : edges) successors[a].push_back(b);
  Reach reach(n);
  for (std::size_t a = n; a-- > 0;)
    for (const auto b : successors[a]) {
      reach[a].set(b);
      reach[a] |= reach[b];
    }
  return reach;
}

std::vector<PendingTransfer> random_phase(std::mt19937& rng, std::uint16_t tile_count) {
  auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  std::vector<PendingTransfer> transfers(pick(0, kMaxRandomTransfers));
  for (auto& t : transfers) {
    const auto source = static_cast<std::uint16_t>(pick(0, tile_count - 1u));
    // Small address window and short payloads: overlaps are frequent.
    const std::uint32_t words = pick(1, 6);
    std::vector<std::uint32_t> sources(pick(1, 3));
    for (auto& address : sources) address = 4 * pick(0, 24);
    std::vector<std::uint16_t> tiles(tile_count);
    for (std::uint16_t k = 0; k < tile_count; ++k) tiles[k] = k;
    std::shuffle(tiles.begin(), tiles.end(), rng);
    std::vector<PendingDestination> destinations(pick(1, 3));
    for (std::size_t k = 0; k < destinations.size(); ++k) destinations[k] = {tiles[k], 4 * pick(0, 24)};
    const bool paired = pick(0, 4) == 0;
    t = transfer(source, std::move(sources), std::move(destinations), paired ? 2 * words : words, paired ? P64 : W32,
                 paired ? std::optional<std::uint16_t>(static_cast<std::uint16_t>(source ^ 1u)) : std::nullopt);
  }
  return transfers;
}

TEST(SchedulingProblemProperty, RandomPhasesAgreeWithReferenceModels) {
  std::mt19937 rng(0x5eed2u);
  constexpr std::uint16_t kTiles = 4;
  std::size_t total_edges = 0;
  std::size_t implied_only = 0;
  for (int round = 0; round < 400; ++round) {
    const auto transfers = random_phase(rng, kTiles);
    const std::size_t n = transfers.size();
    const auto problem = SchedulingProblem::create(transfers, kTiles);
    SCOPED_TRACE("round " + std::to_string(round));
    expect_well_formed(problem);

    const Edges listed = edges_of(problem);
    const std::set<Edge> built(listed.begin(), listed.end());
    EXPECT_EQ(built, bytewise_sweep(transfers));

    // The sweep keeps only the last writer and the readers since it, so it
    // may omit edges that other edges already imply: a subset of the pairwise
    // conflicts with the same transitive closure.
    const auto conflicts = pairwise_conflicts(transfers);
    EXPECT_TRUE(std::includes(conflicts.begin(), conflicts.end(), built.begin(), built.end()));
    EXPECT_EQ(closure(built, n), closure(conflicts, n));
    total_edges += built.size();
    implied_only += conflicts.size() - built.size();

    std::vector<std::uint64_t> work(kTiles, 0);
    for (const auto& t : transfers)
      for (const auto tile : t.tiles()) work[tile] += t.payload_cycles().value_or(t.words);
    EXPECT_EQ(std::vector<std::uint64_t>(problem.tile_work().begin(), problem.tile_work().end()), work);

    const auto configuration = receive_configuration(transfers, kTiles);
    ASSERT_TRUE(configuration);
    std::uint64_t received = 0;
    for (const auto count : configuration->receive_counts) received += count;
    std::uint64_t named = 0;
    for (const auto& t : transfers) named += t.destinations.size();
    EXPECT_EQ(received, named);
  }
  // The generator must actually exercise both dense graphs and omitted
  // transitive edges, or the comparisons above prove little.
  EXPECT_GT(total_edges, 2000u);
  EXPECT_GT(implied_only, 100u);
}

}  // namespace
}  // namespace kel_codegen::exchange
