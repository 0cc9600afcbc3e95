// The repair's priority ladder and the records it compares.
#include "kel_codegen/exchange/order/RepairReady.h"

#include <algorithm>

#include "kel_codegen/exchange/order/RepairState.h"

namespace kel_codegen::exchange::order {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > ~std::uint64_t{0} - b ? ~std::uint64_t{0} : a + b;
}

}  // namespace

RepairReady repair_ready(std::size_t transfer, const RepairState& state) {
  const PendingTransfer& pending = state.pending[transfer];
  const std::vector<RepairTile>& tiles = state.tiles;
  std::uint32_t start = tiles[pending.source].send_available;
  if (pending.partner) start = std::max(start, tiles[*pending.partner].send_available);
  std::size_t streams = 0;
  for (const PendingDestination& d : pending.destinations) {
    const RepairTile& tile = tiles[d.tile];
    start = std::max(start, tile.receive_available);
    if (tile.next_receive_address == d.address) ++streams;
  }
  std::uint64_t work = 0;
  for (const std::uint16_t tile : pending.tiles()) work = saturating_add(work, state.tile_work[tile]);

  RepairReady ready = static_repair_key(transfer, state);
  ready.earliest_start = start;
  ready.stream_continuations = streams;
  ready.endpoint_work = work;
  return ready;
}

RepairReady static_repair_key(std::size_t transfer, const RepairState& state) {
  const std::size_t block = state.block_of(transfer);
  return RepairReady{.local_block = block,
                     .earliest_start = 0,
                     .block = block,
                     .stream_continuations = 0,
                     .in_neighborhood = state.in_neighborhood[transfer],
                     .endpoint_work = 0,
                     .position = state.position[transfer],
                     .transfer_index = transfer};
}

}  // namespace kel_codegen::exchange::order
