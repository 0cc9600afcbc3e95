// Setting up a repair: positions and blocks of the current order, the critical
// path through the placements' critical predecessors, its per-tile
// neighbourhood, and the endpoint groups with their ready heaps.
#include "kel_codegen/exchange/order/RepairState.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "kel_runtime/Invariant.h"

namespace kel_codegen::exchange::order {

namespace {

constexpr std::size_t kUnset = ~std::size_t{0};

// Follows critical predecessors back from the latest-finishing placement.
std::vector<bool> critical_path(const MaterializedSchedule& schedule, std::size_t transfers) {
  std::vector<bool> critical(transfers, false);
  std::optional<std::size_t> last;
  for (std::size_t t = 0; t < transfers; ++t) {
    const auto& placement = schedule.placements[t];
    // `>=` lets the higher index win a tie.
    if (placement && (!last || placement->finish >= schedule.placements[*last]->finish)) last = t;
  }
  for (std::optional<std::size_t> at = last; at && !critical[*at];) {
    critical[*at] = true;
    const auto& placement = schedule.placements[*at];
    if (!placement) break;
    at = placement->critical_predecessor;
    kel_runtime::expect(!at || *at < transfers, "critical predecessor names a transfer");
  }
  return critical;
}

}  // namespace

std::size_t integer_sqrt(std::size_t value) {
  std::size_t root = 0;
  // Bit by bit from the top: no floating point, exact for every value.
  for (std::size_t bit = std::size_t{1} << (std::numeric_limits<std::size_t>::digits / 2 - 1); bit != 0; bit >>= 1) {
    const std::size_t trial = root | bit;
    if (trial <= value / trial) root = trial;
  }
  return root;
}

RepairState RepairState::create(const SchedulingProblem& problem, const MaterializedSchedule& schedule) {
  const std::size_t n = problem.transfer_count();
  RepairState state;
  state.pending = problem.pending();
  state.block_size = std::max<std::size_t>(1, integer_sqrt(n));

  kel_runtime::expect(schedule.order.size() == n && schedule.placements.size() == n,
                      "repaired schedule covers every transfer");
  state.position.assign(n, kUnset);
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t t = schedule.order[p];
    kel_runtime::expect(t < n && state.position[t] == kUnset, "current exchange order is a permutation");
    state.position[t] = p;
  }

  state.critical = critical_path(schedule, n);

  // Each tile's transfers in the current order, one entry per occurrence of
  // the tile, laid out tile by tile.
  const std::size_t tile_count = problem.tile_count();
  std::vector<std::size_t> offsets(tile_count + 1, 0);
  for (const PendingTransfer& transfer : state.pending)
    for (const std::uint16_t tile : transfer.tiles()) ++offsets[tile + 1];
  std::partial_sum(offsets.begin(), offsets.end(), offsets.begin());
  std::vector<std::size_t> listed(offsets.back());
  std::vector<std::size_t> fill(offsets.begin(), offsets.end() - 1);
  for (const std::size_t t : schedule.order)
    for (const std::uint16_t tile : state.pending[t].tiles()) listed[fill[tile]++] = t;

  // Within ⌊√k⌋ list positions of a critical transfer on some tile; the
  // windows come from critical flags only and do not cascade.
  state.in_neighborhood = state.critical;
  for (std::size_t tile = 0; tile < tile_count; ++tile) {
    const std::span<const std::size_t> list(listed.data() + offsets[tile], offsets[tile + 1] - offsets[tile]);
    const std::size_t k = list.size();
    const std::size_t w = integer_sqrt(k);
    std::size_t flagged_until = 0;  // list positions below this are already flagged
    for (std::size_t i = 0; i < k; ++i) {
      if (!state.critical[list[i]]) continue;
      const std::size_t first = std::max(i > w ? i - w : 0, flagged_until);
      const std::size_t end = std::min(k, i + w + 1);
      for (std::size_t j = first; j < end; ++j) state.in_neighborhood[list[j]] = true;
      flagged_until = std::max(flagged_until, end);
    }
  }

  state.remaining_predecessors.resize(n);
  for (std::size_t t = 0; t < n; ++t) state.remaining_predecessors[t] = problem.predecessors(t).size();
  state.status.assign(n, RepairStatus::Waiting);
  state.tile_work.assign(problem.tile_work().begin(), problem.tile_work().end());
  state.tiles.assign(tile_count, RepairTile{});
  return state;
}

