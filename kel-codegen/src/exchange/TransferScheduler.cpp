// The greedy list scheduler's heap discipline: ready groups, lazy refresh of
// the top, and rebuilds when stale tops pile up. The heap holds compact
// entries whose order is exactly the order of `ReadyTransfer`; since that
// order is total, the top is the same whatever the heap's shape, so only the
// stored priorities (and when they are refreshed) decide the placements.
#include "kel_codegen/exchange/TransferScheduler.h"

#include <algorithm>
#include <bit>
#include <type_traits>

#include "kel_runtime/Invariant.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > ~std::uint64_t{0} - b ? ~std::uint64_t{0} : a + b;
}

// Entry of a phase without multicasts, whose endpoint work never changes and
// is part of the rank: the priority is (start, rank) packed into one key, and
// a transfer with one destination and no partner carries its endpoints, so
// refreshing it reads only the tile readiness.
struct StaticEntry {
  std::uint64_t key = 0;  ///< start in the high half, rank in the low half
  std::uint32_t dependency_ready = 0;
  std::uint16_t source = 0;
  std::uint16_t destination = 0;  ///< 0xFFFF: look the endpoints up by rank

  std::uint32_t ready() const { return static_cast<std::uint32_t>(key >> 32); }
  std::uint32_t rank() const { return static_cast<std::uint32_t>(key); }
  bool ahead_of(const StaticEntry& other) const { return key < other.key; }
};

// Entry of a phase with multicasts, whose endpoint work shrinks as tiles fill.
struct DynamicEntry {
  std::uint32_t ready_ = 0;
  std::uint32_t rank_ = 0;
  std::uint64_t endpoint_work = 0;

  std::uint32_t ready() const { return ready_; }
  std::uint32_t rank() const { return rank_; }
  bool ahead_of(const DynamicEntry& other) const {
    if (ready_ != other.ready_) return ready_ < other.ready_;
    if (endpoint_work != other.endpoint_work) return endpoint_work > other.endpoint_work;
    return rank_ < other.rank_;
  }
};

// A 4-ary max-priority heap: shallower than a binary one, and the children
// of one entry share a cache line or two.
template <class Entry>
class ReadyHeap {
 public:
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  Entry& top() { return items_.front(); }
  std::vector<Entry>& items() { return items_; }

  void push(const Entry& entry) {
    items_.push_back(entry);
    sift_up(items_.size() - 1, entry);
  }

  /// Restores the heap after the top's priority changed.
  void fix_top() { settle_from_root(items_.front()); }

  void pop() {
    const Entry last = items_.back();
    items_.pop_back();
    if (!items_.empty()) settle_from_root(last);
  }

  void make_heap() {
    if (items_.size() < 2) return;
    for (std::size_t i = (items_.size() - 2) / kArity + 1; i-- > 0;) sift_down(i);
  }

 private:
  static constexpr std::size_t kArity = 4;

  std::size_t best_child(std::size_t first) const {
    const std::size_t last = std::min(first + kArity, items_.size());
    std::size_t best = first;
    for (std::size_t c = first + 1; c < last; ++c)
      if (items_[c].ahead_of(items_[best])) best = c;
    return best;
  }

  // Places `moving` starting from an empty root: the hole goes down along the
  // best children to a leaf, then `moving` climbs back as far as it belongs.
  // A refreshed top usually belongs deep down, so this saves comparisons.
  void settle_from_root(Entry moving) {
    std::size_t at = 0;
    for (;;) {
      const std::size_t first = kArity * at + 1;
      if (first >= items_.size()) break;
      const std::size_t best = best_child(first);
      items_[at] = items_[best];
      at = best;
    }
    sift_up(at, moving);
  }

  void sift_up(std::size_t at, const Entry& moving) {
    while (at > 0) {
      const std::size_t parent = (at - 1) / kArity;
      if (!moving.ahead_of(items_[parent])) break;
      items_[at] = items_[parent];
      at = parent;
    }
    items_[at] = moving;
  }

  void sift_down(std::size_t at) {
    const Entry moving = items_[at];
    for (;;) {
      const std::size_t first = kArity * at + 1;
      if (first >= items_.size()) break;
      const std::size_t best = best_child(first);
      if (!items_[best].ahead_of(moving)) break;
      items_[at] = items_[best];
      at = best;
    }
    items_[at] = moving;
  }

  std::vector<Entry> items_;
};

}  // namespace

