// Offset search, encodability proofs, preparation and placement of transfers
// into the tile programs of one phase.
#include "kel_exchange/PhaseProgramBuilder.h"

#include <algorithm>
#include <limits>

#include "kel_exchange/ScheduledReceiverWindow.h"
#include "kel_exchange/diagnostic/TileProgramValidation.h"
#include "kel_runtime/Try.h"

namespace kel_exchange {

namespace {

constexpr std::uint32_t kMaxCycle = std::numeric_limits<std::uint32_t>::max();

std::uint32_t floored_difference(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

std::expected<std::uint32_t, ExchangeError> checked_add(std::uint32_t a, std::uint32_t b, const char* reason) {
  if (a > kMaxCycle - b) return std::unexpected(ExchangeError::schedule(reason));
  return a + b;
}

std::expected<std::uint32_t, ExchangeError> next_offset(std::uint32_t f, const char* reason) {
  if (f == kMaxCycle) return std::unexpected(ExchangeError::schedule(reason));
  return f + 1;
}

/// First sender row whose end exceeds `cycle` (rows are sorted and disjoint,
/// so their ends are sorted too).
std::size_t first_row_ending_after(const Chunked<ScheduledSenderRow>& rows, std::uint32_t cycle) {
  const auto it = std::upper_bound(rows.begin(), rows.end(), cycle,
                                   [](std::uint32_t c, const ScheduledSenderRow& row) { return c < row.end; });
  return static_cast<std::size_t>(it - rows.begin());
}

/// Number of sender rows starting before `cycle`.
std::size_t rows_starting_before(const Chunked<ScheduledSenderRow>& rows, std::uint32_t cycle) {
  const auto it = std::lower_bound(rows.begin(), rows.end(), cycle,
                                   [](const ScheduledSenderRow& row, std::uint32_t c) { return row.start < c; });
  return static_cast<std::size_t>(it - rows.begin());
}

/// Number of receive events before `cycle`.
std::size_t events_before(const Chunked<ReceiveEvent>& events, std::uint32_t cycle) {
  const auto it = std::lower_bound(events.begin(), events.end(), cycle,
                                   [](const ReceiveEvent& e, std::uint32_t c) { return e.cycle < c; });
  return static_cast<std::size_t>(it - events.begin());
}

/// Number of receive events at or before `cycle`.
std::size_t events_up_to(const Chunked<ReceiveEvent>& events, std::uint32_t cycle) {
  const auto it = std::upper_bound(events.begin(), events.end(), cycle,
                                   [](std::uint32_t c, const ReceiveEvent& e) { return c < e.cycle; });
  return static_cast<std::size_t>(it - events.begin());
}

/// True when a send starting at `start` would coincide with, or come one
/// cycle before, a receive control of the same tile.
bool receive_control_at_send_start(const Chunked<ReceiveEvent>& events, std::uint32_t start) {
  const std::size_t i = events_before(events, start);
  if (i == events.len()) return false;
  const std::uint32_t cycle = events[i].cycle;
  return cycle == start || cycle == (start == kMaxCycle ? start : start + 1);
}

/// Where a new sender row goes on the source tile, once it is known to fit.
struct SenderSlot {
  std::uint32_t horizon;
  std::uint32_t start;
  std::uint32_t end;
  std::size_t index;  ///< rows before it
};

std::expected<SenderSlot, ExchangeError> sender_slot(const TileProgramSchedule& sender, const PreparedTransfer& prepared,
                                                     std::uint32_t offset) {
  const std::uint32_t horizon = TRY(checked_add(offset, prepared.sender_horizon, "sender event horizon overflow"));
  const std::uint32_t start = TRY(checked_add(offset, prepared.send_start, "sender event horizon overflow"));
  const std::uint32_t end = TRY(checked_add(offset, prepared.send_end, "sender event horizon overflow"));
  const std::size_t k = rows_starting_before(sender.sender_rows, start);
  if ((k > 0 && sender.sender_rows[k - 1].end > start) ||
      (k < sender.sender_rows.len() && sender.sender_rows[k].start < end))
    return std::unexpected(ExchangeError::schedule("overlapping outgoing messages"));
  if (receive_control_at_send_start(sender.receive_events, start))
    return std::unexpected(ExchangeError::schedule("unencodable initial send control"));
  return SenderSlot{horizon, start, end, k};
}

/// Whether an existing event `x` of the receiver may share `e`'s cycle.
bool compatible(const ReceiveEvent& x, const ReceiveEvent& e, const std::optional<ReceiveState>& state,
                const ScheduledReceiverWindow& window, bool row_paired) {
  if (state) {
    // The previous stream's format end may share the cycle only when the new
    // stream continues that format, since only then does preparation remove
    // it; otherwise the two controls could never be encoded together.
    if (window.continues_format && x.kind == ReceiveEventKind::Format && state->format_end &&
        x.cycle == *state->format_end)
      return true;
    if (window.source_cycle == state->source_end && x.cycle == state->source_end) {
      if (state->paired && row_paired && window.continues_format && x.kind == ReceiveEventKind::PairedTeardown)
        return true;
      if (!state->paired && !row_paired && x.kind == ReceiveEventKind::Teardown) return true;
    }
  }
  return may_share_receive_cycle(e.kind, x.kind);
}

/// Whether the window's events collide with the receiver tile's events or
/// sender rows.
bool window_conflicts(const TileProgramSchedule& tile, const ScheduledReceiverWindow& window, bool row_paired) {
  for (const ReceiveEvent& e : window.events) {
    for (std::size_t i = events_before(tile.receive_events, e.cycle);
         i < tile.receive_events.len() && tile.receive_events[i].cycle == e.cycle; ++i)
      if (!compatible(tile.receive_events[i], e, tile.receive_state, window, row_paired)) return true;
    // No send may start on the control's cycle or the cycle before it.
    const std::uint32_t earliest = e.cycle == 0 ? 0 : e.cycle - 1;
    const std::size_t k = rows_starting_before(tile.sender_rows, earliest);
    if (k < tile.sender_rows.len() && tile.sender_rows[k].start <= e.cycle) return true;
  }
  return false;
}

/// Before the first change to a schedule whose encoding is cached, that
/// encoding becomes the base to resume from.
void begin_change(TileProgramSchedule& schedule) {
  if (const auto& cached = schedule.cached_encoding()) {
    schedule.base = EncodingBase{cached, schedule.sender_rows.len(), schedule.receive_events.len()};
    schedule.clear_encoding();
  }
}

void lower_sender_prefix(TileProgramSchedule& schedule, std::size_t k) {
  if (schedule.base) schedule.base->sender_prefix = std::min(schedule.base->sender_prefix, k);
}

void lower_receive_prefix(TileProgramSchedule& schedule, std::size_t k) {
  if (schedule.base) schedule.base->receive_prefix = std::min(schedule.base->receive_prefix, k);
}

std::optional<std::uint32_t> row_format_value(const ReceiveRowTiming& row) {
  if (!row.paired || !row.format_start) return std::nullopt;
  for (const ReceiveEvent& e : row.events)
    if (e.kind == ReceiveEventKind::Format && e.cycle == *row.format_start) return e.word & 0x3FFFFu;
  return std::nullopt;
}

/// The receive address that follows the stream, absent without a pointer.
std::expected<std::optional<std::uint32_t>, ExchangeError> next_receive_address(const ScheduledReceiverWindow& window,
                                                                                const ReceiveRowTiming& row,
                                                                                std::uint32_t item_count) {
  if (!window.pointer_address) return std::optional<std::uint32_t>();
  const std::uint64_t bytes = std::uint64_t{item_count} * (row.paired ? 8u : 4u);
  const std::uint64_t next = std::uint64_t{*window.pointer_address} + bytes;
  if (bytes > kMaxCycle || next > kMaxCycle)
    return std::unexpected(ExchangeError::schedule("receive address overflow"));
  return static_cast<std::uint32_t>(next);
}

/// Whether the window's stream would start before the tile's last stream ends.
bool overlaps_last_stream(const TileProgramSchedule& tile, const ScheduledReceiverWindow& window) {
  const std::optional<ReceiveState>& state = tile.receive_state;
  return state && (window.source_cycle < state->source_end || window.pointer_cycle < state->payload_end);
}

/// Merges a checked receive window into the tile: the previous stream's
/// closing events that a continuing stream replaces go, the window's events
/// come in after every event of the same cycle, and the receive state moves on.
void apply_receive_window(TileProgramSchedule& tile, const ReceiveRowTiming& row, const ScheduledReceiverWindow& window,
                          std::optional<std::uint32_t> next_address, std::uint32_t offset) {
  const std::optional<ReceiveState> state = tile.receive_state;
  begin_change(tile);
  if (state) {
    // A continuing stream replaces the previous stream's closing events.
    std::uint32_t from = state->source_end;
    if (state->format_end && *state->format_end < from) from = *state->format_end;
    const std::uint32_t last = std::max(state->source_end, state->format_end.value_or(0));
    for (std::size_t j = events_before(tile.receive_events, from);
         j < tile.receive_events.len() && tile.receive_events[j].cycle <= last;) {
      const ReceiveEvent& x = tile.receive_events[j];
      const bool replaced_format = window.continues_format && x.kind == ReceiveEventKind::Format &&
                                   state->format_end && x.cycle == *state->format_end;
      const bool replaced_release =
          x.cycle == state->source_end && window.source_cycle == state->source_end &&
          ((row.paired && state->paired && window.continues_format && x.kind == ReceiveEventKind::PairedTeardown) ||
           (!row.paired && !state->paired && x.kind == ReceiveEventKind::Teardown));
      if (replaced_format || replaced_release) {
        tile.receive_events.remove(j);
        lower_receive_prefix(tile, j);
      } else {
        ++j;
      }
    }
  }
  for (const ReceiveEvent& e : window.events) {
    const std::size_t at = events_up_to(tile.receive_events, e.cycle);
    tile.receive_events.insert(at, e);
    lower_receive_prefix(tile, at);
  }
  tile.event_horizon = std::max(tile.event_horizon, window.horizon);
  ReceiveState next_state;
  next_state.format = row_format_value(row);
  if (row.format_end) next_state.format_end = *row.format_end + offset;
  next_state.next_address = next_address;
  next_state.source_end = window.source_end;
  next_state.payload_end = window.payload_end;
  next_state.paired = row.paired;
  tile.receive_state = next_state;
}

/// Whether entry `i` of a tile list repeats an earlier entry.
bool repeats_earlier_tile(std::span<const std::uint16_t> tiles, std::size_t i) {
  for (std::size_t j = 0; j < i; ++j)
    if (tiles[j] == tiles[i]) return true;
  return false;
}

}  // namespace

bool StagedTransfer::matches(std::uint16_t other_source, std::span<const std::uint16_t> other_receivers,
                             const MulticastPlan& other_plan, std::uint32_t other_offset,
                             std::uint32_t other_item_count) const {
  return source == other_source && offset == other_offset && item_count == other_item_count &&
         std::ranges::equal(receivers, other_receivers) && plan == other_plan;
}

PhaseProgramBuilder PhaseProgramBuilder::create(std::uint16_t tile_count) { return PhaseProgramBuilder(tile_count); }

PhaseProgramBuilder PhaseProgramBuilder::with_validation_budget(std::uint64_t budget) && {
  validation_budget_ = std::make_shared<std::atomic<std::uint64_t>>(budget);
  return std::move(*this);
}

std::optional<std::uint64_t> PhaseProgramBuilder::remaining_budget() const {
  if (!validation_budget_) return std::nullopt;
  return validation_budget_->load(std::memory_order_relaxed);
}

std::uint32_t PhaseProgramBuilder::event_cycles() const {
  std::uint32_t cycles = 0;
  for (const auto& tile : tiles_) cycles = std::max(cycles, tile.event_horizon);
  return cycles;
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::search_pass(
    std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t item_count, std::uint32_t f) const {
  const TileProgramSchedule& sender = tiles_[source];
  f = std::max(f, floored_difference(sender.ready_cycle, prepared.send_start));

  // The new row must not overlap the source's rows nor start on (or just
  // before) one of its receive controls.
  for (;;) {
    const std::uint32_t start = TRY(checked_add(f, prepared.send_start, "send offset overflow"));
    TRY(checked_add(f, prepared.send_end, "send offset overflow"));
    const std::uint32_t end = f + prepared.send_end;
    const std::size_t i = first_row_ending_after(sender.sender_rows, start);
    if (i < sender.sender_rows.len() && sender.sender_rows[i].start < end) {
      const std::uint32_t row_end = sender.sender_rows[i].end;
      if (row_end < prepared.send_start) return std::unexpected(ExchangeError::schedule("send offset order"));
      f = row_end - prepared.send_start;
      continue;
    }
    if (receive_control_at_send_start(sender.receive_events, start)) {
      f = TRY(next_offset(f, "send offset overflow"));
      continue;
    }
    break;
  }

  for (const std::uint16_t partner : partners) {
    if (partner >= tiles_.size()) return std::unexpected(ExchangeError::tile(partner));
    const TileProgramSchedule& tile = tiles_[partner];
    f = std::max(f, tile.ready_cycle);
    if (tile.sender_rows.len() > 0) f = std::max(f, tile.sender_rows.back().end);
  }

  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const std::uint16_t receiver = receivers[i];
    if (receiver >= tiles_.size()) return std::unexpected(ExchangeError::tile(receiver));
    const TileProgramSchedule& tile = tiles_[receiver];
    const ReceiveRowTiming& row = prepared.receive_rows[i];
    if (const auto& state = tile.receive_state) {
      if (!row.source && !row.paired) return std::unexpected(ExchangeError::schedule("receive source timing"));
      const std::optional<std::uint32_t> q = row.source ? row.source : row.format_start;
      if (!q) return std::unexpected(ExchangeError::schedule("receive source timing"));
      f = std::max(f, floored_difference(state->source_end, *q));
      if (!state->paired && row.paired && row.format_start)
        f = std::max(f, floored_difference(state->payload_end, *row.format_start));
      if (!row.pointer) return std::unexpected(ExchangeError::schedule("receive pointer event"));
      f = std::max(f, floored_difference(state->payload_end, *row.pointer));
    }
    for (;;) {
      TRY(scheduled_receive_window_into(row, f, item_count, tile.receive_state, window_));
      if (!window_conflicts(tile, window_, row.paired)) break;
      f = TRY(next_offset(f, "receive offset overflow"));
    }
  }
  return f;
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::fit(
    std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t item_count, std::uint32_t not_before) const {
  if (receivers.size() != prepared.receive_rows.size())
    return std::unexpected(ExchangeError::schedule("receiver row count"));
  if (source >= tiles_.size()) return std::unexpected(ExchangeError::tile(source));
  // Each pass may move the offset for a later constraint; stop when a whole
  // pass leaves it where it was.
  std::uint32_t f = not_before;
  for (;;) {
    const std::uint32_t f0 = f;
    f = TRY(search_pass(source, partners, receivers, prepared, item_count, f));
    if (f == f0) return f;
  }
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset(
    std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t item_count, std::uint32_t not_before) {
  std::uint32_t f = not_before;
  for (;;) {
    f = TRY(fit(source, partners, receivers, prepared, item_count, f));
    auto proof = prove_encodable(source, receivers, prepared, f, item_count);
    if (proof) return f;
    // An offset at which a paired carrier cannot be aligned is skipped; any
    // other failure is final.
    const ExchangeError& error = proof.error();
    if (error.kind() != ExchangeError::Kind::Schedule || error.reason() != "SENDPICP instruction alignment")
      return std::unexpected(error);
    f = TRY(next_offset(f, "receive offset overflow"));
  }
}

std::expected<std::uint32_t, ExchangeError> PhaseProgramBuilder::earliest_transfer_offset_deferred(
    std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t item_count, std::uint32_t not_before) const {
  return fit(source, partners, receivers, prepared, item_count, not_before);
}

std::expected<void, ExchangeError> PhaseProgramBuilder::prove_encodable(std::uint16_t source,
                                                                        std::span<const std::uint16_t> receivers,
                                                                        const PreparedTransfer& prepared,
                                                                        std::uint32_t offset,
                                                                        std::uint32_t item_count) {
  if (staged_ && staged_->matches(source, receivers, *prepared.plan, offset, item_count)) return {};

  if (validation_budget_) {
    std::uint64_t work = 0;
    const auto charge = [&](std::uint16_t tile) -> std::expected<void, ExchangeError> {
      if (tile >= tiles_.size()) return std::unexpected(ExchangeError::tile(tile));
      const std::uint64_t units = 1 + std::uint64_t{tiles_[tile].sender_rows.len()} +
                                  std::uint64_t{tiles_[tile].receive_events.len()};
      work = work > std::numeric_limits<std::uint64_t>::max() - units ? std::numeric_limits<std::uint64_t>::max()
                                                                      : work + units;
      return {};
    };
    TRY(charge(source));
    for (const std::uint16_t receiver : receivers) TRY(charge(receiver));
    std::uint64_t left = validation_budget_->load(std::memory_order_relaxed);
    do {
      if (left < work) return std::unexpected(ExchangeError::validation_budget_exceeded());
    } while (!validation_budget_->compare_exchange_weak(left, left - work, std::memory_order_relaxed));
  }

  staged_.reset();
  NewSchedules schedules = TRY(prepare_transfer_at(source, receivers, prepared, offset, item_count, true));
  staged_ = StagedTransfer{{receivers.begin(), receivers.end()}, *prepared.plan, std::move(schedules), offset,
                           item_count, source};
  return {};
}

std::expected<PhaseProgramBuilder::NewSchedules, ExchangeError> PhaseProgramBuilder::prepare_transfer_at(
    std::uint16_t source, std::span<const std::uint16_t> receivers, const PreparedTransfer& prepared,
    std::uint32_t offset, std::uint32_t item_count, bool encode) const {
  if (receivers.size() != prepared.receive_rows.size())
    return std::unexpected(ExchangeError::schedule("receiver row count"));
  if (source >= tiles_.size()) return std::unexpected(ExchangeError::tile(source));

  NewSchedules result;
  result.reserve(receivers.size() + 1);
  // A cached encoding is what the edited clone resumes from.
  if (encode) TRY(tiles_[source].encoded());
  result.emplace_back(source, tiles_[source]);

  {
    TileProgramSchedule& sender = result.front().second;
    const auto [horizon, start, end, k] = TRY(sender_slot(sender, prepared, offset));
    begin_change(sender);
    lower_sender_prefix(sender, k);
    sender.event_horizon = std::max(sender.event_horizon, horizon);
    sender.sender_rows.insert(k, ScheduledSenderRow{prepared.plan->sender_row, start, end});
    if (encode) TRY(sender.encoded());
  }

  // Duplicate receivers are rare and lists short: a linear scan serves as the set.
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const std::uint16_t receiver = receivers[i];
    if (repeats_earlier_tile(receivers, i)) return std::unexpected(ExchangeError::duplicate_tile());
    TileProgramSchedule* tile = nullptr;
    if (receiver == source) {
      tile = &result.front().second;
    } else {
      if (receiver >= tiles_.size()) return std::unexpected(ExchangeError::tile(receiver));
      if (encode) TRY(tiles_[receiver].encoded());
      tile = &result.emplace_back(receiver, tiles_[receiver]).second;
    }
    const ReceiveRowTiming& row = prepared.receive_rows[i];
    TRY(scheduled_receive_window_into(row, offset, item_count, tile->receive_state, window_));
    const std::optional<std::uint32_t> next_address = TRY(next_receive_address(window_, row, item_count));
    if (overlaps_last_stream(*tile, window_))
      return std::unexpected(ExchangeError::schedule("overlapping receive streams"));
    apply_receive_window(*tile, row, window_, next_address, offset);
    if (encode) TRY(tile->encoded());
  }
  return result;
}

std::expected<void, ExchangeError> PhaseProgramBuilder::receiver_windows(std::span<const std::uint16_t> receivers,
                                                                       const PreparedTransfer& prepared,
                                                                       std::uint32_t offset,
                                                                       std::uint32_t item_count) const {
  if (windows_.size() < receivers.size()) windows_.resize(receivers.size());
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    if (receivers[i] >= tiles_.size()) return std::unexpected(ExchangeError::tile(receivers[i]));
    TRY(scheduled_receive_window_into(prepared.receive_rows[i], offset, item_count,
                                      tiles_[receivers[i]].receive_state, windows_[i]));
  }
  return {};
}

std::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::transfer_timing_at(
    std::uint16_t source, std::span<const std::uint16_t> receivers, const PreparedTransfer& prepared,
    std::uint32_t offset, std::uint32_t item_count) const {
  PhaseTransferTiming timing;
  TRY(transfer_timing_into(source, receivers, prepared, offset, item_count, timing));
  return timing;
}

std::expected<void, ExchangeError> PhaseProgramBuilder::transfer_timing_into(std::uint16_t source,
                                                                           std::span<const std::uint16_t> receivers,
                                                                           const PreparedTransfer& prepared,
                                                                           std::uint32_t offset,
                                                                           std::uint32_t item_count,
                                                                           PhaseTransferTiming& timing) const {
  if (receivers.size() != prepared.receive_rows.size())
    return std::unexpected(ExchangeError::schedule("receiver row count"));
  if (source >= tiles_.size()) return std::unexpected(ExchangeError::tile(source));
  timing.sender_horizon = TRY(checked_add(offset, prepared.sender_horizon, "sender event horizon overflow"));
  timing.send_start = TRY(checked_add(offset, prepared.send_start, "sender event horizon overflow"));
  timing.send_end = TRY(checked_add(offset, prepared.send_end, "sender event horizon overflow"));
  TRY(receiver_windows(receivers, prepared, offset, item_count));
  timing.pointer_cycles.clear();
  timing.payload_ends.clear();
  timing.receive_horizons.clear();
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    timing.pointer_cycles.push_back(windows_[i].pointer_cycle);
    timing.payload_ends.push_back(windows_[i].payload_end);
    timing.receive_horizons.push_back(windows_[i].horizon);
  }
  return {};
}

std::expected<PhaseTransferTiming, ExchangeError> PhaseProgramBuilder::append_transfer_at(
    std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t item_count) {
  PhaseTransferTiming timing;
  TRY(append_transfer_into(source, partners, receivers, prepared, offset, item_count, timing));
  return timing;
}

std::expected<void, ExchangeError> PhaseProgramBuilder::append_transfer_into(
    std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t item_count, PhaseTransferTiming& timing) {
  TRY(transfer_timing_into(source, receivers, prepared, offset, item_count, timing));

  std::optional<StagedTransfer> staged = std::exchange(staged_, std::nullopt);
  if (!staged || !staged->matches(source, receivers, *prepared.plan, offset, item_count)) {
    // Dropping the stale proof first leaves the tiles' chunks unshared, so the
    // edits below need not copy them.
    staged.reset();
    return place_in_place(source, partners, receivers, prepared, offset, item_count, timing.sender_horizon);
  }

  NewSchedules schedules = std::move(staged->tiles);
  for (const std::uint16_t partner : partners) {
    const bool listed = partner == source || std::ranges::find(receivers, partner) != receivers.end() ||
                        std::ranges::any_of(schedules, [&](const auto& entry) { return entry.first == partner; });
    if (listed) return std::unexpected(ExchangeError::duplicate_tile());
    if (partner >= tiles_.size()) return std::unexpected(ExchangeError::tile(partner));
    TileProgramSchedule held = tiles_[partner];
    begin_change(held);
    held.ready_cycle = std::max(held.ready_cycle, timing.sender_horizon);
    held.event_horizon = std::max(held.event_horizon, timing.sender_horizon);
    schedules.emplace_back(partner, std::move(held));
  }

  for (auto& [tile, schedule] : schedules) tiles_[tile] = std::move(schedule);
  return {};
}

std::expected<void, ExchangeError> PhaseProgramBuilder::place_in_place(
    std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
    const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t item_count, std::uint32_t sender_horizon) {
  // Checks, in the order preparation and placement make them.
  TileProgramSchedule& sender = tiles_[source];
  const auto [horizon, start, end, k] = TRY(sender_slot(sender, prepared, offset));
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    if (repeats_earlier_tile(receivers, i)) return std::unexpected(ExchangeError::duplicate_tile());
    TRY(next_receive_address(windows_[i], prepared.receive_rows[i], item_count));
    if (overlaps_last_stream(tiles_[receivers[i]], windows_[i]))
      return std::unexpected(ExchangeError::schedule("overlapping receive streams"));
  }
  for (std::size_t i = 0; i < partners.size(); ++i) {
    const std::uint16_t partner = partners[i];
    if (partner == source || std::ranges::find(receivers, partner) != receivers.end() ||
        repeats_earlier_tile(partners, i))
      return std::unexpected(ExchangeError::duplicate_tile());
    if (partner >= tiles_.size()) return std::unexpected(ExchangeError::tile(partner));
  }

