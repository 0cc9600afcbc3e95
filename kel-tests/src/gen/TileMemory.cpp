// Bump allocation per tile with wrap-around at the address limit.
#include "kel_tests/gen/TileMemory.h"

#include <algorithm>

#include "kel_runtime/Invariant.h"

namespace kel_tests::gen {

namespace {

std::uint32_t align_up(std::uint32_t value, std::uint32_t align) { return (value + align - 1) & ~(align - 1); }

}  // namespace

TileMemory::TileMemory(std::uint16_t tiles, GeneratorRandom& rng) : cursor_(tiles) {
  for (std::uint32_t& c : cursor_) c = 64 * rng.below(kGeneratedAddressLimit / 4 / 64);
}

std::uint32_t TileMemory::allocate(std::uint16_t tile, std::uint32_t bytes, std::uint32_t align) {
  kel_runtime::expect(tile < cursor_.size() && bytes <= kGeneratedAddressLimit, "allocation fits a tile");
  std::uint32_t at = align_up(cursor_[tile], align);
  if (at > kGeneratedAddressLimit - bytes) at = 0;
  cursor_[tile] = at + bytes;
  return at;
}

std::uint32_t TileMemory::allocate_common(std::span<const std::uint16_t> tiles, std::uint32_t bytes,
                                          std::uint32_t align) {
  kel_runtime::expect(bytes <= kGeneratedAddressLimit, "allocation fits a tile");
  std::uint32_t at = 0;
  for (const std::uint16_t tile : tiles) {
    kel_runtime::expect(tile < cursor_.size(), "allocation tile in range");
    at = std::max(at, align_up(cursor_[tile], align));
  }
  if (at > kGeneratedAddressLimit - bytes) at = 0;
  for (const std::uint16_t tile : tiles) cursor_[tile] = at + bytes;
  return at;
}

}  // namespace kel_tests::gen
