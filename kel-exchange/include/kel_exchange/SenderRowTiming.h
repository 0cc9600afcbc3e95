// Reads a sender row back into its payload interval and the end of its
// activity, walking the words from the row's sync.
#pragma once

#include <cstdint>
#include <expected>

#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/InstructionWord.h"

namespace kel_exchange {

/// Cycles relative to the row's sync plus the base given.
struct SenderRowTiming {
  std::uint32_t send_start = 0;  ///< the first send word starts
  std::uint32_t send_end = 0;    ///< the last send word ends
  std::uint32_t horizon = 0;     ///< the return is reached

  friend bool operator==(const SenderRowTiming&, const SenderRowTiming&) = default;
};

/// Fails with Schedule: "sender row entry" (word 0 is not the row sync),
/// "sender payload" (no first or continuation send word), "sender row return"
/// (no return in words 2-8) or "sender event horizon overflow".
[[nodiscard]] std::expected<SenderRowTiming, ExchangeError> sender_row_timing(const ExchangeRow& row,
                                                                            std::uint32_t base);

}  // namespace kel_exchange
