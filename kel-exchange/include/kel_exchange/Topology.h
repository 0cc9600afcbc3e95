// The tile map: logical tile numbers to physical tile identifiers. Invariant:
// the table is non-empty and holds no physical identifier twice.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/MulticastPlan.h"
#include "kel_exchange/PointToPointRoute.h"

namespace kel_exchange {

/// Physical identifier bit fields as the fabric model reads them.
namespace physical {
constexpr std::uint32_t column_bit(std::uint16_t p) { return p & 1u; }
constexpr std::uint32_t pair_bit(std::uint16_t p) { return (p >> 1) & 1u; }
constexpr std::uint32_t column_pair(std::uint16_t p) { return (p >> 2) & 0xFu; }
constexpr std::uint32_t row(std::uint16_t p) { return p >> 6; }
/// 0 for column pairs 0..7, 1 for 8..15.
constexpr std::uint32_t half(std::uint16_t p) { return (column_pair(p) >> 3) & 1u; }
/// Column pairs 0..7 as they are, 8..15 mirrored onto 7..0.
constexpr std::uint32_t folded_column_pair(std::uint16_t p) {
  return half(p) ? 15u - column_pair(p) : column_pair(p);
}
/// Always a multiple of 6.
constexpr std::int32_t sender_position(std::uint16_t p) {
  return static_cast<std::int32_t>(6 * folded_column_pair(p) + 6 * (column_bit(p) ^ half(p)));
}
/// Never a multiple of 6.
constexpr std::int32_t receiver_position(std::uint16_t p) {
  const bool near = column_bit(p) == half(p);
  const std::uint32_t lane = pair_bit(p) ? (near ? 2u : 4u) : (near ? 1u : 5u);
  return static_cast<std::int32_t>(6 * folded_column_pair(p) + lane);
}
}  // namespace physical

class Topology {
 public:
  /// Number of logical tiles of the R817 board.
  static constexpr std::uint16_t kR817Tiles = 1472;

  /// Takes the table; fails with ReceiverSet when it is empty or repeats an entry.
  [[nodiscard]] static std::expected<Topology, ExchangeError> create(std::vector<std::uint16_t> logical_to_physical);
  /// The R817 board, computed afresh on every call.
  static Topology r817();
  /// The first `tiles` tiles of the R817 board, as a smaller phase uses them;
  /// ReceiverSet for 0 tiles, Tile for more tiles than the board has.
  [[nodiscard]] static std::expected<Topology, ExchangeError> r817_prefix(std::uint16_t tiles);

  /// The partner of `logical` in its 64-bit tile pair (physical identifier XOR 2).
  [[nodiscard]] std::expected<std::uint16_t, ExchangeError> paired_logical(std::uint16_t logical) const;

  /// Physical identifier of `logical`, or Tile(logical) when out of range.
  [[nodiscard]] std::expected<std::uint16_t, ExchangeError> physical(std::uint16_t logical) const {
    if (logical >= logical_to_physical_.size()) return std::unexpected(ExchangeError::tile(logical));
    return logical_to_physical_[logical];
  }

  /// Rows of a transfer of `count` words (1 to 4148) to one receiver.
  /// Fails with Count, DuplicateTile, Tile or Schedule("sender delay").
  [[nodiscard]] std::expected<PointToPointRoute, ExchangeError> point_to_point(std::uint16_t sender,
                                                                             std::uint16_t receiver,
                                                                             std::uint32_t count) const;

  /// Rows of a transfer of `count` words to every receiver of the list, the
  /// first send delayed by `schedule_offset` beyond the earliest possible
  /// start. The sender may be a receiver when there are several. Fails with
  /// Count, Tile, ReceiverSet or Schedule("multicast start cycle" /
  /// "multicast receive cycle").
  [[nodiscard]] std::expected<MulticastPlan, ExchangeError> multicast(std::uint16_t sender,
                                                                    std::span<const std::uint16_t> receivers,
                                                                    std::uint32_t count,
                                                                    std::uint32_t schedule_offset) const;

  /// Rows of a 64-bit transfer (at least 64 words) from the sender's tile pair
  /// to receivers that come in complete tile pairs.
  [[nodiscard]] std::expected<MulticastPlan, ExchangeError> paired_multicast(std::uint16_t sender,
                                                                           std::span<const std::uint16_t> receivers,
                                                                           std::uint32_t count) const;

  /// One receiver row of a paired multicast whose receivers share the lead
  /// time `common_minimum`.
  [[nodiscard]] std::expected<ExchangeRow, ExchangeError> paired_receiver_row(std::uint16_t sender,
                                                                            std::uint16_t receiver,
                                                                            std::uint32_t count,
                                                                            std::int32_t common_minimum) const;

  std::size_t tile_count() const { return logical_to_physical_.size(); }
  const std::vector<std::uint16_t>& logical_to_physical() const { return logical_to_physical_; }

  friend bool operator==(const Topology&, const Topology&) = default;

 private:
  explicit Topology(std::vector<std::uint16_t> table);

  std::vector<std::uint16_t> logical_to_physical_;
  /// Per logical tile, the logical tile of its pair partner, or -1 when the
  /// partner is not on the map; derived from the table, looked up often.
  std::vector<std::int32_t> partner_;
};

/// The R817 physical identifier of logical tile `logical` (0..1471).
std::uint16_t r817_physical(std::uint16_t logical);

/// The partner of `logical` on the full R817 board, without building the
/// board: its rule pairs logical tiles 2j and 2j + 1, so this equals
/// `Topology::r817().paired_logical(logical)` for every input.
[[nodiscard]] std::expected<std::uint16_t, ExchangeError> r817_paired_logical(std::uint16_t logical);

/// Direction between a sender and a receiver (physical identifiers).
struct Direction {
  std::uint32_t code;  ///< 1 when delta > 0, else 2.
  std::int32_t delta;  ///< receiver position - sender position; never 0.
  friend bool operator==(const Direction&, const Direction&) = default;
};

Direction direction(std::uint16_t sender_physical, std::uint16_t receiver_physical);

}  // namespace kel_exchange
