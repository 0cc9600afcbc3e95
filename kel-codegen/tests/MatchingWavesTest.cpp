// Matching-wave ordering: hand-made phases pin declines, wave composition and
// rank order; the matching search is checked against brute force on random
// bipartite graphs; generated point-to-point phases are compared with a plain
// ordered-map model and materialised.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "PhaseGenerator.h"
#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/SchedulingProblem.h"
#include "kel_codegen/exchange/TransferScheduler.h"
#include "kel_codegen/exchange/order/MatchingWaves.h"

namespace kel_codegen::exchange::order {
namespace {

constexpr auto W32 = ExchangeItemWidth::Word32;
constexpr auto P64 = ExchangeItemWidth::Paired64;

using Order = std::vector<std::size_t>;

PendingTransfer transfer(std::uint16_t source, std::vector<PendingDestination> destinations,
                         std::uint32_t source_address, std::uint32_t words = 8, ExchangeItemWidth width = W32,
                         std::optional<std::uint16_t> partner = std::nullopt) {
  PendingTransfer t;
  t.source = source;
  t.source_addresses = {source_address};
  t.destinations = std::move(destinations);
  t.words = words;
  t.width = width;
  t.partner = partner;
  t.refresh_source_elements();
  return t;
}

/// Point-to-point transfers that touch disjoint bytes, so none depends on
/// another: transfer i reads 0x1000·i and writes 0x40000 + 0x1000·i.
std::vector<PendingTransfer> independent(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& edges) {
  std::vector<PendingTransfer> pending;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const auto offset = static_cast<std::uint32_t>(0x1000 * i);
    pending.push_back(transfer(edges[i].first, {{edges[i].second, 0x40000 + offset}}, offset));
  }
  return pending;
}

/// The best order whose position of transfer t is rank[t].
Order order_from_ranks(const std::vector<std::size_t>& rank) {
  Order order(rank.size());
  for (std::size_t t = 0; t < rank.size(); ++t) order[rank[t]] = t;
  return order;
}

std::optional<Order> waves(const std::vector<PendingTransfer>& pending, std::uint16_t tiles,
                           const std::vector<std::size_t>& rank) {
  const auto problem = SchedulingProblem::create(pending, tiles);
  return point_to_point_matching_wave_order(problem, order_from_ranks(rank));
}

std::vector<std::size_t> identity_ranks(std::size_t n) {
  std::vector<std::size_t> rank(n);
  std::iota(rank.begin(), rank.end(), std::size_t{0});
  return rank;
}

// ---------------------------------------------------------------------------
// Applicability

struct DeclineCase {
  std::string name;
  std::vector<PendingTransfer> pending;
  bool qualifies = false;
};

std::vector<DeclineCase> decline_cases() {
  std::vector<DeclineCase> cases;
  cases.push_back({"no transfers", {}, false});
  cases.push_back({"one transfer", independent({{0, 1}}), false});
  {
    auto pending = independent({{0, 1}, {2, 3}});
    pending[1].destinations.push_back({4, 0x80000});
    cases.push_back({"multicast", std::move(pending), false});
  }
  {
    // Tile 0 sends 7 of 9: S = 3, R = 9, m = 3, D = 7 > 2·⌈9/3⌉.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> edges;
    for (std::uint16_t d = 1; d <= 7; ++d) edges.emplace_back(0, d);
    edges.emplace_back(8, 9);
    edges.emplace_back(10, 11);
    cases.push_back({"one tile above twice the average", independent(edges), false});
    // With 6 of 8 from tile 0, D = 6 = 2·⌈8/3⌉ still qualifies.
    edges.erase(edges.begin());
    cases.push_back({"one tile at twice the average", independent(edges), true});
  }
  {
    // m = 1: tile 0 carries everything, D = 12 ≤ 24.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> edges;
    for (std::uint16_t d = 1; d <= 12; ++d) edges.emplace_back(0, d);
    cases.push_back({"single sender", independent(edges), true});
  }
  {
    auto pending = independent({{0, 1}, {2, 3}, {4, 5}});
    pending[2].words = 0;
    pending[2].refresh_source_elements();
    cases.push_back({"transfer without payload cycles", std::move(pending), false});
  }
  {
    auto pending = independent({{0, 1}, {4, 5}});
    pending.push_back(transfer(2, {{6, 0x60000}}, 0x30000, 129, P64, 3));
    cases.push_back({"odd paired payload", std::move(pending), false});
  }
  return cases;
}

TEST(MatchingWaveOrder, AppliesOnlyToBalancedPointToPointPhases) {
  for (const DeclineCase& c : decline_cases()) {
    SCOPED_TRACE(c.name);
    const auto order = waves(c.pending, 16, identity_ranks(c.pending.size()));
    EXPECT_EQ(order.has_value(), c.qualifies);
  }
}

// ---------------------------------------------------------------------------
// Wave composition and rank order

struct WaveCase {
  std::string name;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> edges;
  std::vector<std::size_t> rank;
  Order expected;
};

TEST(MatchingWaveOrder, WavesAreMaximumMatchingsInRankOrder) {
  const std::vector<WaveCase> cases = {
      // A permutation is one wave, emitted in rank order.
      {"permutation", {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 0}}, {3, 0, 4, 1, 2}, {1, 3, 4, 0, 2}},
      // One source: one transfer per wave, smaller rank first.
      {"shared source", {{0, 1}, {0, 2}}, {1, 0}, {1, 0}},
      {"shared source, other ranks", {{0, 1}, {0, 2}}, {0, 1}, {0, 1}},
      // Two transfers on one edge: the better ranked one first, the other
      // in a later wave.
      {"shared edge", {{0, 1}, {0, 1}, {2, 3}}, {2, 0, 1}, {1, 2, 0}},
      // X 0→1, Y 2→1, Z 2→3: Y finds tile 1 taken by X and tile 2 by Z.
      {"blocked by both endpoints", {{0, 1}, {2, 1}, {2, 3}}, {0, 1, 2}, {0, 2, 1}},
      // The first-ranked edge 0→1 must give way so that 3→1 and 0→2 run
      // together: only an augmenting path finds that.
      {"augmenting path", {{0, 1}, {3, 1}, {0, 2}}, {0, 1, 2}, {1, 2, 0}},
      // Twelve transfers from one tile: twelve waves in rank order.
      {"single sender",
       {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8}, {0, 9}, {0, 10}, {0, 11}, {0, 12}},
       {5, 11, 0, 7, 2, 9, 4, 1, 10, 3, 8, 6},
       {2, 7, 4, 9, 6, 0, 11, 3, 10, 5, 8, 1}},
  };
  for (const WaveCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(waves(independent(c.edges), 16, c.rank), c.expected);
  }
}

