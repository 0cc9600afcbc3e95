// The working state of one critical-neighbourhood repair: the current order's
// positions and blocks, the critical path and its neighbourhood, the cheap
// per-tile timing model and the endpoint groups. Invariants: `position` is the
// inverse of the current order, `block_size` is at least 1, and a transfer is
// in its group's ready heap exactly while its status is Ready (ordered entries
// may linger below the heap's top).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/SchedulingProblem.h"
#include "kel_codegen/exchange/order/RepairGroup.h"

namespace kel_codegen::exchange::order {

/// The repair's timing model of one tile.
struct RepairTile {
  std::uint32_t send_available = 0;     ///< when the tile may send (or back a partner) again
  std::uint32_t receive_available = 0;  ///< when the tile may receive again
  /// The address right after the tile's last receive, where a continuing
  /// stream would write next; absent before the first receive.
  std::optional<std::uint32_t> next_receive_address;
};

enum class RepairStatus : std::uint8_t {
  Waiting,  ///< some predecessor is not ordered yet
  Ready,    ///< in its group's ready set
  Ordered,  ///< already in the new order
};

struct RepairState {
  /// Positions, blocks, critical path and neighbourhood of `schedule`, whose
  /// order must be a permutation of the problem's transfers and which must
  /// have one placement entry per transfer. Groups are left empty.
  static RepairState create(const SchedulingProblem& problem, const MaterializedSchedule& schedule);

  /// Groups the transfers by endpoint signature (groups numbered in order of
  /// first appearance) and readies every transfer without predecessors.
  void group_transfers();

  /// Puts `transfer`, whose predecessors are all ordered, into its group's ready set.
  void make_ready(std::size_t transfer);
  /// Removes the ready `transfer` from its group's ready set for good.
  void take(std::size_t transfer);

  std::size_t block_of(std::size_t transfer) const { return position[transfer] / block_size; }
  std::size_t neighborhood_size() const;

  std::span<const PendingTransfer> pending;
  std::size_t block_size = 1;  ///< integer square root of the transfer count
  std::vector<std::size_t> position;
  std::vector<bool> critical;
  std::vector<bool> in_neighborhood;
  std::vector<std::size_t> remaining_predecessors;
  std::vector<RepairStatus> status;
  std::vector<std::uint64_t> tile_work;  ///< remaining payload cycles per tile
  std::vector<RepairTile> tiles;
  std::vector<std::size_t> group_of;
  std::vector<RepairGroup> groups;
};

/// The largest integer whose square does not exceed `value`.
std::size_t integer_sqrt(std::size_t value);

}  // namespace kel_codegen::exchange::order
