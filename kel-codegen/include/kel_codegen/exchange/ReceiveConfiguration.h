// How often each tile of a phase receives, and the receive base of tiles fed
// by exactly one single-destination transfer. Both arrays hold one entry per
// tile of the phase.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/PendingTransfer.h"

namespace kel_codegen::exchange {

struct ReceiveConfiguration {
  /// Number of destinations, over all transfers, that name the tile.
  std::vector<std::uint64_t> receive_counts;
  /// The destination address when the tile receives exactly once and from a
  /// single-destination transfer; otherwise 0 (indistinguishable from base 0).
  std::vector<std::uint32_t> receive_bases;
  friend bool operator==(const ReceiveConfiguration&, const ReceiveConfiguration&) = default;
};

/// Fails with InvalidDestination on a destination tile not below `tile_count`.
[[nodiscard]] std::expected<ReceiveConfiguration, ExchangeLoweringError> receive_configuration(
    std::span<const PendingTransfer> pending, std::uint16_t tile_count);

}  // namespace kel_codegen::exchange
