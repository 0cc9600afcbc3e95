// The transfers of one repair that share an endpoint signature (source,
// optional partner, destination tiles ascending). Invariants: the top of
// `ready` is always a ready transfer (ordered ones below it are dropped when
// they surface), and `by_destination` is sorted, so the transfers listed for
// one (tile, address) come in index order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/order/RepairReady.h"

namespace kel_codegen::exchange::order {

/// One destination of one of the group's transfers.
struct RepairDestination {
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::size_t transfer = 0;

  friend auto operator<=>(const RepairDestination&, const RepairDestination&) = default;
};

struct RepairGroup {
  /// The group's transfers whose predecessors are all ordered and that are
  /// not ordered yet: a heap whose top has the highest static key.
  std::vector<std::size_t> ready;
  /// Every destination of every transfer of the group, sorted.
  std::vector<RepairDestination> by_destination;
  /// Raised whenever the group's ready set changes; queue entries carrying an
  /// older generation are stale.
  std::uint64_t generation = 0;

  /// The group's transfers with destination (`tile`, `address`), in index order.
  std::span<const RepairDestination> destined_for(std::uint16_t tile, std::uint32_t address) const;

  /// The entry the group offers the queue: its front transfer, or a ready
  /// transfer of the same block that continues an open receive stream on one
  /// of the front's destination tiles, whichever ranks higher. In broader
  /// mode (`local` false) the offered record's `local_block` is 0. None when
  /// nothing of the group is ready.
  std::optional<RepairReady> best(const RepairState& state, bool local) const;
};

}  // namespace kel_codegen::exchange::order
