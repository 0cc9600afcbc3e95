// The greedy list scheduler's heap discipline: ready groups, lazy refresh of
// the top, and rebuilds when stale tops pile up. The ready queue holds compact
// entries whose order is exactly the order of `ReadyTransfer`; since that
// order is total, the top is the same whatever the queue's layout, so only
// the stored priorities (and when they are refreshed) decide the placements.
#include "kel_codegen/exchange/TransferScheduler.h"

#include <algorithm>
#include <array>
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

  static constexpr bool kRankOrderedWithinStart = true;

  std::uint32_t ready() const { return static_cast<std::uint32_t>(key >> 32); }
  std::uint32_t rank() const { return static_cast<std::uint32_t>(key); }
  bool ahead_of(const StaticEntry& other) const { return key < other.key; }
};

// Entry of a phase with multicasts, whose endpoint work shrinks as tiles fill.
struct DynamicEntry {
  std::uint32_t ready_ = 0;
  std::uint32_t rank_ = 0;
  std::uint64_t endpoint_work = 0;

  static constexpr bool kRankOrderedWithinStart = false;

  std::uint32_t ready() const { return ready_; }
  std::uint32_t rank() const { return rank_; }
  bool ahead_of(const DynamicEntry& other) const {
    if (ready_ != other.ready_) return ready_ < other.ready_;
    if (endpoint_work != other.endpoint_work) return endpoint_work > other.endpoint_work;
    return rank_ < other.rank_;
  }
};

// The ready queue: a bucket queue keyed by start cycle whose pop order is
// exactly the entries' total order. Entries starting at the current cycle sit
// in a sorted run consumed from the front; entries pushed at or before the
// current cycle once the run is sorted go to a small heap beside it; later
// starts wait unsorted in per-cycle buckets until their cycle comes up. A
// refreshed top moves to a later bucket in constant time, where a heap would
// sift it through every level. Starts beyond the bucket array's limit go to
// a heap instead, so the memory stays bounded whatever the cycles.
template <class Entry>
class ReadyQueue {
 public:
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  Entry& top() { return from_run_ ? run_[run_next_] : near_.front(); }

  /// Replaces the contents; the order of `entries` does not matter.
  void assign(std::vector<Entry>& entries) {
    run_.clear();
    run_next_ = 0;
    near_.clear();
    far_.clear();
    for (std::vector<Entry>& bucket : buckets_) bucket.clear();
    future_ = 0;
    size_ = entries.size();
    if (entries.empty()) {
      from_run_ = false;
      return;
    }
    std::uint32_t first = entries.front().ready();
    for (const Entry& entry : entries) first = std::min(first, entry.ready());
    cursor_ = first;
    for (const Entry& entry : entries) {
      if (entry.ready() == first)
        run_.push_back(entry);
      else
        add_future(entry);
    }
    sort_run();
    settle();
  }

  void push(const Entry& entry) {
    insert(entry);
    ++size_;
    settle();
  }

  void pop() {
    remove_top();
    --size_;
    settle();
  }

  /// Restores the order after the top's priority changed.
  void fix_top() {
    const Entry moved = top();
    remove_top();
    insert(moved);
    settle();
  }

  /// Applies `refresh` to every entry and restores the order.
  template <class Refresh>
  void refresh_all(Refresh refresh) {
    std::vector<Entry> all;
    all.reserve(size_);
    all.insert(all.end(), run_.begin() + static_cast<std::ptrdiff_t>(run_next_), run_.end());
    all.insert(all.end(), near_.begin(), near_.end());
    all.insert(all.end(), far_.begin(), far_.end());
    for (std::size_t start = cursor_ + std::size_t{1}; start < buckets_.size(); ++start)
      all.insert(all.end(), buckets_[start].begin(), buckets_[start].end());
    for (Entry& entry : all) refresh(entry);
    assign(all);
  }

 private:
  static constexpr std::uint32_t kBucketLimit = 1u << 18;

  static void heap_push(std::vector<Entry>& heap, const Entry& entry) {
    std::size_t at = heap.size();
    heap.push_back(entry);
    while (at > 0) {
      const std::size_t parent = (at - 1) / 2;
      if (!entry.ahead_of(heap[parent])) break;
      heap[at] = heap[parent];
      at = parent;
    }
    heap[at] = entry;
  }

