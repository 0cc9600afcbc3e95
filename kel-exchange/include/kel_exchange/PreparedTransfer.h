// A route ready for placement: the timing of its sender row and of every
// receiver row, relative to the transfer offset. It borrows the plan it was
// prepared from, which must outlive it.
#pragma once

#include <cstdint>
#include <vector>

#include "kel_exchange/MulticastPlan.h"
#include "kel_exchange/ReceiveRowTiming.h"

namespace kel_exchange {

struct PreparedTransfer {
  /// One per receiver, in the plan's receiver order.
  std::vector<ReceiveRowTiming> receive_rows;
  const MulticastPlan* plan = nullptr;
  std::uint32_t send_start = 0;
  std::uint32_t send_end = 0;
  /// End of all sender activity.
  std::uint32_t sender_horizon = 0;
};

}  // namespace kel_exchange
