// Placing transfers: route choice, address patches, offset search with
// memory hazards, and the bookkeeping that the ordering heuristics read.
#include "kel_codegen/exchange/MaterializedSchedule.h"

#include <algorithm>
#include <array>
#include <limits>

#include "kel_codegen/exchange/MemorySafeTransferOffset.h"
#include "kel_exchange/SenderRowEditing.h"
#include "kel_runtime/Invariant.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

namespace ex = kel_exchange;

namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMinimumBudget = std::uint64_t{1} << 29;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kMaxU64 - b ? kMaxU64 : a + b; }
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return (a != 0 && b > kMaxU64 / a) ? kMaxU64 : a * b;
}

/// Writes the destination address into the receiver row's pointer control.
std::expected<void, ExchangeLoweringError> patch_receiver_address(ex::ExchangeRow& row, std::uint32_t address) {
  if (address % 4 != 0 || address > 0xFFFFCu) return std::unexpected(ex::ExchangeError::address(address));
  const std::uint32_t field = address / 4;
  for (std::size_t i = 0; i < row.size();) {
    const std::uint32_t word = row[i];
    if (word < 0xF0000000u) {
      if ((word & 0xFC040000u) == 0x60000000u) {
        row[i] = (word & 0x63F80000u) | field;
        return {};
      }
      i += 1;
      continue;
    }
    if ((word & 0x08000000u) != 0) {
      i += 2;
      continue;
    }
    // A paired carrier whose second word holds the pointer.
    if (i + 1 >= row.size()) return std::unexpected(ex::ExchangeError::schedule("truncated SENDPICP payload"));
    row[i + 1] = (row[i + 1] & 0xFFFC0000u) | field;
    return {};
  }
  return std::unexpected(ex::ExchangeError::address(address));
}

}  // namespace

std::uint64_t materialization_budget(std::uint16_t tile_count, std::span<const PendingTransfer> pending) {
  std::vector<std::uint64_t> sends(tile_count), receives(tile_count);
  for (const PendingTransfer& transfer : pending) {
    if (transfer.source < tile_count) ++sends[transfer.source];
    for (const PendingDestination& d : transfer.destinations)
      if (d.tile < tile_count) ++receives[d.tile];
  }
  std::uint64_t sum = 0;
  for (std::size_t t = 0; t < tile_count; ++t) {
    const std::uint64_t s = sends[t], r = receives[t];
    sum = saturating_add(sum, saturating_mul(s + r, saturating_add(saturating_add(s, saturating_mul(3, r)), 1)));
  }
  return std::max(saturating_mul(sum, 4), kMinimumBudget);
}

MaterializedSchedule MaterializedSchedule::create(std::uint16_t tile_count, std::span<const PendingTransfer> pending) {
  MaterializedSchedule schedule(
      ex::PhaseProgramBuilder::create(tile_count).with_validation_budget(materialization_budget(tile_count, pending)));
  schedule.tile_ready.resize(tile_count);
  schedule.memory.resize(tile_count);
  // Room for every interval the phase will record, so that recording never
  // grows a history.
  std::vector<std::size_t> reads(tile_count, 0), writes(tile_count, 0);
  for (const PendingTransfer& transfer : pending) {
    if (transfer.source < tile_count) reads[transfer.source] += transfer.source_elements.size();
    for (const PendingDestination& d : transfer.destinations)
      if (d.tile < tile_count)
        for_each_memory_element(d.address, transfer.words, [&](ExchangeMemoryElement) {
          ++writes[d.tile];
          return true;
        });
  }
  for (std::size_t t = 0; t < tile_count; ++t) {
    if (reads[t] > 0) schedule.memory[t].reads.reserve(reads[t]);
    if (writes[t] > 0) schedule.memory[t].writes.reserve(writes[t]);
  }
  schedule.activities.resize(tile_count);
  schedule.order.reserve(pending.size());
  schedule.placements.resize(pending.size());
  return schedule;
}