bool has_priority_over(const ReadyTransfer& a, const ReadyTransfer& b) {
  if (a.ready != b.ready) return a.ready < b.ready;
  if (a.endpoint_work != b.endpoint_work) return a.endpoint_work > b.endpoint_work;
  if (a.destinations != b.destinations) return a.destinations > b.destinations;
  if (a.issue_cycles != b.issue_cycles) return a.issue_cycles > b.issue_cycles;
  if (a.source != b.source) return a.source < b.source;
  return a.transfer < b.transfer;
}

std::uint32_t issue_cycles(const PendingTransfer& transfer) {
  if (transfer.width == ExchangeItemWidth::Paired64 && transfer.words % 2 == 0) return transfer.words / 2;
  return transfer.words;
}

TransferScheduler::TransferScheduler(const SchedulingProblem& problem, const MaterializedSchedule& schedule)
    : problem_(problem),
      schedule_(schedule),
      tile_work_(problem.tile_work().begin(), problem.tile_work().end()),
      remaining_predecessors_(problem.transfer_count()) {
  kel_runtime::expect(problem.transfer_count() < kNoGroup, "transfer count fits the scheduler's indices");
  for (std::size_t i = 0; i < problem.transfer_count(); ++i) {
    remaining_predecessors_[i] = problem.predecessors(i).size();
    multicast_ = multicast_ || problem.pending()[i].destinations.size() >= 2;
  }
  rank_transfers();
  build_groups();
}

void TransferScheduler::rank_transfers() {
  const std::span<const PendingTransfer> pending = problem_.pending();
  const std::size_t n = pending.size();

  // The rank orders transfers by the static part of the priority: (without
  // multicasts, more endpoint work at the start, which then never changes,)
  // more destinations, more issue cycles, smaller source, smaller index.
  struct StaticKey {
    std::uint64_t work;
    std::uint64_t destinations;
    std::uint32_t issue;
    std::uint16_t source;
    std::uint32_t transfer;
  };
  std::vector<StaticKey> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t work = 0;
    if (!multicast_)
      for (const std::uint16_t tile : pending[i].tiles()) work = saturating_add(work, tile_work_[tile]);
    keys[i] = StaticKey{work, pending[i].destinations.size(), issue_cycles(pending[i]), pending[i].source,
                        static_cast<std::uint32_t>(i)};
  }
  std::sort(keys.begin(), keys.end(), [](const StaticKey& a, const StaticKey& b) {
    if (a.work != b.work) return a.work > b.work;
    if (a.destinations != b.destinations) return a.destinations > b.destinations;
    if (a.issue != b.issue) return a.issue > b.issue;
    if (a.source != b.source) return a.source < b.source;
    return a.transfer < b.transfer;
  });
  transfer_of_.resize(n);
  for (std::size_t r = 0; r < n; ++r) transfer_of_[r] = keys[r].transfer;

  rank_of_.resize(n);
  nodes_.resize(n);
  for (std::uint32_t rank = 0; rank < n; ++rank) {
    const std::uint32_t t = transfer_of_[rank];
    rank_of_[t] = rank;
    const PendingTransfer& transfer = pending[t];
    Node& node = nodes_[rank];
    node.source = transfer.source;
    node.partner = transfer.partner ? *transfer.partner : kNoTile;
    kel_runtime::expect(transfer.destinations.size() < kNoTile, "destination count fits the scheduler's nodes");
    node.destination_count = static_cast<std::uint16_t>(transfer.destinations.size());
    node.more_destinations = static_cast<std::uint32_t>(destination_tiles_.size());
    if (!transfer.destinations.empty()) node.first_destination = transfer.destinations[0].tile;
    for (std::size_t d = 1; d < transfer.destinations.size(); ++d)
      destination_tiles_.push_back(transfer.destinations[d].tile);
  }
}

std::uint64_t TransferScheduler::endpoint_work(std::uint32_t rank) const {
  const Node& node = nodes_[rank];
  // Saturating sums do not depend on the order of the terms.
  std::uint64_t work = tile_work_[node.source];
  if (node.partner != kNoTile) work = saturating_add(work, tile_work_[node.partner]);
  if (node.destination_count > 0) {
    work = saturating_add(work, tile_work_[node.first_destination]);
    const std::uint16_t* more = destination_tiles_.data() + node.more_destinations;
    for (std::size_t d = 1; d < node.destination_count; ++d) work = saturating_add(work, tile_work_[more[d - 1]]);
  }
  return work;
}

