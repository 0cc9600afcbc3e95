// Wave construction for point-to-point phases. Ready transfers are kept per
// (source, destination) edge in a rank heap, so each wave's matching graph has
// one candidate per tile pair; every transfer enters the ready structure once
// and leaves it once, and all sorts end on the transfer index.
#include "kel_codegen/exchange/order/MatchingWaves.h"

#include <algorithm>
#include <numeric>

#include "kel_runtime/Invariant.h"

namespace kel_codegen::exchange::order {

namespace {

/// Rank of a transfer that the best schedule's order does not contain.
constexpr std::size_t kUnranked = std::numeric_limits<std::size_t>::max();

struct RankedTransfer {
  std::size_t rank = 0;
  std::size_t transfer = 0;
};

constexpr bool ranks_before(const RankedTransfer& a, const RankedTransfer& b) {
  return a.rank != b.rank ? a.rank < b.rank : a.transfer < b.transfer;
}

/// An edge's best ready transfer and the edge's source tile.
struct Candidate {
  RankedTransfer ranked;
  std::uint16_t source = 0;
};

// std heap functions keep the "largest" element on top; here that is the
// entry with the smallest rank.
constexpr auto kMinRankHeap = [](const RankedTransfer& a, const RankedTransfer& b) { return ranks_before(b, a); };

std::uint16_t destination_tile(const PendingTransfer& transfer) { return transfer.destinations.front().tile; }

/// Whether the heuristic applies: at least two transfers, all point to point,
/// no tile loaded beyond twice the average per-endpoint load, and payload
/// cycles on every transfer.
bool qualifies(std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  const std::size_t n = pending.size();
  if (n < 2) return false;
  for (const PendingTransfer& t : pending)
    if (t.destinations.size() != 1) return false;

  std::vector<std::size_t> sends(tile_count, 0);
  std::vector<std::size_t> receives(tile_count, 0);
  for (const PendingTransfer& t : pending) {
    const std::uint16_t destination = destination_tile(t);
    kel_runtime::expect(t.source < tile_count && destination < tile_count, "transfer tiles lie in the phase");
    ++sends[t.source];
    ++receives[destination];
  }
  std::size_t senders = 0;
  std::size_t receivers = 0;
  std::size_t busiest = 0;
  for (std::size_t tile = 0; tile < tile_count; ++tile) {
    senders += sends[tile] > 0 ? 1 : 0;
    receivers += receives[tile] > 0 ? 1 : 0;
    busiest = std::max({busiest, sends[tile], receives[tile]});
  }
  const std::size_t endpoints = std::max<std::size_t>(1, std::min(senders, receivers));
  const std::size_t average = n / endpoints + (n % endpoints != 0 ? 1 : 0);
  // A phase dominated by one tile is left to the other heuristics.
  if (busiest > 2 * average) return false;

  for (const PendingTransfer& t : pending)
    if (!t.payload_cycles()) return false;
  return true;
}

/// The ready transfers of each (source, destination) edge, as a min-rank heap
/// in the edge's slice of one flat buffer. Ordering a transfer only marks it;
/// ordered entries are dropped from the heap top when the edge's candidate is
/// read, so an ordered transfer need not be the top of its edge.
class ReadyEdges {
 public:
  ReadyEdges(std::span<const PendingTransfer> pending, std::span<const std::size_t> rank)
      : rank_(rank), edge_of_(pending.size()), heap_(pending.size()), state_(pending.size(), State::Waiting) {
    // Group transfers by edge without hashing: sort by (source, destination).
    std::vector<std::size_t> by_edge(pending.size());
    std::iota(by_edge.begin(), by_edge.end(), std::size_t{0});
    const auto edge_key = [&](std::size_t t) {
      return (std::uint32_t{pending[t].source} << 16) | destination_tile(pending[t]);
    };
    std::sort(by_edge.begin(), by_edge.end(), [&](std::size_t a, std::size_t b) {
      const std::uint32_t ka = edge_key(a);
      const std::uint32_t kb = edge_key(b);
      return ka != kb ? ka < kb : a < b;
    });
    for (std::size_t position = 0; position < by_edge.size(); ++position) {
      const std::size_t t = by_edge[position];
      if (position == 0 || edge_key(by_edge[position - 1]) != edge_key(t))
        edges_.push_back(Edge{.slice_begin = position, .source = pending[t].source});
      edge_of_[t] = edges_.size() - 1;
    }
    active_.reserve(edges_.size());
  }