std::expected<std::uint32_t, ExchangeLoweringError> MaterializedSchedule::append(
    const ex::Topology& topology, std::span<const PendingTransfer> pending,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts,
    std::size_t x, std::uint32_t ready, bool validate, std::span<TileFrontier> frontier) {
  // Converted transfers always satisfy these; anything else would index past
  // the per-tile and per-transfer tables.
  kel_runtime::expect(x < pending.size() && x < placements.size(), "transfer index inside the phase");
  const PendingTransfer& transfer = pending[x];
  kel_runtime::expect(!transfer.destinations.empty(), "transfer has a destination");
  for (const std::uint16_t tile : transfer.tiles())
    kel_runtime::expect(tile < tile_ready.size() && tile < frontier.size() && tile < receive_counts.size() &&
                            tile < receive_bases.size(),
                        "endpoint tile inside the phase");
  const std::uint16_t s = transfer.source;
  const bool paired = transfer.width == ExchangeItemWidth::Paired64;

  // The tile whose readiness bounds this placement; ties go to the smaller tile.
  std::uint16_t critical = s;
  std::uint32_t critical_cycle = tile_ready[s].send_ready;
  const auto consider = [&](std::uint16_t tile, std::uint32_t cycle) {
    if (cycle > critical_cycle || (cycle == critical_cycle && tile < critical)) {
      critical = tile;
      critical_cycle = cycle;
    }
  };
  if (transfer.partner) consider(*transfer.partner, tile_ready[*transfer.partner].send_ready);
  for (const PendingDestination& d : transfer.destinations) consider(d.tile, tile_ready[d.tile].receive_ready);
  if (ready > critical_cycle) critical = s;
  const bool critical_sends = critical == s || (transfer.partner && critical == *transfer.partner);
  const std::optional<std::size_t> critical_predecessor =
      critical_sends ? frontier[critical].last_send : frontier[critical].last_receive;

  if (transfer.source_elements.empty() || transfer.words == 0)
    return std::unexpected(ExchangeLoweringError::unaligned_payload());

  const auto loopback_error = [] {
    return std::unexpected(
        ExchangeLoweringError::invariant("multicast loopback requires separate source and destination memory elements"));
  };
  if (transfer.destinations.size() == 1) {
    if (transfer.destinations[0].tile == s) return loopback_error();
  } else {
    for (const PendingDestination& d : transfer.destinations) {
      if (d.tile != s) continue;
      if (paired) return loopback_error();
      const bool shares = !for_each_memory_element(d.address, transfer.words, [&](ExchangeMemoryElement e) {
        return !std::binary_search(transfer.source_elements.begin(), transfer.source_elements.end(), e);
      });
      if (shares) return loopback_error();
    }
  }

  if (paired && transfer.words % 2 != 0) return std::unexpected(ExchangeLoweringError::unaligned_payload());
  const std::uint32_t item_count = paired ? transfer.words / 2 : transfer.words;

  std::vector<std::uint16_t>& receivers = receivers_;
  receivers.clear();
  for (const PendingDestination& d : transfer.destinations) receivers.push_back(d.tile);

  std::optional<std::uint16_t> partner;
  ex::MulticastPlan& plan = plan_;
  bool point_to_point = false;
  if (paired) {
    partner = TRY(topology.paired_logical(s));
    plan = TRY(topology.paired_multicast(s, receivers, item_count));
  } else if (const PendingDestination& only = transfer.destinations[0];
             transfer.destinations.size() == 1 && receive_counts[only.tile] == 1 &&
             receive_bases[only.tile] == only.address) {
    const ex::PointToPointRoute route = TRY(topology.point_to_point(s, only.tile, transfer.words));
    const std::uint16_t physical = TRY(topology.physical(s));
    const ex::ExchangeRow receiver_row = TRY(ex::finalize_point_receiver(route.receiver_template, physical));
    plan.receiver_rows.clear();
    plan.receiver_rows.push_back(receiver_row);
    plan.sender_row = route.sender_row;
    point_to_point = true;
  } else {
    plan = TRY(topology.multicast(s, receivers, transfer.words, 0));
  }
  TRY(ex::patch_sender_address(plan.sender_row, transfer.source_addresses.front()));
  if (!point_to_point) {
    const std::size_t rows = std::min(plan.receiver_rows.size(), transfer.destinations.size());
    for (std::size_t i = 0; i < rows; ++i)
      TRY(patch_receiver_address(plan.receiver_rows[i], transfer.destinations[i].address));
  }
  ex::PreparedTransfer& prepared = prepared_;
  TRY(plan.prepare_into(prepared));

  std::array<std::uint16_t, 1> partner_storage{};
  std::span<const std::uint16_t> partners;
  if (partner) {
    partner_storage[0] = *partner;
    partners = partner_storage;
  }

  // Search until the builder and the memory histories agree on an offset.
  // An offset the search returned is a fixed point of the search (and, with
  // `validate`, its proof is staged), so searching again from it would only
  // return it again: the loop stops as soon as the memory accepts the offset.
  ex::PhaseTransferTiming& timing = timing_;
  std::uint32_t n = ready;
  for (;;) {
    const std::uint32_t o =
        validate ? TRY(builder.earliest_transfer_offset(s, partners, receivers, prepared, item_count, n))
                 : TRY(builder.earliest_transfer_offset_deferred(s, partners, receivers, prepared, item_count, n));
    TRY(builder.transfer_timing_into(s, receivers, prepared, o, item_count, timing));
    n = TRY(memory_safe_transfer_offset(memory, transfer, o, timing));
    if (n == o) break;
  }

  TRY(builder.append_transfer_into(s, partners, receivers, prepared, n, item_count, timing));
  std::uint32_t finish = timing.send_end;
  for (const std::uint32_t end : timing.payload_ends) finish = std::max(finish, end);

  record_transfer_memory(memory, transfer, timing);

  if (x > std::numeric_limits<std::uint32_t>::max()) return std::unexpected(ExchangeLoweringError::overflow());
  const auto index = static_cast<std::uint32_t>(x);
  const auto destinations = static_cast<std::uint16_t>(transfer.destinations.size());
  const std::uint32_t first_source = transfer.source_addresses.front();
  activities[s].push_back({index, timing.send_start, timing.send_end, timing.sender_horizon, first_source,
                           transfer.words, destinations, ExchangeActivityKind::Send, transfer.width});
  if (partner)
    activities[*partner].push_back({index, timing.send_start, timing.sender_horizon, timing.sender_horizon,
                                    first_source, transfer.words, destinations, ExchangeActivityKind::PartnerBusy,
                                    transfer.width});
  for (std::size_t i = 0; i < transfer.destinations.size() && i < timing.pointer_cycles.size(); ++i) {
    const PendingDestination& d = transfer.destinations[i];
    activities[d.tile].push_back({index, timing.pointer_cycles[i], timing.payload_ends[i], timing.receive_horizons[i],
                                  d.address, transfer.words, destinations, ExchangeActivityKind::Receive,
                                  transfer.width});
  }

  tile_ready[s].send_ready = timing.send_end;
  if (partner) tile_ready[*partner].send_ready = timing.sender_horizon;
  for (std::size_t i = 0; i < transfer.destinations.size() && i < timing.payload_ends.size(); ++i)
    tile_ready[transfer.destinations[i].tile].receive_ready = timing.payload_ends[i];
  frontier[s].last_send = x;
  if (partner) frontier[*partner].last_send = x;
  for (const PendingDestination& d : transfer.destinations) frontier[d.tile].last_receive = x;

  order.push_back(x);
  placements[x] = TransferPlacement{critical_predecessor, finish};
  return finish;
}