void RepairState::group_transfers() {
  const std::size_t n = pending.size();

  // Endpoint signature per transfer: source, partner + 1 (0 without one),
  // destination tiles ascending.
  std::vector<std::size_t> begin(n + 1, 0);
  std::vector<std::uint32_t> signature;
  for (std::size_t t = 0; t < n; ++t) {
    const PendingTransfer& transfer = pending[t];
    begin[t] = signature.size();
    signature.push_back(transfer.source);
    signature.push_back(transfer.partner ? std::uint32_t{*transfer.partner} + 1 : 0);
    const std::size_t tiles_begin = signature.size();
    for (const PendingDestination& d : transfer.destinations) signature.push_back(d.tile);
    std::sort(signature.begin() + static_cast<std::ptrdiff_t>(tiles_begin), signature.end());
  }
  begin[n] = signature.size();
  const auto signature_of = [&](std::size_t t) {
    return std::span<const std::uint32_t>(signature.data() + begin[t], begin[t + 1] - begin[t]);
  };

  // Equal signatures become neighbours, lowest index first; a group is
  // numbered when its lowest index is reached.
  // Most comparisons end on a packed prefix (source, partner + 1, first
  // destination + 1) that orders like the signature's first three entries;
  // tiles are 16-bit, so each field fits.
  struct Keyed {
    std::uint64_t prefix;
    std::size_t transfer;
  };
  std::vector<Keyed> keyed(n);
  for (std::size_t t = 0; t < n; ++t) {
    const auto sig = signature_of(t);
    const std::uint64_t first = sig.size() > 2 ? std::uint64_t{sig[2]} + 1 : 0;
    keyed[t] = Keyed{(std::uint64_t{sig[0]} << 40) | (std::uint64_t{sig[1]} << 20) | first, t};
  }
  const auto same_signature = [&](const Keyed& a, const Keyed& b) {
    return a.prefix == b.prefix && std::ranges::equal(signature_of(a.transfer), signature_of(b.transfer));
  };
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const auto sa = signature_of(a.transfer);
    const auto sb = signature_of(b.transfer);
    if (!std::ranges::equal(sa, sb)) return std::ranges::lexicographical_compare(sa, sb);
    return a.transfer < b.transfer;
  });
  std::vector<std::size_t> leader(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t t = keyed[i].transfer;
    const bool starts_run = i == 0 || !same_signature(keyed[i - 1], keyed[i]);
    leader[t] = starts_run ? t : leader[keyed[i - 1].transfer];
  }

  groups.clear();
  group_of.assign(n, kUnset);
  std::vector<std::size_t> members;
  std::vector<std::size_t> destinations;
  for (std::size_t t = 0; t < n; ++t) {
    if (leader[t] == t) {
      group_of[t] = groups.size();
      groups.emplace_back();
      members.push_back(0);
      destinations.push_back(0);
    } else {
      group_of[t] = group_of[leader[t]];
    }
    ++members[group_of[t]];
    destinations[group_of[t]] += pending[t].destinations.size();
  }
  for (std::size_t g = 0; g < groups.size(); ++g) {
    groups[g].ready.reserve(members[g]);
    groups[g].by_destination.reserve(destinations[g]);
  }
  for (std::size_t t = 0; t < n; ++t)
    for (const PendingDestination& d : pending[t].destinations)
      groups[group_of[t]].by_destination.push_back({d.tile, d.address, t});
  for (RepairGroup& group : groups) std::sort(group.by_destination.begin(), group.by_destination.end());

  for (std::size_t t = 0; t < n; ++t)
    if (remaining_predecessors[t] == 0) make_ready(t);
}

namespace {

// std heap functions keep the "largest" element on top; here that is the
// transfer with the highest static key.
auto static_heap_order(const RepairState& state) {
  return [&state](std::size_t a, std::size_t b) {
    return has_priority_over(static_repair_key(b, state), static_repair_key(a, state));
  };
}

}  // namespace

void RepairState::make_ready(std::size_t transfer) {
  kel_runtime::expect(status[transfer] == RepairStatus::Waiting, "repair readies a waiting transfer");
  status[transfer] = RepairStatus::Ready;
  std::vector<std::size_t>& heap = groups[group_of[transfer]].ready;
  heap.push_back(transfer);
  std::push_heap(heap.begin(), heap.end(), static_heap_order(*this));
}

void RepairState::take(std::size_t transfer) {
  kel_runtime::expect(status[transfer] == RepairStatus::Ready, "repair orders a ready transfer");
  status[transfer] = RepairStatus::Ordered;
  // Ordered transfers leave the heap once they reach its top, so the top is
  // always ready.
  std::vector<std::size_t>& heap = groups[group_of[transfer]].ready;
  const auto order = static_heap_order(*this);
  while (!heap.empty() && status[heap.front()] == RepairStatus::Ordered) {
    std::pop_heap(heap.begin(), heap.end(), order);
    heap.pop_back();
  }
}

std::size_t RepairState::neighborhood_size() const {
  return static_cast<std::size_t>(std::count(in_neighborhood.begin(), in_neighborhood.end(), true));
}

}  // namespace kel_codegen::exchange::order