TEST(MatchingWaveOrder, DependenciesOutrankTheBestOrder) {
  // A chain 0→1→2→3 through the bytes each transfer writes: one transfer per
  // wave in chain order, even against reversed ranks.
  const std::vector<PendingTransfer> chain = {
      transfer(0, {{1, 0x100}}, 0x1000),
      transfer(1, {{2, 0x200}}, 0x100),
      transfer(2, {{3, 0x300}}, 0x200),
  };
  const auto problem = SchedulingProblem::create(chain, 4);
  ASSERT_EQ(problem.edge_count(), 2u);
  EXPECT_EQ(point_to_point_matching_wave_order(problem, Order{2, 1, 0}), (Order{0, 1, 2}));
}

TEST(MatchingWaveOrder, TransfersReadiedDuringAWaveJoinTheNextOne) {
  // 1 reads what 0 writes on tile 1 and could run beside 0's wave partner 2,
  // but it becomes ready only while that wave is emitted.
  const std::vector<PendingTransfer> pending = {
      transfer(0, {{1, 0x100}}, 0x1000),
      transfer(1, {{3, 0x300}}, 0x100),
      transfer(4, {{5, 0x500}}, 0x4000),
  };
  EXPECT_EQ(waves(pending, 8, {0, 1, 2}), (Order{0, 2, 1}));
}