std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_schedule_order(
    const ex::Topology& topology, const SchedulingProblem& problem, std::span<const std::uint32_t> receive_bases,
    std::span<const std::uint64_t> receive_counts, std::span<const std::size_t> order, bool validate) {
  const std::span<const PendingTransfer> pending = problem.pending();
  if (order.size() != pending.size()) return std::unexpected(ExchangeLoweringError::overflow());
  MaterializedSchedule schedule = MaterializedSchedule::create(problem.tile_count(), pending);
  std::vector<TileFrontier> frontier(problem.tile_count());
  std::vector<std::optional<std::uint32_t>> finished(pending.size());
  for (const std::size_t x : order) {
    const auto not_topological = [] {
      return std::unexpected(ExchangeLoweringError::invariant("exchange order is not a topological permutation"));
    };
    if (x >= pending.size() || finished[x]) return not_topological();
    std::uint32_t ready = 0;
    for (const std::size_t p : problem.predecessors(x)) {
      if (!finished[p]) return not_topological();
      ready = std::max(ready, *finished[p]);
    }
    finished[x] = TRY(schedule.append(topology, pending, receive_bases, receive_counts, x, ready, validate, frontier));
  }
  schedule.horizon = schedule.builder.event_cycles();
  TRY(schedule.builder.finish());
  return schedule;
}

}  // namespace kel_codegen::exchange
