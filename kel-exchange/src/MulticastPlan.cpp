// Multicast and paired multicast routes. A multicast starts sending once the
// slowest receiver's multiplexer can follow and sets each receiver's source
// one cycle after its lead time. A paired multicast sends 64-bit items from a
// tile pair to complete tile pairs; its receiver rows switch the receive
// format around the payload and are encoded like any run of receive events.
#include "kel_exchange/MulticastPlan.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <unordered_set>

#include "ReceiverRowTail.h"
#include "kel_exchange/Chunked.h"
#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/RouteTiming.h"
#include "kel_exchange/SenderRowEditing.h"
#include "kel_exchange/Topology.h"
#include "kel_exchange/encoding/Encoding.h"
#include "kel_runtime/Log.h"
#include "kel_runtime/Try.h"

namespace kel_exchange {

namespace {

/// First cycle that neither a sender delay nor an Xpic advance can reach.
constexpr std::int64_t kMulticastCycleLimit = 4096;
/// Placeholder pointer value of multicast receiver rows; the caller patches in
/// the destination address.
constexpr std::uint32_t kMulticastPointerPlaceholder = 0x14000;
/// A sender row spans at least this many cycles.
constexpr std::uint32_t kMinimumSenderRowCycles = 6;
/// Pic format values announcing a paired format in either direction.
constexpr std::uint32_t kFormatTowardsHigher = 0x40001;
constexpr std::uint32_t kFormatTowardsLower = 0x40002;
constexpr std::uint32_t kFormatEnd = 0x40000;
/// Xpic value releasing the multiplexer at the end of a paired format.
constexpr std::uint32_t kPairedRelease = kXpicPairedFlag | kXpicNoSource;
/// Cycles a paired receiver row continues after its format ends.
constexpr std::uint32_t kPairedRowTail = 7;
/// Largest format end cycle that leaves room for that tail.
constexpr std::uint64_t kLatestPairedFormatEnd = 0xFFFFFFF8;

constexpr std::uint32_t kXpicBase = 0x64000000;
constexpr std::uint32_t kPicBase = 0x60000000;

std::string receiver_list_text(std::span<const std::uint16_t> receivers) {
  std::string text = "[";
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(receivers[i]);
  }
  text += ']';
  return text;
}

/// Whether the list repeats a tile or names one outside the topology. Most
/// lists are short, so only long ones pay for a bitmap.
bool has_invalid_receiver(std::span<const std::uint16_t> receivers, std::size_t tile_count) {
  constexpr std::size_t kScanLimit = 8;
  if (receivers.size() <= kScanLimit) {
    for (std::size_t i = 0; i < receivers.size(); ++i) {
      if (receivers[i] >= tile_count) return true;
      for (std::size_t j = 0; j < i; ++j)
        if (receivers[j] == receivers[i]) return true;
    }
    return false;
  }
  std::vector<std::uint64_t> seen((tile_count + 63) / 64, 0);
  for (std::uint16_t receiver : receivers) {
    if (receiver >= tile_count) return true;
    std::uint64_t& bits = seen[receiver / 64];
    const std::uint64_t bit = std::uint64_t{1} << (receiver % 64);
    if ((bits & bit) != 0) return true;
    bits |= bit;
  }
  return false;
}

struct TimedControl {
  std::uint64_t cycle;
  std::uint32_t word;
  ReceiveEventKind kind;
};

}  // namespace

