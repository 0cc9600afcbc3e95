// The greedy list scheduler's heap discipline: ready groups, lazy refresh of
// the top, and rebuilds when stale tops pile up.
#include "kel_codegen/exchange/TransferScheduler.h"

#include <algorithm>
#include <bit>
#include <map>

#include "kel_runtime/Invariant.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

namespace {

// std heap functions keep the "largest" entry on top; here that is the entry
// with priority.
constexpr auto kHeapOrder = [](const ReadyTransfer& a, const ReadyTransfer& b) { return has_priority_over(b, a); };

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > ~std::uint64_t{0} - b ? ~std::uint64_t{0} : a + b;
}

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
      remaining_predecessors_(problem.transfer_count()),
      dependency_ready_(problem.transfer_count(), 0),
      group_of_(problem.transfer_count()) {
  for (std::size_t i = 0; i < problem.transfer_count(); ++i) {
    remaining_predecessors_[i] = problem.predecessors(i).size();
    multicast_ = multicast_ || problem.pending()[i].destinations.size() >= 2;
  }
  build_groups();
}

std::uint64_t TransferScheduler::endpoint_work(std::size_t transfer) const {
  std::uint64_t work = 0;
  for (const std::uint16_t tile : problem_.pending()[transfer].tiles()) work = saturating_add(work, tile_work_[tile]);
  return work;
}

ReadyTransfer TransferScheduler::push_ready(std::size_t transfer) const {
  const PendingTransfer& pending = problem_.pending()[transfer];
  return ReadyTransfer{dependency_ready_[transfer], endpoint_work(transfer), pending.destinations.size(),
                       issue_cycles(pending), pending.source, transfer};
}

bool TransferScheduler::refresh(ReadyTransfer& entry) const {
  const PendingTransfer& pending = problem_.pending()[entry.transfer];
  const auto& ready = schedule_.tile_ready;
  std::uint32_t r = std::max(dependency_ready_[entry.transfer], ready[pending.source].send_ready);
  if (pending.partner) r = std::max(r, ready[*pending.partner].send_ready);
  for (const PendingDestination& d : pending.destinations) r = std::max(r, ready[d.tile].receive_ready);
  const std::uint64_t w = multicast_ ? endpoint_work(entry.transfer) : entry.endpoint_work;
  const bool changed = r != entry.ready || w != entry.endpoint_work;
  entry.ready = r;
  entry.endpoint_work = w;
  return changed;
}

void TransferScheduler::build_groups() {
  // Initially ready transfers with the same endpoints share one group, so only
  // one of them sits in the heads heap at a time.
  using Key = std::tuple<std::uint16_t, std::optional<std::uint16_t>, std::vector<std::uint16_t>>;
  std::map<Key, std::size_t> group_index;
  for (std::size_t i = 0; i < problem_.transfer_count(); ++i) {
    if (remaining_predecessors_[i] != 0) continue;
    const PendingTransfer& pending = problem_.pending()[i];
    Key key{pending.source, pending.partner, {}};
    for (const PendingDestination& d : pending.destinations) std::get<2>(key).push_back(d.tile);
    const auto [it, inserted] = group_index.try_emplace(std::move(key), groups_.size());
    if (inserted) groups_.emplace_back();
    groups_[it->second].push_back(push_ready(i));
    group_of_[i] = it->second;
  }
  for (Heap& group : groups_) {
    std::make_heap(group.begin(), group.end(), kHeapOrder);
    heads_.push_back(group.front());
  }
  std::make_heap(heads_.begin(), heads_.end(), kHeapOrder);
}

void TransferScheduler::rebuild_heads() {
  for (ReadyTransfer& entry : heads_) refresh(entry);
  std::make_heap(heads_.begin(), heads_.end(), kHeapOrder);
}

std::expected<void, ExchangeLoweringError> TransferScheduler::run(const kel_exchange::Topology& topology,
                                                                  std::span<const std::uint32_t> receive_bases,
                                                                  std::span<const std::uint64_t> receive_counts,
                                                                  bool validate, MaterializedSchedule& schedule) {
  std::vector<TileFrontier> frontier(problem_.tile_count());
  std::size_t stale = 0;
  while (!heads_.empty()) {
    ReadyTransfer& top = heads_.front();
    if (refresh(top)) {
      ++stale;
      const std::size_t length = heads_.size();
      if (length >= 128 && static_cast<std::size_t>(std::bit_width(length) - 1) * stale >= length) {
        rebuild_heads();
      } else {
        // Sift the refreshed top down.
        const ReadyTransfer updated = top;
        std::pop_heap(heads_.begin(), heads_.end(), kHeapOrder);
        heads_.back() = updated;
        std::push_heap(heads_.begin(), heads_.end(), kHeapOrder);
      }
      continue;
    }

    std::pop_heap(heads_.begin(), heads_.end(), kHeapOrder);
    const ReadyTransfer chosen = heads_.back();
    heads_.pop_back();
    if (const auto group = group_of_[chosen.transfer]) {
      Heap& queue = groups_[*group];
      kel_runtime::expect(!queue.empty(), "nonempty ready group");
      std::pop_heap(queue.begin(), queue.end(), kHeapOrder);
      queue.pop_back();
      if (!queue.empty()) {
        ReadyTransfer next = queue.front();
        next.ready = chosen.ready;
        heads_.push_back(next);
        std::push_heap(heads_.begin(), heads_.end(), kHeapOrder);
      }
    }

    const std::size_t x = chosen.transfer;
    const std::uint32_t finish = TRY(schedule.append(topology, problem_.pending(), receive_bases, receive_counts, x,
                                                     dependency_ready_[x], validate, frontier));
    stale = 0;
    if (multicast_) {
      const std::uint32_t cycles = issue_cycles(problem_.pending()[x]);
      for (const std::uint16_t tile : problem_.pending()[x].tiles())
        tile_work_[tile] = tile_work_[tile] > cycles ? tile_work_[tile] - cycles : 0;
    }
    for (const std::size_t successor : problem_.successors(x)) {
      dependency_ready_[successor] = std::max(dependency_ready_[successor], finish);
      if (--remaining_predecessors_[successor] == 0) {
        heads_.push_back(push_ready(successor));
        std::push_heap(heads_.begin(), heads_.end(), kHeapOrder);
      }
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
