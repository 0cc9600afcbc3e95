// Preparing a plan for placement: its rows read back into timing relative to
// the transfer offset.
#include "kel_exchange/PreparedTransfer.h"

#include "kel_exchange/SenderRowTiming.h"
#include "kel_runtime/Try.h"

namespace kel_exchange {

std::expected<PreparedTransfer, ExchangeError> MulticastPlan::prepare() const {
  const SenderRowTiming sender = TRY(sender_row_timing(sender_row, 0));
  PreparedTransfer prepared;
  prepared.plan = this;
  prepared.send_start = sender.send_start;
  prepared.send_end = sender.send_end;
  prepared.sender_horizon = sender.horizon;
  prepared.receive_rows.reserve(receiver_rows.size());
  for (const ExchangeRow& row : receiver_rows) prepared.receive_rows.push_back(TRY(receive_row_timing(row, 0)));
  return prepared;
}

}  // namespace kel_exchange