std::uint32_t TransferScheduler::estimated_start(std::uint32_t rank) const {
  const Node& node = nodes_[rank];
  const auto& ready = schedule_.tile_ready;
  std::uint32_t r = std::max(node.dependency_ready, ready[node.source].send_ready);
  if (node.partner != kNoTile) r = std::max(r, ready[node.partner].send_ready);
  if (node.destination_count > 0) {
    r = std::max(r, ready[node.first_destination].receive_ready);
    const std::uint16_t* more = destination_tiles_.data() + node.more_destinations;
    for (std::size_t d = 1; d < node.destination_count; ++d) r = std::max(r, ready[more[d - 1]].receive_ready);
  }
  return r;
}

ReadyTransfer TransferScheduler::push_ready(std::size_t transfer) const {
  const PendingTransfer& pending = problem_.pending()[transfer];
  const std::uint32_t rank = rank_of_[transfer];
  return ReadyTransfer{nodes_[rank].dependency_ready, endpoint_work(rank), pending.destinations.size(),
                       issue_cycles(pending), pending.source, transfer};
}

bool TransferScheduler::refresh(ReadyTransfer& entry) const {
  const std::uint32_t r = estimated_start(rank_of_[entry.transfer]);
  const std::uint64_t w = multicast_ ? endpoint_work(rank_of_[entry.transfer]) : entry.endpoint_work;
  const bool changed = r != entry.ready || w != entry.endpoint_work;
  entry.ready = r;
  entry.endpoint_work = w;
  return changed;
}

void TransferScheduler::build_groups() {
  // Initially ready transfers with the same endpoints (source, partner,
  // destination list in order) share one group, so only one of them sits in
  // the heads heap at a time. Sorting by endpoints and then by rank lays each
  // group out in its pop order.
  const std::span<const PendingTransfer> pending = problem_.pending();
  const std::size_t n = pending.size();
  // Most comparisons end on a packed (source, partner, first destination)
  // prefix of the endpoint list; equal prefixes compare the rest.
  const auto prefix = [&](std::uint32_t rank) {
    const Node& node = nodes_[rank];
    const std::uint64_t partner = node.partner == kNoTile ? 0x10000u : node.partner;
    const std::uint64_t first = node.destination_count == 0 ? 0 : std::uint64_t{node.first_destination} + 1;
    return (std::uint64_t{node.source} << 40) | (partner << 20) | first;
  };
  const auto endpoint_order = [&](std::uint32_t a, std::uint32_t b) {
    const std::uint64_t pa = prefix(a);
    const std::uint64_t pb = prefix(b);
    if (pa != pb) return pa < pb ? -1 : 1;
    const PendingTransfer& x = pending[transfer_of_[a]];
    const PendingTransfer& y = pending[transfer_of_[b]];
    const std::size_t common = std::min(x.destinations.size(), y.destinations.size());
    for (std::size_t d = 1; d < common; ++d)
      if (x.destinations[d].tile != y.destinations[d].tile)
        return x.destinations[d].tile < y.destinations[d].tile ? -1 : 1;
    if (x.destinations.size() != y.destinations.size())
      return x.destinations.size() < y.destinations.size() ? -1 : 1;
    return 0;
  };
  struct Member {
    std::uint64_t prefix;
    std::uint32_t rank;
  };
  std::vector<Member> members;
  for (std::uint32_t rank = 0; rank < n; ++rank)
    if (remaining_predecessors_[transfer_of_[rank]] == 0) members.push_back(Member{prefix(rank), rank});
  std::sort(members.begin(), members.end(), [&](const Member& a, const Member& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int order = endpoint_order(a.rank, b.rank);
    return order != 0 ? order < 0 : a.rank < b.rank;
  });
  group_members_.reserve(members.size());
  for (const Member& m : members) group_members_.push_back(m.rank);

  group_of_.assign(n, kNoGroup);
  for (std::size_t i = 0; i < group_members_.size();) {
    std::size_t j = i + 1;
    while (j < group_members_.size() && endpoint_order(group_members_[i], group_members_[j]) == 0) ++j;
    const auto group = static_cast<std::uint32_t>(group_next_.size());
    group_next_.push_back(static_cast<std::uint32_t>(i));
    group_end_.push_back(static_cast<std::uint32_t>(j));
    // Every member shares the endpoints and so the endpoint work.
    group_work_.push_back(endpoint_work(group_members_[i]));
    for (std::size_t k = i; k < j; ++k) group_of_[group_members_[k]] = group;
    i = j;
  }
}

std::expected<void, ExchangeLoweringError> TransferScheduler::run(const kel_exchange::Topology& topology,
                                                                  std::span<const std::uint32_t> receive_bases,
                                                                  std::span<const std::uint64_t> receive_counts,
                                                                  bool validate, MaterializedSchedule& schedule) {
  if (multicast_) return run_with<DynamicEntry>(topology, receive_bases, receive_counts, validate, schedule);
  return run_with<StaticEntry>(topology, receive_bases, receive_counts, validate, schedule);
}

