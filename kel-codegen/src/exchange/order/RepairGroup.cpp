// A group's offer to the repair queue: its front transfer, or a same-block
// transfer that keeps an open receive stream going.
#include "kel_codegen/exchange/order/RepairGroup.h"

#include <algorithm>

#include "kel_codegen/exchange/order/RepairState.h"

namespace kel_codegen::exchange::order {

std::span<const RepairDestination> RepairGroup::destined_for(std::uint16_t tile, std::uint32_t address) const {
  const auto key = [](const RepairDestination& d) { return std::pair{d.tile, d.address}; };
  const auto [first, last] = std::ranges::equal_range(by_destination, std::pair{tile, address}, {}, key);
  return {first, last};
}

std::optional<RepairReady> RepairGroup::best(const RepairState& state, bool local) const {
  if (ready.empty()) return std::nullopt;
  const std::size_t top = ready.front();
  const auto offer = [&](std::size_t transfer) {
    RepairReady record = repair_ready(transfer, state);
    if (!local) record.local_block = 0;
    return record;
  };
  RepairReady best = offer(top);
  for (const PendingDestination& d : state.pending[top].destinations) {
    const std::optional<std::uint32_t> expected = state.tiles[d.tile].next_receive_address;
    if (!expected) continue;
    for (const RepairDestination& listed : destined_for(d.tile, *expected)) {
      const std::size_t u = listed.transfer;
      if (state.block_of(u) != best.block || state.status[u] != RepairStatus::Ready) continue;
      const RepairReady candidate = offer(u);
      if (!has_priority_over(best, candidate)) best = candidate;
    }
  }
  return best;
}

}  // namespace kel_codegen::exchange::order
