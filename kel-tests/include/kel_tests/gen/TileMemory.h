// Per-tile address allocation for one generated phase: a bump pointer per tile
// that wraps to the bottom when a block would pass the address limit, so
// buffers stay disjoint until a tile's memory is used up and overlap (giving
// ordinary dependencies) after that. Invariant: every block returned ends at
// or below kGeneratedAddressLimit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kel_tests/gen/GeneratorRandom.h"

namespace kel_tests::gen {

/// Every generated block ends at or below 768 KiB, so moving a snapshot by
/// 256 KiB keeps every address within the 1 MiB a receive pointer reaches.
inline constexpr std::uint32_t kGeneratedAddressLimit = 786432;
/// The relocation every generated snapshot stays valid under.
inline constexpr std::uint32_t kRelocationHeadroom = 262144;

class TileMemory {
 public:
  /// Every tile starts at a random 64-byte boundary in the lower quarter.
  TileMemory(std::uint16_t tiles, GeneratorRandom& rng);

  /// A block of `bytes` (at most the limit) on `tile`, aligned to `align` (a
  /// power of two).
  std::uint32_t allocate(std::uint16_t tile, std::uint32_t bytes, std::uint32_t align);
  /// One address at which a block of `bytes` is free on every tile listed, as
  /// a compiler places a broadcast buffer at the same address everywhere.
  std::uint32_t allocate_common(std::span<const std::uint16_t> tiles, std::uint32_t bytes, std::uint32_t align);

 private:
  std::vector<std::uint32_t> cursor_;
};

}  // namespace kel_tests::gen