template <class Entry>
std::expected<void, ExchangeLoweringError> TransferScheduler::run_with(const kel_exchange::Topology& topology,
                                                                       std::span<const std::uint32_t> receive_bases,
                                                                       std::span<const std::uint64_t> receive_counts,
                                                                       bool validate, MaterializedSchedule& schedule) {
  constexpr bool kStatic = std::is_same_v<Entry, StaticEntry>;
  const auto make = [&](std::uint32_t ready, std::uint32_t rank, std::uint64_t work) {
    if constexpr (kStatic) {
      static_cast<void>(work);
      const Node& node = nodes_[rank];
      const bool simple = node.partner == kNoTile && node.destination_count == 1;
      return StaticEntry{(std::uint64_t{ready} << 32) | rank, node.dependency_ready, node.source,
                         simple ? node.first_destination : kNoTile};
    } else {
      return DynamicEntry{ready, rank, work};
    }
  };
  // Recomputes the entry's start (and endpoint work); true when it changed.
  const auto refresh_entry = [&](Entry& entry) {
    if constexpr (kStatic) {
      std::uint32_t r = 0;
      if (entry.destination != kNoTile) {
        const auto& ready = schedule_.tile_ready;
        r = std::max({entry.dependency_ready, ready[entry.source].send_ready, ready[entry.destination].receive_ready});
      } else {
        r = estimated_start(entry.rank());
      }
      if (r == entry.ready()) return false;
      entry.key = (std::uint64_t{r} << 32) | entry.rank();
      return true;
    } else {
      const std::uint32_t r = estimated_start(entry.rank_);
      const std::uint64_t w = endpoint_work(entry.rank_);
      const bool changed = r != entry.ready_ || w != entry.endpoint_work;
      entry.ready_ = r;
      entry.endpoint_work = w;
      return changed;
    }
  };

  ReadyHeap<Entry> heads;
  heads.items().reserve(group_next_.size());
  for (std::size_t g = 0; g < group_next_.size(); ++g)
    heads.items().push_back(make(0, group_members_[group_next_[g]], group_work_[g]));
  heads.make_heap();

  std::vector<TileFrontier> frontier(problem_.tile_count());
  std::size_t stale = 0;
  while (!heads.empty()) {
    if (refresh_entry(heads.top())) {
      ++stale;
      const std::size_t length = heads.size();
      if (length >= 128 && static_cast<std::size_t>(std::bit_width(length) - 1) * stale >= length) {
        for (Entry& entry : heads.items()) refresh_entry(entry);
        heads.make_heap();
      } else {
        heads.fix_top();
      }
      continue;
    }

    const Entry chosen = heads.top();
    heads.pop();
    const std::uint32_t chosen_rank = chosen.rank();
    if (const std::uint32_t group = group_of_[chosen_rank]; group != kNoGroup) {
      std::uint32_t& next = group_next_[group];
      kel_runtime::expect(next < group_end_[group], "nonempty ready group");
      ++next;
      if (next < group_end_[group]) heads.push(make(chosen.ready(), group_members_[next], group_work_[group]));
    }

    const std::size_t x = transfer_of_[chosen_rank];
    const std::uint32_t finish = TRY(schedule.append(topology, problem_.pending(), receive_bases, receive_counts, x,
                                                     nodes_[chosen_rank].dependency_ready, validate, frontier));
    stale = 0;
    if (multicast_) {
      const std::uint32_t cycles = issue_cycles(problem_.pending()[x]);
      for (const std::uint16_t tile : problem_.pending()[x].tiles())
        tile_work_[tile] = tile_work_[tile] > cycles ? tile_work_[tile] - cycles : 0;
    }
    for (const std::size_t successor : problem_.successors(x)) {
      const std::uint32_t rank = rank_of_[successor];
      nodes_[rank].dependency_ready = std::max(nodes_[rank].dependency_ready, finish);
      if (--remaining_predecessors_[successor] == 0)
        heads.push(make(nodes_[rank].dependency_ready, rank, multicast_ ? endpoint_work(rank) : 0));
    }
  }
  return {};
}

std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule_impl(
    const kel_exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts, bool validate) {
  MaterializedSchedule schedule = MaterializedSchedule::create(problem.tile_count(), problem.pending());
  TransferScheduler scheduler(problem, schedule);
  TRY(scheduler.run(topology, receive_bases, receive_counts, validate, schedule));
  schedule.horizon = schedule.builder.event_cycles();
  return schedule;
}

}  // namespace kel_codegen::exchange
