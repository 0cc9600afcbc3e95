// The error type of every exchange-lowering operation: a tag plus the payload
// of the payload-carrying variants (an exchange-layer error, a storage error's
// message, a tile, or a text); returned by value and never logged where it is
// made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "kel_codegen/exchange/StorageError.h"
#include "kel_exchange/ExchangeError.h"

namespace kel_codegen::exchange {

class ExchangeLoweringError {
 public:
  /// Variants in declaration order.
  enum class Kind : std::uint8_t {
    Exchange,
    Storage,
    UnplacedShard,
    InvalidDestination,
    UnalignedPayload,
    SizeMismatch,
    Overflow,
    IncompatibleRepeatRows,
    DiagnosticTile,
    InvalidSnapshot,
    Invariant,
  };

  /// Wraps an exchange-layer failure; implicit so that `TRY` on an
  /// exchange-layer call converts inside a lowering function.
  ExchangeLoweringError(kel_exchange::ExchangeError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Exchange), exchange_(error) {}

  static ExchangeLoweringError exchange(kel_exchange::ExchangeError error) { return ExchangeLoweringError(error); }
  static ExchangeLoweringError storage(StorageError error) {
    return ExchangeLoweringError(Kind::Storage, 0, error.message());
  }
  static ExchangeLoweringError unplaced_shard() { return ExchangeLoweringError(Kind::UnplacedShard); }
  static ExchangeLoweringError invalid_destination() { return ExchangeLoweringError(Kind::InvalidDestination); }
  static ExchangeLoweringError unaligned_payload() { return ExchangeLoweringError(Kind::UnalignedPayload); }
  static ExchangeLoweringError size_mismatch() { return ExchangeLoweringError(Kind::SizeMismatch); }
  static ExchangeLoweringError overflow() { return ExchangeLoweringError(Kind::Overflow); }
  static ExchangeLoweringError incompatible_repeat_rows() {
    return ExchangeLoweringError(Kind::IncompatibleRepeatRows);
  }
  static ExchangeLoweringError diagnostic_tile(std::uint16_t tile) {
    return ExchangeLoweringError(Kind::DiagnosticTile, tile);
  }
  static ExchangeLoweringError invalid_snapshot(std::string text) {
    return ExchangeLoweringError(Kind::InvalidSnapshot, 0, std::move(text));
  }
  static ExchangeLoweringError invariant(std::string text) {
    return ExchangeLoweringError(Kind::Invariant, 0, std::move(text));
  }

  Kind kind() const { return kind_; }
  /// The wrapped error of Exchange; absent for the other variants.
  std::optional<kel_exchange::ExchangeError> exchange_error() const {
    if (kind_ != Kind::Exchange) return std::nullopt;
    return exchange_;
  }
  /// The wrapped error of Storage; absent for the other variants.
  std::optional<StorageError> storage_error() const {
    if (kind_ != Kind::Storage) return std::nullopt;
    return StorageError(text_);
  }
  /// The tile of DiagnosticTile; 0 for the other variants.
  std::uint16_t tile() const { return tile_; }
  /// The text of InvalidSnapshot and Invariant; empty for the other variants.
  std::string_view text() const {
    return kind_ == Kind::InvalidSnapshot || kind_ == Kind::Invariant ? std::string_view(text_) : std::string_view();
  }

  /// The user-facing text (a wrapped error shows its own text unchanged).
  std::string message() const;
  /// The structural form: the variant's name, with the payload in parentheses
  /// for the payload-carrying ones, e.g. `DiagnosticTile(5)`.
  std::string debug() const;

  friend bool operator==(const ExchangeLoweringError&, const ExchangeLoweringError&) = default;

 private:
  explicit ExchangeLoweringError(Kind kind, std::uint16_t tile = 0, std::string text = {})
      : kind_(kind), tile_(tile), text_(std::move(text)) {}

  Kind kind_;
  std::uint16_t tile_ = 0;
  // Meaningful for Exchange only; the other variants keep this fixed filler,
  // so comparing all fields compares the payload.
  kel_exchange::ExchangeError exchange_ = kel_exchange::ExchangeError::duplicate_tile();
  std::string text_;  // InvalidSnapshot and Invariant texts, the Storage message
};

}  // namespace kel_codegen::exchange
