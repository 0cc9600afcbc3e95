// The scheduler's working record of one transfer and its conversion from a
// snapshot phase. Invariants of a converted transfer: destinations and source
// addresses are non-empty, destination tiles are distinct and below the tile
// count, a paired transfer's partner is below the tile count, every span fits
// in u32, and source_elements is ascending without repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/ExchangeMemoryElement.h"
#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"

namespace kel_codegen::exchange {

/// Identity of a moved block of data.
using BlockValueId = std::uint32_t;

/// Largest payload of one transfer, in 32-bit words.
inline constexpr std::uint32_t kMaxTransferWords = 4148;
/// Smallest payload of a paired transfer, in 32-bit words.
inline constexpr std::uint32_t kMinPairedWords = 128;

struct PendingDestination {
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  friend auto operator<=>(const PendingDestination&, const PendingDestination&) = default;
  friend bool operator==(const PendingDestination&, const PendingDestination&) = default;
};

/// Issue cycles of a payload: `words` for Word32, `words / 2` for an even
/// Paired64 payload; absent for 0 words or an odd Paired64 payload.
constexpr std::optional<std::uint32_t> payload_cycles(std::uint32_t words, ExchangeItemWidth width) {
  if (words == 0) return std::nullopt;
  if (width == ExchangeItemWidth::Word32) return words;
  if (words % 2 != 0) return std::nullopt;
  return words / 2;
}

struct PendingTransfer {
  std::vector<PendingDestination> destinations;        ///< snapshot order
  std::vector<std::uint32_t> source_addresses;         ///< one per Repeat iteration
  std::vector<ExchangeMemoryElement> source_elements;  ///< derived: see refresh_source_elements
  std::optional<std::uint16_t> partner;                ///< Paired64 only
  std::pair<BlockValueId, std::uint32_t> value{0, 0};
  std::uint32_t words = 0;
  std::uint16_t source = 0;
  ExchangeItemWidth width = ExchangeItemWidth::Word32;

  /// Recomputes source_elements from source_addresses and words.
  void refresh_source_elements();

  std::optional<std::uint32_t> payload_cycles() const { return exchange::payload_cycles(words, width); }

  /// The tiles touched: source, then partner if present, then each destination
  /// in order (a tile may repeat). Produced lazily, without allocation.
  class TileRange {
   public:
    class iterator {
     public:
      using value_type = std::uint16_t;
      using difference_type = std::ptrdiff_t;
      using iterator_category = std::forward_iterator_tag;

      iterator() = default;
      iterator(const PendingTransfer* transfer, std::size_t position) : transfer_(transfer), position_(position) {}

      std::uint16_t operator*() const {
        if (position_ == 0) return transfer_->source;
        if (position_ == 1) return *transfer_->partner;
        return transfer_->destinations[position_ - 2].tile;
      }
      iterator& operator++() {
        ++position_;
        if (position_ == 1 && !transfer_->partner) position_ = 2;
        return *this;
      }
      iterator operator++(int) {
        iterator before = *this;
        ++*this;
        return before;
      }
      friend bool operator==(const iterator&, const iterator&) = default;

     private:
      const PendingTransfer* transfer_ = nullptr;
      std::size_t position_ = 0;  // 0 source, 1 partner, 2 + k destination k
    };

    explicit TileRange(const PendingTransfer& transfer) : transfer_(&transfer) {}
    iterator begin() const { return iterator(transfer_, 0); }
    iterator end() const { return iterator(transfer_, 2 + transfer_->destinations.size()); }
    std::size_t size() const { return 1 + (transfer_->partner ? 1 : 0) + transfer_->destinations.size(); }

   private:
    const PendingTransfer* transfer_;
  };

  TileRange tiles() const { return TileRange(*this); }

  friend bool operator==(const PendingTransfer&, const PendingTransfer&) = default;
};

/// Converts every transfer of `problem` in order; the first failing check of
/// the first failing transfer is returned and nothing else.
[[nodiscard]] std::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count);

/// Runs every conversion check on every transfer of `problem` without building
/// the records; fails exactly where pending_from_problem fails.
[[nodiscard]] std::expected<void, ExchangeLoweringError> check_problem_transfers(const ExchangeScheduleProblem& problem,
                                                                                 std::uint16_t tile_count);

}  // namespace kel_codegen::exchange