std::expected<MulticastPlan, ExchangeError> Topology::multicast(std::uint16_t sender,
                                                                std::span<const std::uint16_t> receivers,
                                                                std::uint32_t count,
                                                                std::uint32_t schedule_offset) const {
  if (count < 1 || count > kMaxExchangeWords) return std::unexpected(ExchangeError::count(count));
  const std::uint16_t s = TRY(physical(sender));
  if (receivers.empty() || (receivers.size() == 1 && receivers[0] == sender))
    return std::unexpected(ExchangeError::receiver_set());
  if (has_invalid_receiver(receivers, tile_count())) return std::unexpected(ExchangeError::receiver_set());

  // Lead times first: the send waits for the receiver that needs the longest.
  std::vector<std::int32_t> lead(receivers.size());
  std::int32_t earliest_lead = std::numeric_limits<std::int32_t>::max();
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    lead[i] = time_to_mux(s, logical_to_physical_[receivers[i]]);
    earliest_lead = std::min(earliest_lead, lead[i]);
  }
  const std::int64_t first_send =
      std::max<std::int64_t>(0, -static_cast<std::int64_t>(earliest_lead)) + std::int64_t{schedule_offset};
  if (first_send >= kMulticastCycleLimit) return std::unexpected(ExchangeError::schedule("multicast start cycle"));
  const auto start = static_cast<std::uint32_t>(first_send);
  const auto control = static_cast<std::uint8_t>(
      receivers.size() == 1 ? direction(s, logical_to_physical_[receivers[0]]).code : 3u);

  MulticastPlan plan;
  std::size_t n = 0;
  ExchangeRow& out = plan.sender_row;
  out[n++] = ROW_SYNC_WORD;
  if (start > 0) out[n++] = delay_word(start);
  const std::uint32_t first_items = std::min(count, kMaxSendItems);
  if (first_items == 0) return std::unexpected(ExchangeError::schedule("send instruction operand"));
  out[n++] = first_send_word(first_items, control);
  if (count > kMaxSendItems) out[n++] = continuation_send_word(count - kMaxSendItems, control);
  if (start + count < kMinimumSenderRowCycles) out[n++] = delay_word(kMinimumSenderRowCycles - start - count);
  out[n++] = RETURN_WORD;

  plan.receiver_rows.reserve(receivers.size());
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    // Non-negative: the start covers the most negative lead time.
    const std::int64_t issue = std::int64_t{lead[i]} + first_send;
    if (issue >= kMulticastCycleLimit) return std::unexpected(ExchangeError::schedule("multicast receive cycle"));
    ExchangeRow row{};
    row[0] = ROW_SYNC_WORD;
    row[1] = xpic_word(s % 8192u, static_cast<std::uint32_t>(issue) + 1);
    detail::write_receiver_row_tail(std::span<std::uint32_t, 4>(row.data() + 2, 4), count,
                                    route_row(logical_to_physical_[receivers[i]]), kMulticastPointerPlaceholder);
    plan.receiver_rows.push_back(row);
  }

  KEL_DEBUG("kel_exchange", "assembled multicast exchange", kel_runtime::field("sender_logical", sender),
            kel_runtime::field("receiver_logical", receiver_list_text(receivers)), kel_runtime::field("count", count),
            kel_runtime::field("schedule_offset", schedule_offset));
  return plan;
}

std::expected<MulticastPlan, ExchangeError> Topology::paired_multicast(std::uint16_t sender,
                                                                       std::span<const std::uint16_t> receivers,
                                                                       std::uint32_t count) const {
  if (count < kMaxSendItems || count > kMaxExchangeWords) return std::unexpected(ExchangeError::count(count));
  if (receivers.empty() || receivers.size() % 2 != 0) return std::unexpected(ExchangeError::receiver_set());
  // Membership only; iteration order never matters.
  const std::unordered_set<std::uint16_t> members(receivers.begin(), receivers.end());
  if (members.size() < receivers.size() || members.contains(sender))
    return std::unexpected(ExchangeError::receiver_set());
  const std::uint16_t sender_partner = TRY(paired_logical(sender));
  if (members.contains(sender_partner)) return std::unexpected(ExchangeError::receiver_set());
  for (std::uint16_t receiver : receivers) {
    const auto partner = paired_logical(receiver);
    if (!partner || !members.contains(*partner)) return std::unexpected(ExchangeError::receiver_set());
  }

  MulticastPlan plan = TRY(multicast(sender, receivers, count, 0));
  const std::uint16_t s = logical_to_physical_[sender];
  const std::uint32_t paired_control =
      receivers.size() == 2 ? (direction(s, logical_to_physical_[receivers[0]]).code | kSendControlPaired) : 7u;
  TRY(set_sender_control(plan.sender_row, static_cast<std::uint8_t>(paired_control)));

  // Both tiles of a receiving pair must be ready; the rows share the lead
  // time of the pair that is ready first.
  std::int32_t common_minimum = std::numeric_limits<std::int32_t>::max();
  for (std::uint16_t receiver : receivers) {
    const std::uint16_t r = logical_to_physical_[receiver];
    common_minimum = std::min(common_minimum, std::max(time_to_mux(s, r), time_to_mux(s, r ^ 2u)));
  }
  for (std::size_t i = 0; i < receivers.size(); ++i)
    plan.receiver_rows[i] = TRY(paired_receiver_row(sender, receivers[i], count, common_minimum));
  return plan;
}