  static void heap_pop(std::vector<Entry>& heap) {
    // The front may already hold a changed priority, so it is never compared.
    const Entry moving = heap.back();
    heap.pop_back();
    if (heap.empty()) return;
    std::size_t at = 0;
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= heap.size()) break;
      if (child + 1 < heap.size() && heap[child + 1].ahead_of(heap[child])) ++child;
      if (!heap[child].ahead_of(moving)) break;
      heap[at] = heap[child];
      at = child;
    }
    heap[at] = moving;
  }

  void insert(const Entry& entry) {
    if (entry.ready() <= cursor_)
      heap_push(near_, entry);
    else
      add_future(entry);
  }

  void add_future(const Entry& entry) {
    const std::uint32_t start = entry.ready();
    if (start >= kBucketLimit) {
      heap_push(far_, entry);
      ++future_;
      return;
    }
    if (start >= buckets_.size())
      buckets_.resize(std::min<std::size_t>(kBucketLimit, std::max<std::size_t>(start + std::size_t{1}, 2 * buckets_.size())));
    std::vector<Entry>& bucket = buckets_[start];
    if (bucket.capacity() == 0 && !spare_.empty()) {
      bucket.swap(spare_.back());
      spare_.pop_back();
    }
    bucket.push_back(entry);
    ++future_;
  }

  void remove_top() {
    if (from_run_)
      ++run_next_;
    else
      heap_pop(near_);
  }

  // Sorts the run, whose entries share one start. Static entries then order
  // by rank alone, and long runs are radix-sorted on it.
  void sort_run() {
    if constexpr (Entry::kRankOrderedWithinStart) {
      if (run_.size() >= 256) {
        std::uint32_t highest = 0;
        for (const Entry& entry : run_) highest |= entry.rank();
        scratch_.resize(run_.size());
        for (unsigned shift = 0; shift == 0 || (shift < 32 && (highest >> shift) != 0); shift += 8) {
          std::array<std::uint32_t, 257> count{};
          for (const Entry& entry : run_) ++count[((entry.rank() >> shift) & 0xFF) + 1];
          for (std::size_t d = 1; d < count.size(); ++d) count[d] += count[d - 1];
          for (const Entry& entry : run_) scratch_[count[(entry.rank() >> shift) & 0xFF]++] = entry;
          run_.swap(scratch_);
        }
        return;
      }
    }
    std::sort(run_.begin(), run_.end(), [](const Entry& a, const Entry& b) { return a.ahead_of(b); });
  }

  // Makes the top current: when the run and the heap are both used up, the
  // next nonempty cycle's bucket becomes the run; the used run's storage is
  // kept for a later bucket rather than freed. Past the buckets, the entries
  // of the far heap's first start become the run, already in order.
  void settle() {
    if (run_next_ == run_.size() && near_.empty() && future_ > 0) {
      run_.clear();
      run_next_ = 0;
      if (future_ > far_.size()) {
        std::size_t start = cursor_ + std::size_t{1};
        while (buckets_[start].empty()) ++start;
        cursor_ = static_cast<std::uint32_t>(start);
        run_.swap(buckets_[start]);
        spare_.emplace_back();
        spare_.back().swap(buckets_[start]);
        future_ -= run_.size();
        sort_run();
      } else {
        cursor_ = far_.front().ready();
        while (!far_.empty() && far_.front().ready() == cursor_) {
          run_.push_back(far_.front());
          heap_pop(far_);
          --future_;
        }
      }
    }
    from_run_ = run_next_ < run_.size() && (near_.empty() || run_[run_next_].ahead_of(near_.front()));
  }

  std::size_t size_ = 0;
  std::uint32_t cursor_ = 0;  ///< start cycle of the run; later buckets hold later starts
  std::vector<Entry> run_;    ///< sorted, consumed from run_next_
  std::size_t run_next_ = 0;
  std::vector<Entry> near_;  ///< heap of entries starting at or before the cursor
  std::vector<Entry> far_;   ///< heap of entries starting at or past the bucket limit
  bool from_run_ = false;    ///< whether the top is the run's front
  std::vector<std::vector<Entry>> buckets_;  ///< per start cycle after the cursor, unsorted
  std::size_t future_ = 0;                   ///< entries in the buckets and the far heap
  std::vector<std::vector<Entry>> spare_;    ///< emptied storage for the next new bucket
  std::vector<Entry> scratch_;               ///< radix sort buffer
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

  ReadyQueue<Entry> heads;
  {
    std::vector<Entry> initial;
    initial.reserve(group_next_.size());
    for (std::size_t g = 0; g < group_next_.size(); ++g)
      initial.push_back(make(0, group_members_[group_next_[g]], group_work_[g]));
    heads.assign(initial);
  }

  std::vector<TileFrontier> frontier(problem_.tile_count());
  std::size_t stale = 0;
  while (!heads.empty()) {
    if (refresh_entry(heads.top())) {
      ++stale;
      const std::size_t length = heads.size();
      if (length >= 128 && static_cast<std::size_t>(std::bit_width(length) - 1) * stale >= length) {
        heads.refresh_all(refresh_entry);
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
