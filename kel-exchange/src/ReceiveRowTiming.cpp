// Receive row timing: the words are walked from the row's sync; every receive
// control yields an event where it takes effect, and a paired send yields its
// Xpic and Pic controls one cycle after it starts. The events are then
// classified, and a row is either ordinary (source and release) or paired
// (format start and end).
#include "kel_exchange/ReceiveRowTiming.h"

#include "kel_runtime/Try.h"

namespace kel_exchange {

namespace {

/// The Xpic and Pic control words carried by a paired send pair.
ReceiveEvent paired_send_xpic(std::uint32_t cycle, std::uint32_t w2) {
  const std::uint32_t word = 0x64000000u | paired_send_xpic_value(w2);
  return ReceiveEvent{cycle, word, *receive_event_kind(word)};
}

ReceiveEvent paired_send_pic(std::uint32_t cycle, std::uint32_t w1, std::uint32_t w2) {
  const std::uint32_t word = 0x60000000u | paired_send_pic_value(w1, w2);
  return ReceiveEvent{cycle, word, *receive_event_kind(word)};
}

/// Records `cycle` in `slot`; false when the slot is taken.
bool claim(std::optional<std::uint32_t>& slot, std::uint32_t cycle) {
  if (slot) return false;
  slot = cycle;
  return true;
}

}  // namespace

std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const ExchangeRow& row, std::uint32_t base) {
  ReceiveRowTiming timing;
  TRY(receive_row_timing_into(row, base, timing));
  return timing;
}

std::expected<void, ExchangeError> receive_row_timing_into(const ExchangeRow& row, std::uint32_t base,
                                                           ReceiveRowTiming& timing) {
  if (row[0] != ROW_SYNC_WORD) return std::unexpected(ExchangeError::schedule("receive row entry"));
  // A return at word 1 is an empty row; it fails below for lack of a mux.
  std::size_t end = 1;
  while (end < kRowWords && row[end] != RETURN_WORD) ++end;
  if (end == kRowWords) return std::unexpected(ExchangeError::schedule("receive row return"));

  // Start from a blank record but keep the event storage.
  timing.events.clear();
  timing.teardown.reset();
  timing.source.reset();
  timing.format_start.reset();
  timing.format_end.reset();
  timing.pointer.reset();
  timing.pointer_address.reset();
  timing.horizon = 0;
  timing.paired = false;
  std::uint32_t cycle = base;
  for (std::size_t i = 1; i < end;) {
    const std::uint32_t w = row[i];
    std::uint32_t next = 0;
    if (__builtin_add_overflow(cycle, word_duration(w), &next))
      return std::unexpected(ExchangeError::schedule("receive event horizon overflow"));
    if (is_paired_send_word(w)) {
      // Its controls take effect one cycle after the send starts, which the
      // overflow check above covers (a send lasts at least one cycle). A pair
      // at the last word has the return as its second word.
      const std::uint32_t w2 = row[i + 1];
      timing.events.push_back(paired_send_xpic(cycle + 1, w2));
      timing.events.push_back(paired_send_pic(cycle + 1, w, w2));
      i += 2;
    } else {
      if (const auto kind = receive_event_kind(w)) timing.events.push_back(ReceiveEvent{next, w, *kind});
      i += 1;
    }
    cycle = next;
  }
  timing.horizon = cycle;

  for (const ReceiveEvent& e : timing.events) {
    switch (e.kind) {
      case ReceiveEventKind::Source:
      case ReceiveEventKind::PairedSource:
        if (!claim(timing.source, e.cycle))
          return std::unexpected(ExchangeError::schedule("multiple receive sources"));
        break;
      case ReceiveEventKind::Teardown:
      case ReceiveEventKind::PairedTeardown:
        if (!claim(timing.teardown, e.cycle))
          return std::unexpected(ExchangeError::schedule("multiple receive teardowns"));
        break;
      case ReceiveEventKind::PairedPointer:
      case ReceiveEventKind::Pointer:
        if (!claim(timing.pointer, e.cycle))
          return std::unexpected(ExchangeError::schedule("multiple receive pointers"));
        timing.pointer_address = 4 * pic_field(e.word);
        break;
      case ReceiveEventKind::Format:
        if (is_format_start_value(pic_field(e.word))) {
          if (!claim(timing.format_start, e.cycle))
            return std::unexpected(ExchangeError::schedule("multiple paired format starts"));
        } else if (is_format_end_value(pic_field(e.word))) {
          if (!claim(timing.format_end, e.cycle))
            return std::unexpected(ExchangeError::schedule("multiple paired format ends"));
        } else {
          return std::unexpected(ExchangeError::schedule("paired receive format value"));
        }
        break;
    }
  }

  if (timing.format_start) {
    if (!timing.format_end) return std::unexpected(ExchangeError::schedule("incomplete paired receive format"));
    timing.paired = true;
    for (ReceiveEvent& e : timing.events)
      if (e.kind == ReceiveEventKind::Pointer) e.kind = ReceiveEventKind::PairedPointer;
  } else {
    for (const ReceiveEvent& e : timing.events)
      if (e.kind == ReceiveEventKind::PairedSource || e.kind == ReceiveEventKind::PairedTeardown)
        return std::unexpected(ExchangeError::schedule("incomplete paired receive format"));
    if (!timing.source || !timing.teardown)
      return std::unexpected(ExchangeError::schedule("incomplete ordinary receive mux"));
  }
  return {};
}

std::expected<std::vector<ReceiveEvent>, ExchangeError> receive_row_timing_from_base(
    std::span<const ReceiveEvent> events, std::uint32_t base) {
  std::vector<ReceiveEvent> moved(events.begin(), events.end());
  for (ReceiveEvent& e : moved)
    if (__builtin_add_overflow(e.cycle, base, &e.cycle))
      return std::unexpected(ExchangeError::schedule("receive offset overflow"));
  return moved;
}

}  // namespace kel_exchange
