// Paired forms of ordinary transfers and the ordinary-against-paired choice.
#include "kel_codegen/exchange/TransferWidthSelection.h"

#include <algorithm>

#include "kel_runtime/Log.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

namespace {

constexpr const char* kTarget = "kel_codegen::exchange";
constexpr std::uint16_t kPairBitMask = 0x2;

struct PairMember {
  std::uint16_t pair_id;
  std::uint32_t position;  // index in the transfer's destination list
};

// The paired form of one transfer, absent when it has none; `members` and
// `tiles` are scratch reused across transfers.
std::expected<std::optional<PendingTransfer>, ExchangeLoweringError> paired_form(
    const PendingTransfer& transfer, const kel_exchange::Topology& topology, std::uint16_t tile_count,
    std::vector<PairMember>& members, std::vector<std::uint16_t>& tiles) {
  if (transfer.width != ExchangeItemWidth::Word32 || transfer.words < kMinPairedWords || transfer.words % 2 != 0)
    return std::nullopt;
  if (!std::ranges::all_of(transfer.source_addresses, [](std::uint32_t a) { return a % 8 == 0; }))
    return std::nullopt;
  const std::uint16_t partner = TRY(topology.paired_logical(transfer.source));
  if (partner >= tile_count) return std::nullopt;

  members.clear();
  for (std::size_t k = 0; k < transfer.destinations.size(); ++k) {
    const std::uint16_t physical = TRY(topology.physical(transfer.destinations[k].tile));
    members.push_back({static_cast<std::uint16_t>(physical & ~kPairBitMask), static_cast<std::uint32_t>(k)});
  }
  // Stable on position keeps each pair's two entries in their input order.
  std::ranges::sort(members, [](const PairMember& a, const PairMember& b) {
    if (a.pair_id != b.pair_id) return a.pair_id < b.pair_id;
    return a.position < b.position;
  });

  std::vector<PendingDestination> paired_destinations;
  paired_destinations.reserve(transfer.destinations.size());
  for (std::size_t g = 0; g < members.size();) {
    std::size_t end = g + 1;
    while (end < members.size() && members[end].pair_id == members[g].pair_id) ++end;
    if (end - g != 2) return std::nullopt;
    const PendingDestination& first = transfer.destinations[members[g].position];
    const PendingDestination& second = transfer.destinations[members[g + 1].position];
    const auto first_partner = topology.paired_logical(first.tile);
    if (!first_partner || *first_partner != second.tile) return std::nullopt;
    if (first.tile == partner || second.tile == partner) return std::nullopt;
    if (first.address % 8 != 0 || first.address != second.address) return std::nullopt;
    paired_destinations.push_back(first);
    paired_destinations.push_back(second);
    g = end;
  }

  tiles.clear();
  for (const PendingDestination& d : paired_destinations) tiles.push_back(d.tile);
  if (!topology.paired_multicast(transfer.source, tiles, transfer.words / 2)) return std::nullopt;

  PendingTransfer paired = transfer;
  paired.width = ExchangeItemWidth::Paired64;
  paired.partner = partner;
  paired.destinations = std::move(paired_destinations);
  return paired;
}

}  // namespace

std::expected<std::vector<std::optional<PendingTransfer>>, ExchangeLoweringError> paired_transfer_alternatives(
    std::span<const PendingTransfer> pending, const kel_exchange::Topology& topology, std::uint16_t tile_count) {
  std::vector<std::optional<PendingTransfer>> alternatives;
  alternatives.reserve(pending.size());
  std::vector<PairMember> members;
  std::vector<std::uint16_t> tiles;
  for (const PendingTransfer& transfer : pending)
    alternatives.push_back(TRY(paired_form(transfer, topology, tile_count, members, tiles)));
  return alternatives;
}

std::expected<ScheduledPending, ExchangeLoweringError> select_transfer_widths(std::uint32_t phase,
                                                                             const kel_exchange::Topology& topology,
                                                                             std::vector<PendingTransfer> pending,
                                                                             std::uint16_t tile_count) {
  std::vector<std::optional<PendingTransfer>> alternatives =
      TRY(paired_transfer_alternatives(pending, topology, tile_count));
  const auto candidates =
      static_cast<std::uint64_t>(std::ranges::count_if(alternatives, [](const auto& a) { return a.has_value(); }));
  if (candidates == 0) return optimize_owned_pending(topology, std::move(pending), tile_count);

  std::vector<PendingTransfer> paired_list;
  paired_list.reserve(pending.size());
  for (std::size_t i = 0; i < pending.size(); ++i)
    paired_list.push_back(alternatives[i] ? std::move(*alternatives[i]) : pending[i]);
  alternatives.clear();

  auto ordinary = optimize_owned_pending(topology, std::move(pending), tile_count);
  auto paired = optimize_owned_pending(topology, std::move(paired_list), tile_count);

  if (!paired) {
    KEL_DEBUG(kTarget, "paired exchange candidate is not encodable", kel_runtime::field("phase", phase),
              kel_runtime::field("error", paired.error().message()));
    return ordinary;
  }
  if (!ordinary) {
    KEL_DEBUG(kTarget, "ordinary exchange candidate is not encodable", kel_runtime::field("phase", phase),
              kel_runtime::field("error", ordinary.error().message()));
    return paired;
  }
  const std::uint32_t ordinary_horizon = ordinary->optimized.schedule.horizon;
  const std::uint32_t paired_horizon = paired->optimized.schedule.horizon;
  const bool use_paired = paired_horizon < ordinary_horizon;
  KEL_INFO(kTarget, "compared ordinary and paired exchange schedules", kel_runtime::field("phase", phase),
           kel_runtime::field("candidates", candidates), kel_runtime::field("ordinary_horizon", ordinary_horizon),
           kel_runtime::field("paired_horizon", paired_horizon), kel_runtime::field("use_paired", use_paired));
  return use_paired ? std::move(paired) : std::move(ordinary);
}

}  // namespace kel_codegen::exchange
