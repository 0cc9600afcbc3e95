// The R817 tile map and the pairing and direction rules over it.
#include "kel_exchange/Topology.h"

#include <algorithm>
#include <unordered_set>

#include "kel_runtime/Invariant.h"

namespace kel_exchange {

std::expected<Topology, ExchangeError> Topology::create(std::vector<std::uint16_t> logical_to_physical) {
  if (logical_to_physical.empty()) return std::unexpected(ExchangeError::receiver_set());
  // Membership only; the table keeps its own order.
  std::unordered_set<std::uint16_t> seen;
  seen.reserve(logical_to_physical.size());
  for (std::uint16_t p : logical_to_physical)
    if (!seen.insert(p).second) return std::unexpected(ExchangeError::receiver_set());
  return Topology(std::move(logical_to_physical));
}

Topology::Topology(std::vector<std::uint16_t> table) : logical_to_physical_(std::move(table)) {
  // Identifiers are unique, so each has at most one logical tile.
  std::uint32_t largest = 0;
  for (const std::uint16_t p : logical_to_physical_) largest = std::max<std::uint32_t>(largest, p);
  std::vector<std::int32_t> logical_of((largest | 3u) + 1, -1);
  for (std::size_t l = 0; l < logical_to_physical_.size(); ++l)
    logical_of[logical_to_physical_[l]] = static_cast<std::int32_t>(l);
  partner_.resize(logical_to_physical_.size());
  for (std::size_t l = 0; l < logical_to_physical_.size(); ++l)
    partner_[l] = logical_of[logical_to_physical_[l] ^ 2u];
}

std::uint16_t r817_physical(std::uint16_t logical) {
  // 32 serpentine columns of 46 logical tiles; even columns run down the rows,
  // odd columns back up.
  const std::uint32_t k = logical / 46u;
  const std::uint32_t q = logical % 46u;
  const std::uint32_t row = (k % 2 == 0) ? q / 2 : 22 - q / 2;
  return static_cast<std::uint16_t>(64 * row + 4 * (k / 2) + 2 * (logical % 2u) + (k % 2));
}

Topology Topology::r817() {
  std::vector<std::uint16_t> table(kR817Tiles);
  for (std::uint16_t l = 0; l < kR817Tiles; ++l) table[l] = r817_physical(l);
  return Topology(std::move(table));
}

std::expected<Topology, ExchangeError> Topology::r817_prefix(std::uint16_t tiles) {
  if (tiles > kR817Tiles) return std::unexpected(ExchangeError::tile(tiles));
  std::vector<std::uint16_t> table(tiles);
  for (std::uint16_t l = 0; l < tiles; ++l) table[l] = r817_physical(l);
  return create(std::move(table));
}

std::expected<std::uint16_t, ExchangeError> Topology::paired_logical(std::uint16_t logical) const {
  if (logical >= logical_to_physical_.size()) return std::unexpected(ExchangeError::tile(logical));
  const std::int32_t partner = partner_[logical];
  if (partner < 0) return std::unexpected(ExchangeError::tile(logical));
  kel_runtime::expect(partner <= 0xFFFF, "logical tile count fits u16");
  return static_cast<std::uint16_t>(partner);
}

std::expected<std::uint16_t, ExchangeError> r817_paired_logical(std::uint16_t logical) {
  if (logical >= Topology::kR817Tiles) return std::unexpected(ExchangeError::tile(logical));
  return static_cast<std::uint16_t>(logical ^ 1u);
}

Direction direction(std::uint16_t sender_physical, std::uint16_t receiver_physical) {
  const std::int32_t delta =
      physical::receiver_position(receiver_physical) - physical::sender_position(sender_physical);
  return Direction{delta > 0 ? 1u : 2u, delta};
}

}  // namespace kel_exchange