TEST(MatchingWaveOrder, ReadyingABetterRankedTransferOnAWaveEdgeKeepsTheMatchedOne) {
  // 0 (0→2) and 2 (2→3) form the first wave. Emitting 0 readies 1 on the edge
  // 2→3 with a smaller rank than 2, which is still the transfer emitted.
  const std::vector<PendingTransfer> pending = {
      transfer(0, {{2, 0x100}}, 0x1000),
      transfer(2, {{3, 0x300}}, 0x100),
      transfer(2, {{3, 0x2300}}, 0x2000),
  };
  EXPECT_EQ(waves(pending, 4, {0, 1, 2}), (Order{0, 2, 1}));
}

TEST(MatchingWaveOrder, TransfersMissingFromTheBestOrderRankLastByIndex) {
  const auto pending = independent({{0, 1}, {0, 2}, {0, 3}, {0, 4}});
  const auto problem = SchedulingProblem::create(pending, 8);
  auto best = MaterializedSchedule::create(8, pending);
  best.order = {2};
  EXPECT_EQ(point_to_point_matching_wave_order(problem, best), (Order{2, 0, 1, 3}));
  // Out-of-range entries are ignored; a repeated transfer keeps its first rank.
  best.order = {9, 3, 1, 3};
  EXPECT_EQ(point_to_point_matching_wave_order(problem, best), (Order{3, 1, 0, 2}));
}

// ---------------------------------------------------------------------------
// The augmenting-path search

struct SmallGraph {
  std::vector<PendingTransfer> pending;             // transfer t: one edge
  std::vector<std::vector<std::size_t>> adjacency;  // per source tile
  std::vector<std::uint16_t> sources;               // sources with candidates
};

TEST(AugmentReadyMatching, FollowsTheLayeringOnly) {
  // t0 0→1, t1 3→1, t2 0→2; source 0 holds t0 and sits on layer 1.
  SmallGraph g;
  g.pending = independent({{0, 1}, {3, 1}, {0, 2}});
  g.adjacency = {{0, 2}, {}, {}, {1}};
  const auto run = [&](std::size_t dist_of_0, ReadyMatching& m) {
    m.matched_transfer[0] = 0;
    m.matched_source[1] = 0;
    m.dist[0] = dist_of_0;
    m.dist[3] = 0;
    return augment_ready_matching(3, g.pending, g.adjacency, m.matched_transfer, m.matched_source, m.dist);
  };

  ReadyMatching rerouted(4);
  EXPECT_TRUE(run(1, rerouted));
  EXPECT_EQ(rerouted.matched_transfer[3], 1u);
  EXPECT_EQ(rerouted.matched_transfer[0], 2u);
  EXPECT_EQ(rerouted.matched_source[1], 3u);
  EXPECT_EQ(rerouted.matched_source[2], 0u);

  // Off the next layer, source 0 is not searched although it could move.
  for (const std::size_t dist : {std::size_t{0}, std::size_t{2}, kUnreachable}) {
    ReadyMatching kept(4);
    EXPECT_FALSE(run(dist, kept));
    EXPECT_EQ(kept.matched_transfer[0], 0u);
    EXPECT_FALSE(kept.matched_transfer[3].has_value());
    EXPECT_EQ(kept.matched_source[1], 0u);
    EXPECT_FALSE(kept.matched_source[2].has_value());
    EXPECT_EQ(kept.dist[3], kUnreachable);
  }

  ReadyMatching lonely(4);
  lonely.dist[2] = 0;
  EXPECT_FALSE(
      augment_ready_matching(2, g.pending, g.adjacency, lonely.matched_transfer, lonely.matched_source, lonely.dist));
  EXPECT_EQ(lonely.dist[2], kUnreachable);
}