  void insert(std::size_t transfer) {
    kel_runtime::expect(state_[transfer] == State::Waiting, "transfer becomes ready once");
    state_[transfer] = State::Ready;
    const std::size_t e = edge_of_[transfer];
    Edge& edge = edges_[e];
    const auto slice = heap_.begin() + static_cast<std::ptrdiff_t>(edge.slice_begin);
    // Each transfer of the edge is inserted at most once, so the slice never
    // outgrows the edge's transfer count.
    slice[static_cast<std::ptrdiff_t>(edge.heap_size)] = RankedTransfer{rank_[transfer], transfer};
    ++edge.heap_size;
    std::push_heap(slice, slice + static_cast<std::ptrdiff_t>(edge.heap_size), kMinRankHeap);
    ++edge.ready_count;
    if (!edge.listed) {
      edge.listed = true;
      active_.push_back(e);
    }
  }

  void remove(std::size_t transfer) {
    kel_runtime::expect(state_[transfer] == State::Ready, "ordered transfer was ready");
    state_[transfer] = State::Ordered;
    --edges_[edge_of_[transfer]].ready_count;
  }

  /// Appends the smallest-rank ready transfer of every edge that has one,
  /// with the edge's source tile.
  void collect_candidates(std::vector<Candidate>& candidates) {
    std::size_t kept = 0;
    for (const std::size_t e : active_) {
      Edge& edge = edges_[e];
      if (edge.ready_count == 0) {
        edge.heap_size = 0;  // every entry left is ordered
        edge.listed = false;
        continue;
      }
      active_[kept++] = e;
      const auto slice = heap_.begin() + static_cast<std::ptrdiff_t>(edge.slice_begin);
      while (state_[slice->transfer] == State::Ordered) {
        std::pop_heap(slice, slice + static_cast<std::ptrdiff_t>(edge.heap_size), kMinRankHeap);
        --edge.heap_size;
      }
      candidates.push_back(Candidate{*slice, edge.source});
    }
    active_.resize(kept);
  }

 private:
  enum class State : std::uint8_t { Waiting, Ready, Ordered };

  struct Edge {
    std::size_t slice_begin = 0;  // into heap_
    std::size_t heap_size = 0;    // including ordered entries not yet dropped
    std::size_t ready_count = 0;  // ready and not yet ordered
    std::uint16_t source = 0;
    bool listed = false;          // in active_
  };

  std::span<const std::size_t> rank_;
  std::vector<std::size_t> edge_of_;  // per transfer
  std::vector<Edge> edges_;
  std::vector<RankedTransfer> heap_;
  std::vector<State> state_;          // per transfer
  std::vector<std::size_t> active_;   // edges that may hold ready transfers
};

}  // namespace

bool augment_ready_matching(std::uint16_t source, std::span<const PendingTransfer> pending,
                            std::span<const std::vector<std::size_t>> adjacency,
                            std::span<std::optional<std::size_t>> matched_transfer,
                            std::span<std::optional<std::uint16_t>> matched_source, std::span<std::size_t> dist) {
  // The next layer; an unreachable source has none.
  const std::size_t next = dist[source] == kUnreachable ? kUnreachable : dist[source] + 1;
  for (const std::size_t t : adjacency[source]) {
    const std::uint16_t destination = destination_tile(pending[t]);
    const std::optional<std::uint16_t> owner = matched_source[destination];
    // Layers strictly increase along the path, so the recursion is at most
    // as deep as there are source tiles.
    if (!owner || (next != kUnreachable && dist[*owner] == next &&
                   augment_ready_matching(*owner, pending, adjacency, matched_transfer, matched_source, dist))) {
      matched_transfer[source] = t;
      matched_source[destination] = source;
      return true;
    }
  }
  dist[source] = kUnreachable;
  return false;
}

void maximize_ready_matching(std::span<const std::uint16_t> sources, std::span<const PendingTransfer> pending,
                             std::span<const std::vector<std::size_t>> adjacency, ReadyMatching& matching) {
  auto& dist = matching.dist;
  auto& queue = matching.queue;
  for (;;) {
    queue.clear();
    for (const std::uint16_t s : sources) {
      if (matching.matched_transfer[s]) {
        dist[s] = kUnreachable;
      } else {
        dist[s] = 0;
        queue.push_back(s);
      }
    }
    // The whole layering is built even after a free destination is seen.
    bool free_destination = false;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const std::uint16_t s = queue[head];
      for (const std::size_t t : adjacency[s]) {
        const std::optional<std::uint16_t> owner = matching.matched_source[destination_tile(pending[t])];
        if (!owner) {
          free_destination = true;
        } else if (dist[*owner] == kUnreachable) {
          dist[*owner] = dist[s] + 1;
          queue.push_back(*owner);
        }
      }
    }
    if (!free_destination) return;

    bool augmented = false;
    for (const std::uint16_t s : sources) {
      if (matching.matched_transfer[s]) continue;
      if (augment_ready_matching(s, pending, adjacency, matching.matched_transfer, matching.matched_source, dist))
        augmented = true;
    }
    if (!augmented) return;
  }
}

