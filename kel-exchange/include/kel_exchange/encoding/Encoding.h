// Turns a tile's sender rows and receive events into its instruction words,
// leaving checkpoints from which a later version of the schedule that shares a
// prefix resumes. Every failure is an `ExchangeError::Schedule`; a failed call
// leaves the words, the cycle and the other updated arguments as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/ScheduledSenderRow.h"
#include "kel_exchange/TileProgramSchedule.h"

namespace kel_exchange::encoding {

/// Where `append_receive_events_record` leaves a checkpoint after each group of
/// receive controls: `sender_rows` is the index of the sender row that follows
/// the run (the row count after the last row), `events_before` the number of
/// events of the schedule encoded before the run.
struct CheckpointSink {
  Chunked<Checkpoint>* checkpoints = nullptr;
  std::size_t sender_rows = 0;
  std::size_t events_before = 0;
};

/// Encodes the whole program of one tile: `horizon` cycles long, ending with
/// the return word. With a base, resumes from the last of the base's
/// checkpoints that the shared prefix still covers; the result is the same as
/// without a base.
[[nodiscard]] std::expected<EncodedSchedule, ExchangeError> build_scheduled_program(
    const Chunked<ScheduledSenderRow>& sender_rows, const Chunked<ReceiveEvent>& receive_events,
    std::uint32_t horizon, const EncodingBase* base);

/// Appends the receive controls `events` (sorted by cycle) issued from `cycle`
/// on, then delays up to `until`; `cycle` ends at `until`. With `align`, a
/// paired carrier send starts at an even word position. A null `sink` keeps
/// no checkpoints.
[[nodiscard]] std::expected<void, ExchangeError> append_receive_events_record(
    Chunked<std::uint32_t>& words, std::uint32_t& cycle, std::span<const ReceiveEvent> events,
    std::uint32_t until, bool align, CheckpointSink* sink);

/// Appends one sender row's payload, starting at `row.start` and ending at
/// `row.end`, with the receive controls `events` (cycles in (start, end])
/// carried by its send words.
[[nodiscard]] std::expected<void, ExchangeError> append_sender_message(Chunked<std::uint32_t>& words,
                                                                       std::uint32_t& cycle,
                                                                       const ScheduledSenderRow& row,
                                                                       std::span<const ReceiveEvent> events);

/// Appends send words for `count` payload items (the first send word from
/// `template_word` when the payload has not `started`, continuation words with
/// `control` otherwise), updating `remaining`, `address_offset` and `started`.
/// With `align`, the word count afterwards is even.
[[nodiscard]] std::expected<void, ExchangeError> emit_sender_words(Chunked<std::uint32_t>& words,
                                                                   std::uint32_t& cycle, std::uint32_t template_word,
                                                                   std::uint8_t control, std::uint32_t& remaining,
                                                                   std::uint32_t& address_offset, bool& started,
                                                                   std::uint32_t count, bool align);

/// Appends Delay words of at most 524288 cycles each for `cycles` cycles.
void append_delay_run(Chunked<std::uint32_t>& words, std::uint32_t cycles);

}  // namespace kel_exchange::encoding
