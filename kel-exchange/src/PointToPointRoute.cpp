// Point-to-point routes: the sender row waits until the receiver's
// multiplexer can follow it, and the receiver row's source control takes
// effect at cycle 113, one cycle after the latest possible first send.
#include "kel_exchange/PointToPointRoute.h"

#include <algorithm>

#include "ReceiverRowTail.h"
#include "kel_exchange/RouteTiming.h"
#include "kel_exchange/Topology.h"
#include "kel_runtime/Log.h"
#include "kel_runtime/Try.h"

namespace kel_exchange {

namespace {

/// Latest first-send cycle; a route with this lead time starts sending at once.
constexpr std::int32_t kLatestLeadTime = 112;
constexpr std::uint32_t kSourceCycle = 113;
constexpr std::uint32_t kSourceMask = 0x1FFF;

}  // namespace

std::expected<PointToPointRoute, ExchangeError> Topology::point_to_point(std::uint16_t sender, std::uint16_t receiver,
                                                                          std::uint32_t count) const {
  if (count < 1 || count > kMaxExchangeWords) return std::unexpected(ExchangeError::count(count));
  if (sender == receiver) return std::unexpected(ExchangeError::duplicate_tile());
  const std::uint16_t s = TRY(physical(sender));
  const std::uint16_t r = TRY(physical(receiver));
  const std::int32_t lead = time_to_mux(s, r);
  if (lead > kLatestLeadTime) return std::unexpected(ExchangeError::schedule("sender delay"));
  const auto control = static_cast<std::uint8_t>(direction(s, r).code);
  const auto words = static_cast<std::int32_t>(count);

  PointToPointRoute route;
  std::size_t n = 0;
  ExchangeRow& out = route.sender_row;
  out[n++] = ROW_SYNC_WORD;
  if (lead != kLatestLeadTime) out[n++] = delay_word(static_cast<std::uint32_t>(kLatestLeadTime - lead));
  out[n++] = first_send_word(std::min(count, kMaxSendItems), control);
  if (count > kMaxSendItems) out[n++] = continuation_send_word(count - kMaxSendItems, control);
  // The sender row lasts until the receiver could have released the route.
  if (lead - words > 106) out[n++] = delay_word(static_cast<std::uint32_t>(lead - words - 106));
  out[n++] = RETURN_WORD;

  PointReceiverTemplate& receive = route.receiver_template;
  receive.patch_index = 1;
  receive.words[0] = ROW_SYNC_WORD;
  receive.words[1] = xpic_word(0, kSourceCycle);
  detail::write_receiver_row_tail(std::span<std::uint32_t, 4>(receive.words.data() + 2, 4), count, route_row(r), 0);

  KEL_DEBUG("kel_exchange", "assembled point-to-point exchange", kel_runtime::field("sender_logical", sender),
            kel_runtime::field("receiver_logical", receiver), kel_runtime::field("count", count));
  return route;
}

std::expected<ExchangeRow, ExchangeError> finalize_point_receiver(const PointReceiverTemplate& receiver,
                                                                  std::uint16_t source) {
  if (receiver.patch_index >= receiver.words.size() || source > kSourceMask)
    return std::unexpected(ExchangeError::schedule("point receiver patch index"));
  ExchangeRow row{};
  std::copy(receiver.words.begin(), receiver.words.end(), row.begin());
  std::uint32_t& patched = row[receiver.patch_index];
  patched = (patched & ~kSourceMask) | source;
  return row;
}

}  // namespace kel_exchange
