// Tile program encoder: sender payloads with the receive controls they carry,
// runs of receive controls between them, delays, and resumable checkpoints.
// Invariant: the current cycle only moves forward and every emitted word lasts
// exactly the cycles it advances; the internal steps may leave partial output
// on failure, which the public entry points roll back.
#include "kel_exchange/encoding/Encoding.h"

#include <algorithm>
#include <utility>

#include "kel_runtime/Invariant.h"
#include "kel_runtime/Try.h"

namespace kel_exchange::encoding {
namespace {

using Words = Chunked<std::uint32_t>;
using Status = std::expected<void, ExchangeError>;

[[nodiscard]] std::unexpected<ExchangeError> fail(const char* reason) {
  return std::unexpected(ExchangeError::schedule(reason));
}

constexpr std::uint32_t kDelayBase = 0x40A00000u;
constexpr std::uint32_t kPairedSendBase = 0xF0000000u;
constexpr std::uint32_t kControlSendBase = 0x70100000u;

bool is_odd(std::size_t n) { return (n & 1u) != 0; }

void push_delays(Words& words, std::uint32_t cycles) {
  while (cycles > 0) {
    const std::uint32_t d = std::min(cycles, kMaxDelayCycles);
    words.push(kDelayBase | (d - 1));
    cycles -= d;
  }
}

// The Pic event and the Xpic event of two coincident controls, in that order.
struct ControlPair {
  const ReceiveEvent* pic;
  const ReceiveEvent* xpic;
};

std::expected<ControlPair, ExchangeError> split_control_pair(const ReceiveEvent& a, const ReceiveEvent& b) {
  const bool a_xpic = is_xpic_kind(a.kind);
  const bool b_xpic = is_xpic_kind(b.kind);
  if (a_xpic && b_xpic) return fail("SENDPICP PIC control");
  if (!a_xpic && !b_xpic) return fail("SENDPICP XPIC control");
  if (a.cycle != b.cycle) return fail("SENDPICP event time");
  return a_xpic ? ControlPair{&b, &a} : ControlPair{&a, &b};
}

// First word of a paired send: bit 18 of the Pic value travels in bit 27.
std::uint32_t paired_first_word(std::uint32_t items, std::uint32_t pic_word) {
  return kPairedSendBase | ((items - 1) << 21) | (((pic_word >> 18) & 1u) << 27);
}
std::uint32_t paired_second_word(const ControlPair& pair) {
  return (pair.pic->word & 0x3FFFFu) | (pair.xpic->word << 18);
}

// Number of events in [from, len) counted on from `from` whose cycle is at most
// `x`, plus `from`: galloping, since the answer is usually a few events on.
// Falls back to a plain bisection when the event before `from` is already
// beyond `x`.
std::size_t count_at_most(const Chunked<ReceiveEvent>& events, std::uint32_t x, std::size_t from) {
  std::size_t lo = from;
  std::size_t hi = events.len();
  if (from > 0 && events[from - 1].cycle > x) {
    lo = 0;
    hi = from;
  } else {
    std::size_t step = 1;
    while (lo + step <= hi && events[lo + step - 1].cycle <= x) {
      lo += step;
      step *= 2;
    }
    hi = std::min(hi, lo + step - 1);
  }
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (events[mid].cycle <= x) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// A single receive control at cycle v, issued by a Pic or Xpic word whose
// advance reaches v (after a delay run when v is further than one word reaches).
Status emit_single_control(Words& words, std::uint32_t& g, const ReceiveEvent& e) {
  const std::uint32_t v = e.cycle;
  if (v < g) return fail("receive event order");
  if (v == g) return fail("receive control issue interval");
  const bool pic = is_pic_word(e.word);
  if (!pic && !is_xpic_word(e.word)) return fail("receive timed event");
  const std::uint32_t max_advance = pic ? kMaxPicAdvance : kMaxXpicAdvance;
  std::uint32_t advance = v - g;
  if (advance > max_advance) {
    push_delays(words, advance - max_advance);
    advance = max_advance;
  }
  words.push(pic ? ((e.word & 0x6007FFFFu) | ((advance - 1) << 19)) : ((e.word & 0x64003FFFu) | ((advance - 1) << 14)));
  g = v;
  return {};
}

// Two coincident controls at cycle v ride on a carrier paired send that
// starts at v - 1 and lasts up to `limit`.
Status emit_control_pair(Words& words, std::uint32_t& g, const ReceiveEvent& a, const ReceiveEvent& b,
                         std::uint32_t limit, bool align) {
  const std::uint32_t v = a.cycle;
  if (v == 0) return fail("receive control at phase entry");
  if (v - 1 < g) return fail("plan delay order");
  const std::uint32_t fill = v - 1 - g;
  if (!align) {
    push_delays(words, fill);
  } else if (fill > 0) {
    std::uint32_t count = fill / kMaxDelayCycles + (fill % kMaxDelayCycles != 0 ? 1 : 0);
    if (is_odd(words.len() + count)) ++count;
    if (count > fill) return fail("SENDPICP instruction alignment");
    // Each delay as long as possible while every later one keeps a cycle.
    std::uint32_t left = fill;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t d = std::min(kMaxDelayCycles, left - (count - 1 - i));
      words.push(kDelayBase | (d - 1));
      left -= d;
    }
  } else if (is_odd(words.len())) {
    return fail("SENDPICP instruction alignment");
  }
  g = v - 1;
  if (limit < g) return fail("receive control order");
  if (limit == g) return fail("empty SENDPICP interval");
  const ControlPair pair = TRY(split_control_pair(a, b));
  const std::uint32_t items = std::min<std::uint32_t>(limit - g, kMaxSendItems);
  words.push(paired_first_word(items, pair.pic->word));
  words.push(paired_second_word(pair));
  g += items;
  return {};
}

// The run of receive controls [first, last) followed by delays up to `until`.
template <class It>
Status receive_run(Words& words, std::uint32_t& g, It first, It last, std::uint32_t until, bool align,
                   CheckpointSink* sink) {
  It it = first;
  while (it != last) {
    const ReceiveEvent& e = *it;
    It next = it + 1;
    std::size_t group = 1;
    while (next != last && next->cycle == e.cycle) {
      ++next;
      ++group;
    }
    std::uint32_t limit = until;
    if (next != last) limit = next->cycle == 0 ? 0 : next->cycle - 1;
    std::uint32_t after_pair = 0;
    if (group == 1) {
      TRY(emit_single_control(words, g, e));
    } else if (group == 2) {
      TRY(emit_control_pair(words, g, e, *(it + 1), limit, align));
      after_pair = 1;
    } else {
      return fail("incompatible simultaneous receive controls");
    }
    if (sink != nullptr && sink->checkpoints != nullptr) {
      sink->checkpoints->push(Checkpoint{.after_pair = after_pair,
                                         .limit = limit,
                                         .sender_rows = sink->sender_rows,
                                         .receive_events = sink->events_before + static_cast<std::size_t>(next - first),
                                         .word_count = words.len(),
                                         .cycle = g});
    }
    it = next;
  }
  if (until < g) return fail("plan delay order");
  push_delays(words, until - g);
  g = until;
  return {};
}

// Send words for `q` items; see `emit_sender_words`.
Status sender_words(Words& words, std::uint32_t& g, std::uint32_t templ, std::uint8_t control,
                    std::uint32_t& remaining, std::uint32_t& offset, bool& started, std::uint32_t q, bool align) {
  control &= 7u;
  if (remaining < q) return fail("sender payload overflow");
  if (q == 0) {
    // A control rides one cycle after its send word starts, so it cannot
    // land on the first payload cycle.
    if (!started) return fail("unencodable initial send control");
    if (align && is_odd(words.len())) return fail("SENDPICP instruction alignment");
    return {};
  }
  const std::uint32_t first = std::min(q, started ? kMaxContinuationItems : kMaxSendItems);
  const std::uint32_t rest = q - first;
  const std::uint32_t pieces = 1 + rest / kMaxContinuationItems + (rest % kMaxContinuationItems != 0 ? 1 : 0);
  std::uint32_t split = pieces;  // index of the piece cut into 1 + remainder, if any
  if (align && is_odd(words.len() + pieces)) {
    const std::uint32_t last =
        rest == 0 ? first : (rest % kMaxContinuationItems == 0 ? kMaxContinuationItems : rest % kMaxContinuationItems);
    if (last > 1) {
      split = pieces - 1;
    } else if (pieces >= 2) {
      split = pieces - 2;  // every piece before the last is a full first or continuation piece
    } else {
      return fail("SENDPICP instruction alignment");
    }
  }
  if (!is_first_send_word(templ) && !started) return fail("initial send size");
  const auto emit_piece = [&](std::uint32_t n) {
    if (!started) {
      words.push((templ & 0x781FFFFFu) | ((n - 1) << 21));
      started = true;
    } else {
      words.push(continuation_send_word(n, control));
    }
    g += n;
    remaining -= n;
    offset += n;
  };
  std::uint32_t left = rest;
  for (std::uint32_t i = 0; i < pieces; ++i) {
    std::uint32_t n = first;
    if (i > 0) {
      n = std::min(left, kMaxContinuationItems);
      left -= n;
    }
    if (i == split) {
      emit_piece(1);
      emit_piece(n - 1);
    } else {
      emit_piece(n);
    }
  }
  if (align && is_odd(words.len())) return fail("SENDPICP instruction alignment");
  return {};
}

// One sender row over [row.start, row.end) carrying the controls [first, last).
template <class It>
Status sender_message(Words& words, std::uint32_t& g, const ScheduledSenderRow& row, It first, It last) {
  if (row.start < g) return fail("plan delay order");
  push_delays(words, row.start - g);
  g = row.start;

  std::uint32_t templ = 0;
  bool found = false;
  std::uint32_t total = 0;
  for (const std::uint32_t w : row.words) {
    std::uint32_t n = 0;
    if (is_first_send_word(w)) {
      if (found) return fail("multiple initial sends");
      found = true;
      templ = w;
      n = send_items(w);
    } else if (is_continuation_send_word(w)) {
      n = continuation_items(w);
    } else {
      continue;
    }
    if (total > UINT32_MAX - n) return fail("sender payload overflow");
    total += n;
  }
  if (!found) return fail("sender payload");
  const std::uint8_t control = send_control(templ);
  const std::uint32_t address = send_address_field(templ);

  std::uint32_t remaining = total;
  std::uint32_t offset = 0;
  bool started = false;
  It it = first;
  while (it != last) {
    const ReceiveEvent& e = *it;
    const std::uint32_t u = e.cycle;
    It next = it + 1;
    std::size_t group = 1;
    while (next != last && next->cycle == u) {
      ++next;
      ++group;
    }
    if (group > 2) return fail("incompatible simultaneous receive controls");
    if (u == 0) return fail("send control at phase entry");
    if (u - 1 < g) return fail("send control order");
    if (u - 1 - g >= remaining) return fail("send control beyond payload");
    TRY(sender_words(words, g, templ, control, remaining, offset, started, u - 1 - g, group == 2));

    std::uint32_t x = row.end;
    bool next_is_pair = false;
    if (next != last) {
      x = next->cycle == 0 ? 0 : next->cycle - 1;
      next_is_pair = next + 1 != last && (next + 1)->cycle == next->cycle;
    }
    if (x < g) return fail("send control order");
    x -= g;
    // Leave a cycle for a one-item piece that puts the next pair at an even word.
    if (next_is_pair && x > 1 && is_odd(words.len() + group)) --x;
    std::uint32_t items = std::min(x, remaining);
    if (items == 0) return fail("empty receive-control continuation");
    items = std::min(items, kMaxSendItems);

    if (group == 1) {
      std::uint32_t value_bits = 0;
      if (is_pic_kind(e.kind)) {
        value_bits = 0x80000u | (e.word & 0x7FFFFu);
      } else {
        value_bits = (((e.word >> 13) & 1u) << 18) | (e.word & 0x1FFFu);
      }
      words.push(kControlSendBase | ((items - 1) << 21) | value_bits);
    } else {
      if (address > UINT32_MAX - offset) return fail("SENDPICP source overflow");
      const std::uint32_t source = address + offset;
      if (source > kMaxSendAddressField) return fail("SENDPICP operand");
      const ControlPair pair = TRY(split_control_pair(e, *(it + 1)));
      words.push(paired_first_word(items, pair.pic->word) | (source << 3) | control);
      words.push(paired_second_word(pair));
    }
    g += items;
    remaining -= items;
    offset += items;
    it = next;
  }

  if (!started) {
    if (!is_first_send_word(templ) || remaining == 0) return fail("initial send size");
    const std::uint32_t n = std::min(remaining, kMaxSendItems);
    if (g > UINT32_MAX - n) return fail("sender payload horizon");
    words.push((templ & 0x781FFFFFu) | ((n - 1) << 21));
    g += n;
    remaining -= n;
  }
  while (remaining > 0) {
    const std::uint32_t n = std::min(remaining, kMaxContinuationItems);
    if (g > UINT32_MAX - n) return fail("sender payload horizon");
    words.push(continuation_send_word(n, control));
    g += n;
    remaining -= n;
  }
  if (g != row.end) return fail("sender payload horizon");
  return {};
}

// Events before `prefix` were checked when the base was encoded.
Status check_coincidences(const Chunked<ReceiveEvent>& events, std::size_t prefix) {
  const auto end = events.end();
  auto it = events.begin() + static_cast<std::ptrdiff_t>(prefix);
  while (it != end) {
    auto next = it + 1;
    if (next == end || next->cycle != it->cycle) {
      it = next;
      continue;
    }
    const auto other = next + 1;
    if (other != end && other->cycle == it->cycle) return fail("incompatible simultaneous receive controls");
    if (!may_share_receive_cycle(it->kind, next->kind)) return fail("incompatible simultaneous receive controls");
    it = other;
  }
  return {};
}

struct ResumePoint {
  std::size_t row = 0;
  std::size_t event = 0;
  std::uint32_t cycle = 0;
};

// Whether encoding may resume at checkpoint `k` of the base.
bool usable(const Checkpoint& k, const Chunked<ScheduledSenderRow>& rows, const Chunked<ReceiveEvent>& events,
            std::uint32_t horizon, std::size_t base_words) {
  if (k.word_count > base_words) return false;
  std::uint32_t l = k.sender_rows < rows.len() ? rows[k.sender_rows].start : horizon;
  if (k.cycle > l) return false;
  const bool has_next_event = k.receive_events < events.len();
  if (has_next_event && k.cycle >= events[k.receive_events].cycle) return false;
  if (k.receive_events >= 1 && events[k.receive_events - 1].cycle >= l) return false;
  if (k.after_pair == 1) {
    // The carrier's length depended on the limit it saw: resume only where the
    // same limit holds again.
    if (has_next_event && events[k.receive_events].cycle <= l) l = events[k.receive_events].cycle - 1;
    if (l != k.limit) return false;
  }
  return true;
}

// Adopts the base's output up to its last usable checkpoint.
ResumePoint resume_from(const EncodingBase& base, const Chunked<ScheduledSenderRow>& rows,
                        const Chunked<ReceiveEvent>& events, std::uint32_t horizon, EncodedSchedule& out) {
  const EncodedSchedule& prev = *base.encoded;
  const Chunked<Checkpoint>& cps = prev.checkpoints;
  const std::size_t max_rows = std::min(base.sender_prefix, rows.len());
  const std::size_t max_events = std::min(base.receive_prefix, events.len());
  // Checkpoints are in program order, so both counts only grow: bisect for the
  // last one inside the shared prefix, then walk back.
  std::size_t lo = 0;
  std::size_t hi = cps.len();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const Checkpoint& k = cps[mid];
    if (k.sender_rows <= max_rows && k.receive_events <= max_events) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  for (std::size_t i = lo; i-- > 0;) {
    const Checkpoint& k = cps[i];
    if (!usable(k, rows, events, horizon, prev.words.len())) continue;
    out.words = prev.words;
    out.words.truncate(k.word_count);
    out.checkpoints = cps;
    out.checkpoints.truncate(i + 1);
    return ResumePoint{k.sender_rows, k.receive_events, k.cycle};
  }
  return {};
}

}  // namespace

void append_delay_run(Chunked<std::uint32_t>& words, std::uint32_t cycles) { push_delays(words, cycles); }

std::expected<EncodedSchedule, ExchangeError> build_scheduled_program(const Chunked<ScheduledSenderRow>& sender_rows,
                                                                      const Chunked<ReceiveEvent>& receive_events,
                                                                      std::uint32_t horizon,
                                                                      const EncodingBase* base) {
  const std::size_t event_count = receive_events.len();
  const std::size_t row_count = sender_rows.len();
  if (base != nullptr && base->encoded == nullptr) base = nullptr;

  // Never split a group of coincident events between checked and unchecked.
  std::size_t stable = 0;
  if (base != nullptr) {
    stable = std::min(event_count, base->receive_prefix);
    if (stable > 0 && stable < event_count) {
      while (stable > 0 && receive_events[stable - 1].cycle == receive_events[stable].cycle) --stable;
    }
  }
  TRY(check_coincidences(receive_events, stable));

  EncodedSchedule out;
  ResumePoint at;
  if (base != nullptr) at = resume_from(*base, sender_rows, receive_events, horizon, out);

  std::uint32_t g = at.cycle;
  std::size_t ev = at.event;
  const auto events = receive_events.begin();
  for (std::size_t r = at.row; r < row_count; ++r) {
    const ScheduledSenderRow& row = sender_rows[r];
    const std::size_t lo = count_at_most(receive_events, row.start, ev);
    // Events left behind by an overlapping earlier row: this row would start
    // before the current cycle.
    if (lo < ev) return fail("plan delay order");
    CheckpointSink sink{&out.checkpoints, r, ev};
    TRY(receive_run(out.words, g, events + static_cast<std::ptrdiff_t>(ev), events + static_cast<std::ptrdiff_t>(lo),
                    row.start, true, &sink));
    const std::size_t hi = std::max(lo, count_at_most(receive_events, row.end, lo));
    TRY(sender_message(out.words, g, row, events + static_cast<std::ptrdiff_t>(lo),
                       events + static_cast<std::ptrdiff_t>(hi)));
    ev = hi;
    out.checkpoints.push(Checkpoint{.after_pair = 0,
                                    .limit = 0,
                                    .sender_rows = r + 1,
                                    .receive_events = hi,
                                    .word_count = out.words.len(),
                                    .cycle = g});
  }
  CheckpointSink sink{&out.checkpoints, row_count, ev};
  TRY(receive_run(out.words, g, events + static_cast<std::ptrdiff_t>(ev), receive_events.end(), horizon, true,
                  &sink));
  out.words.push(RETURN_WORD);
  return out;
}

std::expected<void, ExchangeError> append_receive_events_record(Chunked<std::uint32_t>& words, std::uint32_t& cycle,
                                                                std::span<const ReceiveEvent> events,
                                                                std::uint32_t until, bool align,
                                                                CheckpointSink* sink) {
  const std::size_t word_count = words.len();
  const std::uint32_t start = cycle;
  Chunked<Checkpoint>* checkpoints = sink != nullptr ? sink->checkpoints : nullptr;
  const std::size_t checkpoint_count = checkpoints != nullptr ? checkpoints->len() : 0;
  Status status = receive_run(words, cycle, events.begin(), events.end(), until, align, sink);
  if (!status) {
    words.truncate(word_count);
    cycle = start;
    if (checkpoints != nullptr) checkpoints->truncate(checkpoint_count);
  }
  return status;
}

std::expected<void, ExchangeError> append_sender_message(Chunked<std::uint32_t>& words, std::uint32_t& cycle,
                                                         const ScheduledSenderRow& row,
                                                         std::span<const ReceiveEvent> events) {
  const std::size_t word_count = words.len();
  const std::uint32_t start = cycle;
  Status status = sender_message(words, cycle, row, events.begin(), events.end());
  if (!status) {
    words.truncate(word_count);
    cycle = start;
  }
  return status;
}

std::expected<void, ExchangeError> emit_sender_words(Chunked<std::uint32_t>& words, std::uint32_t& cycle,
                                                     std::uint32_t template_word, std::uint8_t control,
                                                     std::uint32_t& remaining, std::uint32_t& address_offset,
                                                     bool& started, std::uint32_t count, bool align) {
  const std::size_t word_count = words.len();
  const std::uint32_t start = cycle;
  const std::uint32_t remaining_before = remaining;
  const std::uint32_t offset_before = address_offset;
  const bool started_before = started;
  Status status =
      sender_words(words, cycle, template_word, control, remaining, address_offset, started, count, align);
  if (!status) {
    words.truncate(word_count);
    cycle = start;
    remaining = remaining_before;
    address_offset = offset_before;
    started = started_before;
  }
  return status;
}

}  // namespace kel_exchange::encoding
