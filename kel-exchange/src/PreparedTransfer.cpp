// Preparing a plan for placement: its rows read back into timing relative to
// the transfer offset.
#include "kel_exchange/PreparedTransfer.h"

#include "kel_exchange/SenderRowTiming.h"
#include "kel_runtime/Try.h"

namespace kel_exchange {

std::expected<PreparedTransfer, ExchangeError> MulticastPlan::prepare() const {
  PreparedTransfer prepared;
  TRY(prepare_into(prepared));
  return prepared;
}

std::expected<void, ExchangeError> MulticastPlan::prepare_into(PreparedTransfer& prepared) const {
  const SenderRowTiming sender = TRY(sender_row_timing(sender_row, 0));
  prepared.plan = this;
  prepared.send_start = sender.send_start;
  prepared.send_end = sender.send_end;
  prepared.sender_horizon = sender.horizon;
  // Resizing keeps the event storage of the rows already there.
  prepared.receive_rows.resize(receiver_rows.size());
  for (std::size_t i = 0; i < receiver_rows.size(); ++i)
    TRY(receive_row_timing_into(receiver_rows[i], 0, prepared.receive_rows[i]));
  return {};
}

}  // namespace kel_exchange