std::expected<ExchangeRow, ExchangeError> Topology::paired_receiver_row(std::uint16_t sender, std::uint16_t receiver,
                                                                        std::uint32_t count,
                                                                        std::int32_t common_minimum) const {
  const std::uint16_t s = TRY(physical(sender));
  const std::uint16_t r = TRY(physical(receiver));
  // 64-bit arithmetic: the common minimum is the caller's and may be extreme.
  const std::int64_t own_lead = time_to_mux(s, r);
  const std::int64_t partner_lead = time_to_mux(s, r ^ 2u);
  const std::int64_t source =
      std::max(own_lead, partner_lead) + std::max<std::int64_t>(0, 1 - std::int64_t{common_minimum});
  if (source < 0) return std::unexpected(ExchangeError::schedule("paired source timing"));
  const auto p = static_cast<std::uint64_t>(source);
  const std::uint64_t words = count;
  const std::uint64_t format_start = p + 2 * std::uint64_t{route_row(r)} + 51;

  std::array<TimedControl, 5> controls{};
  std::size_t n = 0;
  // Only the tile of the pair whose multiplexer is ready first selects the
  // source itself; its partner follows it.
  if (own_lead < partner_lead) {
    const std::uint32_t selected = ((s % 8192u) ^ (r & 2u)) | kXpicPairedFlag;
    controls[n++] = {p, kXpicBase | selected, ReceiveEventKind::PairedSource};
    controls[n++] = {p + words, kXpicBase | kPairedRelease, ReceiveEventKind::PairedTeardown};
  }
  const std::uint32_t format = direction(s, r).delta > 0 ? kFormatTowardsHigher : kFormatTowardsLower;
  controls[n++] = {format_start, kPicBase | format, ReceiveEventKind::Format};
  controls[n++] = {format_start + 2, kPicBase, ReceiveEventKind::PairedPointer};
  controls[n++] = {format_start + words, kPicBase | kFormatEnd, ReceiveEventKind::Format};

  std::stable_sort(controls.begin(), controls.begin() + n,
                   [](const TimedControl& a, const TimedControl& b) { return a.cycle < b.cycle; });
  for (std::size_t i = 1; i < n; ++i)
    if (controls[i].cycle == controls[i - 1].cycle)
      return std::unexpected(ExchangeError::schedule("paired receive coincident controls"));
  if (format_start + words > kLatestPairedFormatEnd)
    return std::unexpected(ExchangeError::schedule("paired receive horizon overflow"));
  const auto row_end = static_cast<std::uint32_t>(format_start + words + kPairedRowTail);

  std::array<ReceiveEvent, 5> events{};
  for (std::size_t i = 0; i < n; ++i)
    events[i] = ReceiveEvent{static_cast<std::uint32_t>(controls[i].cycle), controls[i].word, controls[i].kind};
  Chunked<std::uint32_t> encoded;
  std::uint32_t cycle = 0;
  TRY(encoding::append_receive_events_record(encoded, cycle, std::span<const ReceiveEvent>(events.data(), n),
                                             row_end, /*align=*/false, /*sink=*/nullptr));
  // The sync and the return must fit around the encoded controls.
  if (encoded.len() + 2 > kRowWords) return std::unexpected(ExchangeError::schedule("paired receive row capacity"));
  ExchangeRow row{};
  std::size_t k = 0;
  row[k++] = ROW_SYNC_WORD;
  for (std::uint32_t w : encoded) row[k++] = w;
  row[k] = RETURN_WORD;
  return row;
}

}  // namespace kel_exchange