  // Nothing below fails.
  begin_change(sender);
  lower_sender_prefix(sender, k);
  sender.event_horizon = std::max(sender.event_horizon, horizon);
  sender.sender_rows.insert(k, ScheduledSenderRow{prepared.plan->sender_row, start, end});
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const ReceiveRowTiming& row = prepared.receive_rows[i];
    const std::optional<std::uint32_t> next_address = *next_receive_address(windows_[i], row, item_count);
    apply_receive_window(tiles_[receivers[i]], row, windows_[i], next_address, offset);
  }
  for (const std::uint16_t partner : partners) {
    TileProgramSchedule& held = tiles_[partner];
    begin_change(held);
    held.ready_cycle = std::max(held.ready_cycle, sender_horizon);
    held.event_horizon = std::max(held.event_horizon, sender_horizon);
  }
  return {};
}

std::expected<PhasePrograms, ExchangeError> PhaseProgramBuilder::finish() const {
  PhasePrograms result;
  result.programs.reserve(tiles_.size());
  result.tile_event_cycles.reserve(tiles_.size());
  for (std::size_t i = 0; i < tiles_.size(); ++i) {
    const TileProgramSchedule& tile = tiles_[i];
    result.tile_event_cycles.push_back(tile.event_horizon);
    result.event_cycles = std::max(result.event_cycles, tile.event_horizon);
    if (tile.event_horizon == 0) {
      result.programs.emplace_back();
      continue;
    }
    const EncodedSchedule* encoded = TRY(tile.encoded());
    std::vector<std::uint32_t> words(encoded->words.begin(), encoded->words.end());
    TRY(diagnostic::validate_tile_program(i, tile, std::span<const std::uint32_t>(words)));
    result.programs.emplace_back(std::move(words));
  }
  return result;
}

}  // namespace kel_exchange
