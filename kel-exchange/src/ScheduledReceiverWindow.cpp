// Placing a receiver row's timing at an offset. The release moves to the end
// of the source interval, so the multiplexer is held exactly as long as the
// payload; controls that only restate what the previous stream left in place
// are dropped, so that back-to-back streams need no extra controls.
#include "kel_exchange/ScheduledReceiverWindow.h"

#include <algorithm>
#include <utility>

#include "kel_runtime/Try.h"

namespace kel_exchange {

namespace {

constexpr std::uint32_t kMaxCycle = 0xFFFFFFFFu;

std::expected<std::optional<std::uint32_t>, ExchangeError> at_offset(std::optional<std::uint32_t> cycle,
                                                                   std::uint32_t offset) {
  if (!cycle) return std::optional<std::uint32_t>();
  std::uint32_t absolute = 0;
  if (__builtin_add_overflow(*cycle, offset, &absolute))
    return std::unexpected(ExchangeError::schedule("receive offset overflow"));
  return absolute;
}


}  // namespace

std::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& row, std::uint32_t offset, std::uint32_t item_count,
    const std::optional<ReceiveState>& previous) {
  ScheduledReceiverWindow window;
  TRY(scheduled_receive_window_into(row, offset, item_count, previous, window));
  return window;
}

std::expected<void, ExchangeError> scheduled_receive_window_into(const ReceiveRowTiming& row, std::uint32_t offset,
                                                                 std::uint32_t item_count,
                                                                 const std::optional<ReceiveState>& previous,
                                                                 ScheduledReceiverWindow& window) {
  // Every event and every cycle of the row must stay representable at the
  // offset; all overflows share one reason, so checking them first keeps the
  // reported error independent of the order below.
  for (const ReceiveEvent& e : row.events)
    if (e.cycle > kMaxCycle - offset) return std::unexpected(ExchangeError::schedule("receive offset overflow"));
  static_cast<void>(TRY(at_offset(row.teardown, offset)));
  const std::optional<std::uint32_t> source = TRY(at_offset(row.source, offset));
  const std::optional<std::uint32_t> format_start = TRY(at_offset(row.format_start, offset));
  static_cast<void>(TRY(at_offset(row.format_end, offset)));
  const std::optional<std::uint32_t> pointer = TRY(at_offset(row.pointer, offset));
  // Never empty: the horizon is always present.
  const std::uint32_t row_end = *TRY(at_offset(row.horizon, offset));

  // A paired row without its own source follows the source its partner
  // selected, from the format start on.
  std::uint32_t source_cycle = 0;
  if (source) {
    source_cycle = *source;
  } else if (format_start) {
    source_cycle = *format_start;
  } else {
    return std::unexpected(ExchangeError::schedule("receive source timing"));
  }
  std::uint32_t source_end = 0;
  if (__builtin_add_overflow(source_cycle, item_count, &source_end))
    return std::unexpected(ExchangeError::schedule("receive source timing overflow"));

  // The previous stream left this very format open up to our format start.
  bool continues_format = false;
  if (format_start && previous && previous->format && previous->format_end &&
      *previous->format_end == *format_start) {
    continues_format = std::any_of(row.events.begin(), row.events.end(), [&](const ReceiveEvent& e) {
      return e.kind == ReceiveEventKind::Format && e.cycle + offset == *format_start &&
             pic_field(e.word) == *previous->format;
    });
  }

  // Ordinary streams that land where the previous one left the pointer need
  // not set it again.
  const bool pointer_reusable = previous && !row.paired && !previous->paired &&
                                row.pointer_address == previous->next_address;

  if (!pointer) return std::unexpected(ExchangeError::schedule("receive pointer event"));
  std::uint32_t payload_end = 0;
  if (__builtin_add_overflow(*pointer, item_count, &payload_end))
    return std::unexpected(ExchangeError::schedule("receive payload timing overflow"));

  window.source_cycle = source_cycle;
  window.source_end = source_end;
  window.pointer_cycle = *pointer;
  window.payload_end = payload_end;
  window.pointer_address = row.pointer_address;
  window.horizon = std::max({source_end, payload_end, row_end});
  window.continues_format = continues_format;

  // The kept events, moved to the offset, with the release at the end of the
  // source interval; a stable insertion sort by cycle, since rows hold only
  // a handful of events.
  std::vector<ReceiveEvent>& events = window.events;
  events.clear();
  for (const ReceiveEvent& e : row.events) {
    ReceiveEvent moved{e.cycle + offset, e.word, e.kind};
    if ((continues_format && moved.kind == ReceiveEventKind::Format && moved.cycle == *format_start) ||
        (pointer_reusable && moved.kind == ReceiveEventKind::Pointer))
      continue;
    if (moved.kind == ReceiveEventKind::Teardown) moved.cycle = source_end;
    events.push_back(moved);
    for (std::size_t i = events.size() - 1; i > 0 && events[i - 1].cycle > events[i].cycle; --i)
      std::swap(events[i - 1], events[i]);
  }

  for (std::size_t i = 0; i < events.size();) {
    std::size_t j = i + 1;
    while (j < events.size() && events[j].cycle == events[i].cycle) ++j;
    const bool compatible = j - i == 1 || (j - i == 2 && may_share_receive_cycle(events[i].kind, events[i + 1].kind));
    if (!compatible) return std::unexpected(ExchangeError::schedule("incompatible simultaneous receive controls"));
    i = j;
  }
  return {};
}

}  // namespace kel_exchange
