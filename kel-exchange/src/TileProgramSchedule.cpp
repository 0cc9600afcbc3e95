// Encoding cache of a tile schedule: filled once by the first successful
// encoding and shared by clones; a failed encoding leaves it empty.
#include "kel_exchange/TileProgramSchedule.h"

#include <utility>

#include "kel_exchange/encoding/Encoding.h"
#include "kel_runtime/Invariant.h"

namespace kel_exchange {

std::expected<const EncodedSchedule*, ExchangeError> TileProgramSchedule::encoded() const {
  if (encoded_) return encoded_.get();
  auto built = encoding::build_scheduled_program(sender_rows, receive_events, event_horizon,
                                                 base.has_value() ? &*base : nullptr);
  if (!built) return std::unexpected(built.error());
  kel_runtime::expect(encoded_ == nullptr, "successful encoding was cached");
  encoded_ = std::make_shared<const EncodedSchedule>(std::move(*built));
  return encoded_.get();
}

}  // namespace kel_exchange
