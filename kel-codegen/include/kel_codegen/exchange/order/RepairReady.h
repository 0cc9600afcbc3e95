// The priority of one ready transfer in the critical-neighbourhood repair and
// the static key that orders a group's ready transfers. The priority order is
// total: it ends on the transfer index, and indices are distinct.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel_codegen::exchange::order {

struct RepairState;

struct RepairReady {
  std::size_t local_block = 0;           ///< the block in local mode; 0 in broader mode
  std::uint32_t earliest_start = 0;      ///< latest availability among the transfer's tiles
  std::size_t block = 0;                 ///< position in the current order / block size
  std::size_t stream_continuations = 0;  ///< destinations written at their tile's expected next address
  bool in_neighborhood = false;          ///< near the current critical path on some tile
  std::uint64_t endpoint_work = 0;       ///< remaining work of the transfer's tiles
  std::size_t position = 0;              ///< position in the current order
  std::size_t transfer_index = 0;

  friend bool operator==(const RepairReady&, const RepairReady&) = default;
};

/// True when `a` is served before `b`: smaller local block, then earlier
/// start, smaller block, more stream continuations, in the neighbourhood,
/// more endpoint work, smaller position, smaller transfer index. Inline:
/// the repair's queue compares records constantly.
inline bool has_priority_over(const RepairReady& a, const RepairReady& b) {
  if (a.local_block != b.local_block) return a.local_block < b.local_block;
  if (a.earliest_start != b.earliest_start) return a.earliest_start < b.earliest_start;
  if (a.block != b.block) return a.block < b.block;
  if (a.stream_continuations != b.stream_continuations) return a.stream_continuations > b.stream_continuations;
  if (a.in_neighborhood != b.in_neighborhood) return a.in_neighborhood;
  if (a.endpoint_work != b.endpoint_work) return a.endpoint_work > b.endpoint_work;
  if (a.position != b.position) return a.position < b.position;
  return a.transfer_index < b.transfer_index;
}

/// The full priority of `transfer` under the state's current tile model, with
/// `local_block` = `block` (broader mode zeroes it).
RepairReady repair_ready(std::size_t transfer, const RepairState& state);

/// The fields of `transfer`'s priority that stay fixed during one repair
/// (`local_block` = `block`, neighbourhood flag, position, index); the
/// time-dependent fields are 0. Orders the ready transfers within a group.
RepairReady static_repair_key(std::size_t transfer, const RepairState& state);

}  // namespace kel_codegen::exchange::order