/// The largest matching by exhaustive search over (source, used destinations).
std::size_t brute_force_maximum(const SmallGraph& g) {
  // best[mask]: the largest matching of the sources seen so far that uses
  // exactly the destinations in mask (or -1 when none does).
  std::vector<int> best(256, -1);
  best[0] = 0;
  for (const std::uint16_t s : g.sources) {
    std::vector<int> next = best;
    for (unsigned mask = 0; mask < best.size(); ++mask) {
      if (best[mask] < 0) continue;
      for (const std::size_t t : g.adjacency[s]) {
        const unsigned bit = 1u << g.pending[t].destinations[0].tile;
        if ((mask & bit) == 0) next[mask | bit] = std::max(next[mask | bit], best[mask] + 1);
      }
    }
    best = std::move(next);
  }
  return static_cast<std::size_t>(*std::max_element(best.begin(), best.end()));
}

TEST(AugmentReadyMatching, HopcroftKarpFindsAMaximumMatching) {
  std::mt19937 rng(61);
  constexpr std::uint16_t kTiles = 8;
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(round);
    SmallGraph g;
    g.adjacency.resize(kTiles);
    const unsigned density = std::uniform_int_distribution<unsigned>(5, 70)(rng);
    auto sides = std::uniform_int_distribution<std::uint16_t>(1, kTiles - 1);
    const std::uint16_t left = sides(rng);
    const std::uint16_t right = sides(rng);
    std::vector<std::pair<std::uint16_t, std::uint16_t>> edges;
    for (std::uint16_t s = 0; s < left; ++s)
      for (std::uint16_t d = 0; d < right; ++d)
        if (std::uniform_int_distribution<unsigned>(0, 99)(rng) < density) edges.emplace_back(s, d);
    std::shuffle(edges.begin(), edges.end(), rng);
    g.pending = independent(edges);
    for (std::size_t t = 0; t < edges.size(); ++t) g.adjacency[edges[t].first].push_back(t);
    for (std::uint16_t s = 0; s < kTiles; ++s)
      if (!g.adjacency[s].empty()) g.sources.push_back(s);
    std::shuffle(g.sources.begin(), g.sources.end(), rng);

    // Start empty, or from a random greedy matching that may block others.
    ReadyMatching m(kTiles);
    if (round % 2 == 1) {
      for (const std::uint16_t s : g.sources) {
        const std::size_t t = g.adjacency[s][0];
        const std::uint16_t d = g.pending[t].destinations[0].tile;
        if (!m.matched_source[d] && rng() % 2 == 0) {
          m.matched_transfer[s] = t;
          m.matched_source[d] = s;
        }
      }
    }
    maximize_ready_matching(g.sources, g.pending, g.adjacency, m);

    std::size_t size = 0;
    for (std::uint16_t s = 0; s < kTiles; ++s) {
      if (!m.matched_transfer[s]) continue;
      ++size;
      const std::size_t t = *m.matched_transfer[s];
      ASSERT_LT(t, g.pending.size());
      EXPECT_EQ(g.pending[t].source, s);
      EXPECT_EQ(m.matched_source[g.pending[t].destinations[0].tile], s);
    }
    const auto matched_destinations =
        std::count_if(m.matched_source.begin(), m.matched_source.end(), [](const auto& s) { return s.has_value(); });
    EXPECT_EQ(static_cast<std::size_t>(matched_destinations), size);
    EXPECT_EQ(size, brute_force_maximum(g));
  }
}

// ---------------------------------------------------------------------------
// Generated point-to-point phases

