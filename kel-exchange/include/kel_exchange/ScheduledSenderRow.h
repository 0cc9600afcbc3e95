// One sender row placed in a tile program: the route's nine words with the
// source address patched, and the absolute payload interval [start, end).
#pragma once

#include <cstdint>

#include "kel_exchange/InstructionWord.h"

namespace kel_exchange {

struct ScheduledSenderRow {
  ExchangeRow words{};
  /// Cycle at which the first payload word issues.
  std::uint32_t start = 0;
  /// Cycle just after the last payload word.
  std::uint32_t end = 0;

  friend bool operator==(const ScheduledSenderRow&, const ScheduledSenderRow&) = default;
};

}  // namespace kel_exchange
