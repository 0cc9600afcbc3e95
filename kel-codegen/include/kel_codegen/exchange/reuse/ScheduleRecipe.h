// A remembered scheduling decision for one phase: the chosen widths, the
// placement order and the address-free programs it produced, keyed by the
// phase's shape. Immutable once made; shared, never copied.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/ScheduleOptimizer.h"
#include "kel_exchange/Topology.h"

namespace kel_codegen::exchange::reuse {

/// SipHash-1-3 (zero key) over the tile count and, per transfer, its source,
/// words, number of source addresses and destination tiles: addresses and
/// widths do not count, so moved buffers keep the signature.
std::uint64_t shape_signature(std::span<const PendingTransfer> pending, std::uint16_t tile_count);

/// Every tile's finished program (a lone Return for a tile without one) with
/// its address fields cleared.
std::vector<std::vector<std::uint32_t>> normalized_rows(const kel_exchange::PhasePrograms& programs);

struct ScheduleRecipe {
  std::vector<ExchangeItemWidth> widths;  ///< one per transfer
  std::vector<std::size_t> order;         ///< the materialised order
  std::vector<std::vector<std::uint32_t>> normalized_rows;
  std::uint64_t signature = 0;

  /// Places `pending` again with the remembered widths and order. A value
  /// holds the reused schedule; nullopt is a silent fallback (the shape or the
  /// programs differ); an error is a fallback worth logging.
  [[nodiscard]] std::expected<std::optional<ScheduledPending>, ExchangeLoweringError> replay(
      std::span<const PendingTransfer> pending, std::uint64_t pending_signature,
      const kel_exchange::Topology& topology, std::uint16_t tile_count) const;
};

}  // namespace kel_codegen::exchange::reuse
