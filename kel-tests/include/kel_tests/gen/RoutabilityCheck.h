// Route checks the generator applies before it emits a transfer that the
// scheduler could otherwise not lower: a paired transfer needs a paired route
// on the phase's tiles, and a multicast that also writes its own tile must not
// have one of its own receive controls on the first two cycles of its send.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kel_exchange/Topology.h"

namespace kel_tests::gen {

class RoutabilityCheck {
 public:
  /// Checks on the first `tiles` tiles of the R817 board (1..1472).
  explicit RoutabilityCheck(std::uint16_t tiles);

  std::uint16_t tile_count() const { return tiles_; }
  /// The other tile of `tile`'s 64-bit pair when both are tiles of the phase.
  std::optional<std::uint16_t> partner(std::uint16_t tile) const;

  /// Whether a `words`-word paired transfer from `source` to `receivers`
  /// has a route.
  bool paired_routable(std::uint16_t source, std::span<const std::uint16_t> receivers, std::uint32_t words) const;
  /// Whether a multicast from `source` to `receivers`, which include
  /// `source`, can be encoded on the source tile.
  bool loopback_routable(std::uint16_t source, std::span<const std::uint16_t> receivers, std::uint32_t words) const;

 private:
  kel_exchange::Topology topology_;
  std::uint16_t tiles_;
};

}  // namespace kel_tests::gen
