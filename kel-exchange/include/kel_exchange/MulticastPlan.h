// The rows of a transfer to any receiver set: one sender row and one receiver
// row per receiver, in the order of the receiver list.
#pragma once

#include <expected>
#include <vector>

#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/InstructionWord.h"

namespace kel_exchange {

struct PreparedTransfer;

struct MulticastPlan {
  std::vector<ExchangeRow> receiver_rows;
  ExchangeRow sender_row{};

  /// Reads the rows back into their timing, relative to the transfer offset.
  /// The result refers to this plan, which must outlive it.
  [[nodiscard]] std::expected<PreparedTransfer, ExchangeError> prepare() const;
  /// As `prepare`, written over `out` so that its row timings' storage is
  /// reused; on failure `out` is left unspecified.
  [[nodiscard]] std::expected<void, ExchangeError> prepare_into(PreparedTransfer& out) const;

  friend bool operator==(const MulticastPlan&, const MulticastPlan&) = default;
};

}  // namespace kel_exchange

// `prepare` returns a PreparedTransfer, which itself refers to a plan; the
// include sits here so that either header can be included first.
#include "kel_exchange/PreparedTransfer.h"
