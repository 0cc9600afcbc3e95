// One tile's exchange program before encoding: sender rows ordered by start
// and non-overlapping, receive events ordered by cycle, and the program's
// length in cycles. The encoding is cached once per version and shared by
// clones; an edited version keeps the encoding it came from as its base.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/ScheduledSenderRow.h"

namespace kel_exchange {

/// A point at which encoding may resume.
struct Checkpoint {
  /// 1 when this follows a paired send emitted for two coincident receive
  /// events, whose length depended on `limit`.
  std::uint32_t after_pair = 0;
  std::uint32_t limit = 0;
  std::size_t sender_rows = 0;     ///< sender rows fully encoded before this point
  std::size_t receive_events = 0;  ///< receive events encoded before this point
  std::size_t word_count = 0;      ///< words before this point
  std::uint32_t cycle = 0;         ///< current cycle at this point

  friend bool operator==(const Checkpoint&, const Checkpoint&) = default;
};

/// An encoded tile program; `words` always ends with the return word.
struct EncodedSchedule {
  Chunked<Checkpoint> checkpoints;
  Chunked<std::uint32_t> words;
};

/// The encoding of an earlier version of a schedule, and how many leading
/// sender rows and receive events both versions share.
struct EncodingBase {
  std::shared_ptr<const EncodedSchedule> encoded;
  std::size_t sender_prefix = 0;
  std::size_t receive_prefix = 0;
};

/// What the tile's last receive stream left behind.
struct ReceiveState {
  std::optional<std::uint32_t> format;      ///< paired format value of the last stream
  std::optional<std::uint32_t> format_end;  ///< absolute cycle of its format end event
  std::optional<std::uint32_t> next_address;
  std::uint32_t source_end = 0;
  std::uint32_t payload_end = 0;
  bool paired = false;

  friend bool operator==(const ReceiveState&, const ReceiveState&) = default;
};

class TileProgramSchedule {
 public:
  Chunked<ScheduledSenderRow> sender_rows;
  Chunked<ReceiveEvent> receive_events;
  std::optional<EncodingBase> base;
  std::optional<ReceiveState> receive_state;
  /// The tile may not start a send before this cycle.
  std::uint32_t ready_cycle = 0;
  /// Last cycle at which any exchange activity of the tile ends; the
  /// program's length in cycles.
  std::uint32_t event_horizon = 0;

  /// The encoding of this version, built on the first successful call and
  /// returned from the cache afterwards. A failure caches nothing.
  [[nodiscard]] std::expected<const EncodedSchedule*, ExchangeError> encoded() const;
  /// The cached encoding, or null before the first successful `encoded`.
  const std::shared_ptr<const EncodedSchedule>& cached_encoding() const { return encoded_; }
  /// Forgets the cached encoding; call after editing the schedule.
  void clear_encoding() { encoded_.reset(); }

 private:
  mutable std::shared_ptr<const EncodedSchedule> encoded_;
};

}  // namespace kel_exchange
