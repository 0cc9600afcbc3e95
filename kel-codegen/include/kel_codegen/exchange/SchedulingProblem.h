// The precedence graph and per-tile work of one phase's pending transfers.
// Invariants: every edge goes from a lower to a higher transfer index, appears
// once, is listed both as a successor and as a predecessor, and adjacency lists
// are ascending; the pending array is borrowed and must outlive the problem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/PendingTransfer.h"

namespace kel_codegen::exchange {

/// One byte range of one tile's memory touched by one transfer.
struct TransferAccess {
  std::size_t transfer = 0;  ///< index in the pending array
  std::uint64_t start = 0;   ///< first byte
  std::uint64_t end = 0;     ///< one past the last byte (64-bit, cannot wrap)
  bool write = false;        ///< false: read at the source; true: written at a destination
  friend bool operator==(const TransferAccess&, const TransferAccess&) = default;
};

/// Dependency state of one elementary address segment of one tile.
struct AccessFrontier {
  std::optional<std::size_t> last_writer;
  /// Readers since the last write, in processing order, no consecutive repeats.
  std::vector<std::size_t> readers;
};

class SchedulingProblem {
 public:
  /// Derives byte-exact read/write dependencies per tile and the tile work.
  /// Every tile named by a transfer (source, partner, destinations) must be
  /// below `tile_count`, as conversion guarantees; a violation aborts.
  static SchedulingProblem create(std::span<const PendingTransfer> pending, std::uint16_t tile_count);

  /// Transfers that must be placed before transfer `i`, ascending.
  std::span<const std::size_t> predecessors(std::size_t i) const {
    return {predecessor_ids_.data() + predecessor_offsets_[i], predecessor_offsets_[i + 1] - predecessor_offsets_[i]};
  }
  /// Transfers that must be placed after transfer `i`, ascending.
  std::span<const std::size_t> successors(std::size_t i) const {
    return {successor_ids_.data() + successor_offsets_[i], successor_offsets_[i + 1] - successor_offsets_[i]};
  }
  /// Payload cycles per tile, each transfer counted once per occurrence of the
  /// tile in its tiles().
  std::span<const std::uint64_t> tile_work() const { return tile_work_; }
  std::span<const PendingTransfer> pending() const { return pending_; }
  std::uint16_t tile_count() const { return tile_count_; }
  std::size_t transfer_count() const { return pending_.size(); }
  std::size_t edge_count() const { return successor_ids_.size(); }

 private:
  SchedulingProblem() = default;

  std::span<const PendingTransfer> pending_;
  std::uint16_t tile_count_ = 0;
  std::vector<std::uint64_t> tile_work_;
  // Adjacency in compressed rows: the lists of transfer i are
  // ids[offsets[i] .. offsets[i + 1]).
  std::vector<std::size_t> predecessor_offsets_;
  std::vector<std::size_t> predecessor_ids_;
  std::vector<std::size_t> successor_offsets_;
  std::vector<std::size_t> successor_ids_;
};

}  // namespace kel_codegen::exchange
