// The repair's list scheduler: one live queue entry per endpoint group,
// refreshed lazily when it reaches the top, a cheap per-tile timing model, and
// a pop budget for the broader mode.
#include "kel_codegen/exchange/order/CriticalNeighborhood.h"

#include <algorithm>
#include <limits>

#include "kel_codegen/exchange/order/RepairState.h"
#include "kel_runtime/Log.h"

namespace kel_codegen::exchange::order {

namespace {

constexpr std::string_view kTarget = "kel_codegen::exchange::order";

struct QueueEntry {
  RepairReady record;
  std::size_t group = 0;
  std::uint64_t generation = 0;
};

// True when `a` is popped before `b`.
bool popped_before(const QueueEntry& a, const QueueEntry& b) {
  if (a.record != b.record) return has_priority_over(a.record, b.record);
  if (a.group != b.group) return a.group > b.group;
  return a.generation > b.generation;
}

// std heap functions keep the "largest" entry on top.
constexpr auto kHeapOrder = [](const QueueEntry& a, const QueueEntry& b) { return popped_before(b, a); };

class RepairQueue {
 public:
  void push(const RepairReady& record, std::size_t group, std::uint64_t generation) {
    heap_.push_back(QueueEntry{record, group, generation});
    std::push_heap(heap_.begin(), heap_.end(), kHeapOrder);
  }
  std::optional<QueueEntry> pop() {
    if (heap_.empty()) return std::nullopt;
    std::pop_heap(heap_.begin(), heap_.end(), kHeapOrder);
    const QueueEntry top = heap_.back();
    heap_.pop_back();
    return top;
  }
  void reserve(std::size_t entries) { heap_.reserve(entries); }

 private:
  std::vector<QueueEntry> heap_;
};

}  // namespace

std::size_t repair_visit_budget(std::size_t transfers) {
  constexpr std::size_t kFloor = 65536;
  if (transfers > std::numeric_limits<std::size_t>::max() / 8) return std::numeric_limits<std::size_t>::max();
  return std::max(kFloor, 8 * transfers);
}

std::optional<std::vector<std::size_t>> critical_neighborhood_order(const SchedulingProblem& problem,
                                                                    const MaterializedSchedule& current, bool local) {
  const std::size_t n = problem.transfer_count();
  if (n <= 1) return current.order;

  RepairState state = RepairState::create(problem, current);
  if (state.neighborhood_size() <= 1) return current.order;
  state.group_transfers();

  RepairQueue queue;
  queue.reserve(2 * state.groups.size());
  for (std::size_t g = 0; g < state.groups.size(); ++g)
    if (const auto best = state.groups[g].best(state, local)) queue.push(*best, g, 0);

  const std::size_t budget = repair_visit_budget(n);
  std::size_t visits = 0;
  std::vector<std::size_t> order;
  order.reserve(n);
  std::vector<std::size_t> affected;
  while (const std::optional<QueueEntry> entry = queue.pop()) {
    ++visits;
    if (!local && visits > budget) {
      KEL_DEBUG(kTarget, "broader exchange repair reached its queue-work budget", kel_runtime::field("transfers", n),
                kel_runtime::field("visits", visits));
      return std::nullopt;
    }
    RepairGroup& group = state.groups[entry->group];
    if (entry->generation != group.generation) continue;
    const std::optional<RepairReady> best = group.best(state, local);
    if (!best) continue;
    if (*best != entry->record) {
      // Another group's step moved the shared tile state; re-rank.
      queue.push(*best, entry->group, group.generation);
      continue;
    }

    const std::size_t t = best->transfer_index;
    const PendingTransfer& transfer = state.pending[t];
    state.take(t);
    const std::uint32_t cycles = transfer.payload_cycles().value_or(0);
    if (cycles > std::numeric_limits<std::uint32_t>::max() - best->earliest_start) return current.order;
    const std::uint32_t finish = best->earliest_start + cycles;
    state.tiles[transfer.source].send_available = finish;
    if (transfer.partner) state.tiles[*transfer.partner].send_available = finish;
    if (transfer.words > 0x3FFFFFFFu) return current.order;
    const std::uint32_t bytes = 4 * transfer.words;
    for (const PendingDestination& d : transfer.destinations) {
      RepairTile& tile = state.tiles[d.tile];
      tile.receive_available = finish;
      tile.next_receive_address = d.address <= std::numeric_limits<std::uint32_t>::max() - bytes
                                      ? std::optional<std::uint32_t>(d.address + bytes)
                                      : std::nullopt;
    }
    for (const std::uint16_t tile : transfer.tiles()) {
      std::uint64_t& work = state.tile_work[tile];
      work = work > cycles ? work - cycles : 0;
    }
    order.push_back(t);

    affected.clear();
    affected.push_back(state.group_of[t]);
    for (const std::size_t successor : problem.successors(t)) {
      if (--state.remaining_predecessors[successor] == 0) {
        state.make_ready(successor);
        affected.push_back(state.group_of[successor]);
      }
    }
    std::sort(affected.begin(), affected.end());
    affected.erase(std::unique(affected.begin(), affected.end()), affected.end());
    for (const std::size_t g : affected) {
      RepairGroup& changed = state.groups[g];
      ++changed.generation;
      if (const auto offer = changed.best(state, local)) queue.push(*offer, g, changed.generation);
    }
  }

  KEL_DEBUG(kTarget, "finished exchange repair ordering", kel_runtime::field("transfers", n),
            kel_runtime::field("visits", visits), kel_runtime::field("local", local));
  if (order.size() == n) return order;
  return current.order;
}

}  // namespace kel_codegen::exchange::order