std::optional<std::vector<std::size_t>> point_to_point_matching_wave_order(const SchedulingProblem& problem,
                                                                           const MaterializedSchedule& best) {
  return point_to_point_matching_wave_order(problem, std::span<const std::size_t>(best.order));
}

std::optional<std::vector<std::size_t>> point_to_point_matching_wave_order(const SchedulingProblem& problem,
                                                                           std::span<const std::size_t> best_order) {
  const std::span<const PendingTransfer> pending = problem.pending();
  const std::size_t n = pending.size();
  const std::uint16_t tile_count = problem.tile_count();
  if (!qualifies(pending, tile_count)) return std::nullopt;

  std::vector<std::size_t> rank(n, kUnranked);
  for (std::size_t position = 0; position < best_order.size(); ++position) {
    const std::size_t t = best_order[position];
    if (t < n && rank[t] == kUnranked) rank[t] = position;
  }

  ReadyEdges ready(pending, rank);
  std::vector<std::size_t> remaining(n);
  for (std::size_t t = 0; t < n; ++t) {
    remaining[t] = problem.predecessors(t).size();
    if (remaining[t] == 0) ready.insert(t);
  }

  std::vector<std::vector<std::size_t>> adjacency(tile_count);
  ReadyMatching matching(tile_count);
  std::vector<Candidate> candidates;
  std::vector<std::uint16_t> sources;
  std::vector<RankedTransfer> wave;
  candidates.reserve(n);
  sources.reserve(tile_count);
  wave.reserve(std::min<std::size_t>(n, tile_count));
  std::vector<std::size_t> order;
  order.reserve(n);

  while (order.size() < n) {
    // Candidates in rank order make every source's list rank-sorted and list
    // the sources by the rank of their first candidate.
    candidates.clear();
    ready.collect_candidates(candidates);
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return ranks_before(a.ranked, b.ranked); });
    sources.clear();
    for (const Candidate& c : candidates) {
      if (adjacency[c.source].empty()) sources.push_back(c.source);
      adjacency[c.source].push_back(c.ranked.transfer);
    }

    maximize_ready_matching(sources, pending, adjacency, matching);

    // Collect the wave and leave the matching state empty for the next one.
    wave.clear();
    for (const std::uint16_t s : sources) {
      if (const std::optional<std::size_t> t = matching.matched_transfer[s]) {
        wave.push_back(RankedTransfer{rank[*t], *t});
        matching.matched_source[destination_tile(pending[*t])].reset();
        matching.matched_transfer[s].reset();
      }
      adjacency[s].clear();
    }
    // Only a cycle or an unreachable transfer can leave nothing ready.
    if (wave.empty()) return std::nullopt;
    std::sort(wave.begin(), wave.end(), ranks_before);

    // Transfers made ready here join the next wave at the earliest.
    for (const RankedTransfer& w : wave) {
      ready.remove(w.transfer);
      order.push_back(w.transfer);
      for (const std::size_t u : problem.successors(w.transfer))
        if (--remaining[u] == 0) ready.insert(u);
    }
  }
  return order;
}

}  // namespace kel_codegen::exchange::order