/// The ordering written with ordered maps and sets, one (source, destination)
/// entry per tile pair, as plainly as possible.
std::optional<Order> model_order(const SchedulingProblem& problem, const Order& best) {
  const auto pending = problem.pending();
  const std::size_t n = pending.size();
  const std::size_t tiles = problem.tile_count();
  if (n < 2) return std::nullopt;
  for (const auto& t : pending)
    if (t.destinations.size() != 1) return std::nullopt;
  std::map<std::uint16_t, std::size_t> sends, receives;
  for (const auto& t : pending) {
    ++sends[t.source];
    ++receives[t.destinations[0].tile];
  }
  std::size_t busiest = 0;
  for (const auto& [tile, count] : sends) busiest = std::max(busiest, count);
  for (const auto& [tile, count] : receives) busiest = std::max(busiest, count);
  const std::size_t m = std::max<std::size_t>(1, std::min(sends.size(), receives.size()));
  if (busiest > 2 * ((n + m - 1) / m)) return std::nullopt;
  for (const auto& t : pending)
    if (!t.payload_cycles()) return std::nullopt;

  constexpr std::size_t kLast = ~std::size_t{0};
  std::vector<std::size_t> rank(n, kLast);
  for (std::size_t i = best.size(); i-- > 0;)
    if (best[i] < n) rank[best[i]] = i;
  std::vector<std::size_t> remaining(n);
  std::vector<std::map<std::uint16_t, std::set<std::pair<std::size_t, std::size_t>>>> ready(tiles);
  const auto insert = [&](std::size_t t) {
    ready[pending[t].source][pending[t].destinations[0].tile].insert({rank[t], t});
  };
  for (std::size_t t = 0; t < n; ++t) {
    remaining[t] = problem.predecessors(t).size();
    if (remaining[t] == 0) insert(t);
  }
  const auto by_rank = [&](std::size_t a, std::size_t b) { return std::pair(rank[a], a) < std::pair(rank[b], b); };
  const auto destination = [&](std::size_t t) { return pending[t].destinations[0].tile; };

  Order order;
  while (true) {
    std::vector<std::vector<std::size_t>> adjacency(tiles);
    std::vector<std::uint16_t> sources;
    for (std::size_t s = 0; s < tiles; ++s) {
      for (const auto& [d, set] : ready[s]) adjacency[s].push_back(set.begin()->second);
      std::sort(adjacency[s].begin(), adjacency[s].end(), by_rank);
      if (!adjacency[s].empty()) sources.push_back(static_cast<std::uint16_t>(s));
    }
    std::sort(sources.begin(), sources.end(),
              [&](std::uint16_t a, std::uint16_t b) { return by_rank(adjacency[a][0], adjacency[b][0]); });

    std::vector<std::optional<std::size_t>> mate(tiles);
    std::vector<std::optional<std::uint16_t>> owner(tiles);
    std::vector<std::size_t> dist(tiles, kUnreachable);
    std::function<bool(std::uint16_t)> augment = [&](std::uint16_t s) {
      for (const std::size_t t : adjacency[s]) {
        const auto o = owner[destination(t)];
        if (!o || (dist[s] != kUnreachable && dist[*o] == dist[s] + 1 && augment(*o))) {
          mate[s] = t;
          owner[destination(t)] = s;
          return true;
        }
      }
      dist[s] = kUnreachable;
      return false;
    };
    while (true) {
      std::vector<std::uint16_t> queue;
      for (const auto s : sources) {
        dist[s] = mate[s] ? kUnreachable : 0;
        if (!mate[s]) queue.push_back(s);
      }
      bool reached = false;
      for (std::size_t head = 0; head < queue.size(); ++head)
        for (const std::size_t t : adjacency[queue[head]]) {
          const auto o = owner[destination(t)];
          if (!o)
            reached = true;
          else if (dist[*o] == kUnreachable) {
            dist[*o] = dist[queue[head]] + 1;
            queue.push_back(*o);
          }
        }
      if (!reached) break;
      bool any = false;
      for (const auto s : sources)
        if (!mate[s] && augment(s)) any = true;
      if (!any) break;
    }

    Order wave;
    for (std::size_t s = 0; s < tiles; ++s)
      if (mate[s]) wave.push_back(*mate[s]);
    if (wave.empty()) return std::nullopt;
    std::sort(wave.begin(), wave.end(), by_rank);
    for (const std::size_t t : wave) {
      auto& edges = ready[pending[t].source];
      auto edge = edges.find(destination(t));
      EXPECT_TRUE(edge != edges.end() && edge->second.erase({rank[t], t}) == 1);
      if (edge != edges.end() && edge->second.empty()) edges.erase(edge);
      order.push_back(t);
      for (const std::size_t u : problem.successors(t))
        if (--remaining[u] == 0) insert(u);
    }
    if (order.size() == n) return order;
  }
}

