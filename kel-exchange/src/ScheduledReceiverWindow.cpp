// Placing a receiver row's timing at an offset. The release moves to the end
// of the source interval, so the multiplexer is held exactly as long as the
// payload; controls that only restate what the previous stream left in place
// are dropped, so that back-to-back streams need no extra controls.
#include "kel_exchange/ScheduledReceiverWindow.h"

#include <algorithm>

#include "kel_runtime/Try.h"

namespace kel_exchange {

namespace {

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
  window.events = TRY(receive_row_timing_from_base(row.events, offset));
  static_cast<void>(TRY(at_offset(row.teardown, offset)));
  const std::optional<std::uint32_t> source = TRY(at_offset(row.source, offset));
  const std::optional<std::uint32_t> format_start = TRY(at_offset(row.format_start, offset));
  static_cast<void>(TRY(at_offset(row.format_end, offset)));
  const std::optional<std::uint32_t> pointer = TRY(at_offset(row.pointer, offset));
  // Never empty: the horizon is always present.
  const std::uint32_t row_end = *TRY(at_offset(row.horizon, offset));

  // A paired row without its own source follows the source its partner
  // selected, from the format start on.
  if (source) {
    window.source_cycle = *source;
  } else if (format_start) {
    window.source_cycle = *format_start;
  } else {
    return std::unexpected(ExchangeError::schedule("receive source timing"));
  }
  if (__builtin_add_overflow(window.source_cycle, item_count, &window.source_end))
    return std::unexpected(ExchangeError::schedule("receive source timing overflow"));

  // The previous stream left this very format open up to our format start.
  bool continues_format = false;
  if (format_start && previous && previous->format && previous->format_end &&
      *previous->format_end == *format_start) {
    continues_format = std::any_of(window.events.begin(), window.events.end(), [&](const ReceiveEvent& e) {
      return e.kind == ReceiveEventKind::Format && e.cycle == *format_start && pic_field(e.word) == *previous->format;
    });
  }
  window.continues_format = continues_format;

  // Ordinary streams that land where the previous one left the pointer need
  // not set it again.
  const bool pointer_reusable = previous && !row.paired && !previous->paired &&
                                row.pointer_address == previous->next_address;

  if (!pointer) return std::unexpected(ExchangeError::schedule("receive pointer event"));
  window.pointer_cycle = *pointer;
  if (__builtin_add_overflow(window.pointer_cycle, item_count, &window.payload_end))
    return std::unexpected(ExchangeError::schedule("receive payload timing overflow"));
  window.pointer_address = row.pointer_address;
  window.horizon = std::max({window.source_end, window.payload_end, row_end});

  std::erase_if(window.events, [&](const ReceiveEvent& e) {
    return (continues_format && e.kind == ReceiveEventKind::Format && e.cycle == *format_start) ||
           (pointer_reusable && e.kind == ReceiveEventKind::Pointer);
  });
  for (ReceiveEvent& e : window.events)
    if (e.kind == ReceiveEventKind::Teardown) e.cycle = window.source_end;
  std::stable_sort(window.events.begin(), window.events.end(),
                   [](const ReceiveEvent& a, const ReceiveEvent& b) { return a.cycle < b.cycle; });

  for (std::size_t i = 0; i < window.events.size();) {
    std::size_t j = i + 1;
    while (j < window.events.size() && window.events[j].cycle == window.events[i].cycle) ++j;
    const bool compatible =
        j - i == 1 || (j - i == 2 && may_share_receive_cycle(window.events[i].kind, window.events[i + 1].kind));
    if (!compatible) return std::unexpected(ExchangeError::schedule("incompatible simultaneous receive controls"));
    i = j;
  }
  return window;
}

}  // namespace kel_exchange