/// A generated phase cut down to its single-destination transfers.
test_support::GeneratedPhase point_to_point_phase(std::mt19937& rng, std::uint16_t max_tiles,
                                                  std::size_t max_transfers) {
  auto phase = test_support::generate_phase(rng, max_tiles, max_transfers);
  std::erase_if(phase.problem.transfers, [](const auto& t) { return t.destinations.size() != 1; });
  phase.pending = std::move(pending_from_problem(phase.problem, phase.tile_count).value());
  return phase;
}

void expect_topological_permutation(const SchedulingProblem& problem, const Order& order) {
  const std::size_t n = problem.transfer_count();
  ASSERT_EQ(order.size(), n);
  std::vector<std::size_t> position(n, n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_LT(order[i], n);
    ASSERT_EQ(position[order[i]], n) << "transfer " << order[i] << " repeats";
    position[order[i]] = i;
  }
  for (std::size_t b = 0; b < n; ++b)
    for (const std::size_t a : problem.predecessors(b)) EXPECT_LT(position[a], position[b]);
}

TEST(MatchingWaveOrderProperty, GeneratedPhasesGiveTopologicalOrdersThatMaterialize) {
  std::mt19937 rng(2718);
  std::size_t produced = 0;
  for (int round = 0; round < 500; ++round) {
    SCOPED_TRACE(round);
    // Few tiles crowd many transfers onto each edge and chain them.
    const auto phase = round % 2 == 0 ? point_to_point_phase(rng, 6, 40) : point_to_point_phase(rng, 24, 60);
    const auto problem = SchedulingProblem::create(phase.pending, phase.tile_count);
    const auto config = *receive_configuration(phase.pending, phase.tile_count);
    const auto topology = kel_codegen::exchange::phase_topology(phase.tile_count).value();
    auto greedy =
        materialize_greedy_schedule_impl(topology, problem, config.receive_bases, config.receive_counts, false);
    ASSERT_TRUE(greedy.has_value()) << greedy.error().message();

    const auto order = point_to_point_matching_wave_order(problem, *greedy);
    EXPECT_EQ(order, model_order(problem, greedy->order));
    EXPECT_EQ(point_to_point_matching_wave_order(problem, *greedy), order);
    if (!order) continue;
    ++produced;
    expect_topological_permutation(problem, *order);
    // Incremental validation, as a deferred encoding may still need the
    // optimiser's alignment retry.
    auto materialized =
        materialize_schedule_order(topology, problem, config.receive_bases, config.receive_counts, *order, true);
    ASSERT_TRUE(materialized.has_value()) << materialized.error().message();
    EXPECT_EQ(materialized->order, *order);
  }
  EXPECT_GT(produced, 300u);
}

TEST(MatchingWaveOrderProperty, AnyRankingMatchesTheMapModel) {
  std::mt19937 rng(314);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const auto phase = point_to_point_phase(rng, round % 3 == 0 ? 24 : 6, 50);
    const auto problem = SchedulingProblem::create(phase.pending, phase.tile_count);
    Order best(phase.pending.size());
    std::iota(best.begin(), best.end(), std::size_t{0});
    std::shuffle(best.begin(), best.end(), rng);
    // Sometimes a partial best order, so ties on rank are broken by index.
    if (round % 4 == 3) best.resize(best.size() / 2);
    const auto order = point_to_point_matching_wave_order(problem, best);
    EXPECT_EQ(order, model_order(problem, best));
    if (order) expect_topological_permutation(problem, *order);
  }
}

}  // namespace
}  // namespace kel_codegen::exchange::order
