// A receiver row's timing placed at an absolute offset and merged with what
// the tile's previous receive stream left open: a continued paired format
// drops its start event, a reused pointer drops its pointer event, and the
// release moves to the end of the source interval. Invariant of a result: the
// events are sorted by cycle and no two share a cycle unless they are a
// Pointer with a Source or Teardown.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/ReceiveRowTiming.h"
#include "kel_exchange/TileProgramSchedule.h"

namespace kel_exchange {

/// All cycles absolute, counted from the phase-entry sync.
struct ScheduledReceiverWindow {
  std::vector<ReceiveEvent> events;
  std::optional<std::uint32_t> pointer_address;
  /// Offset plus the row's source, or its format start when it has no source.
  std::uint32_t source_cycle = 0;
  std::uint32_t source_end = 0;  ///< source_cycle + item count
  std::uint32_t pointer_cycle = 0;
  std::uint32_t payload_end = 0;  ///< pointer_cycle + item count
  std::uint32_t horizon = 0;
  /// The row's paired format continues the one the previous stream left open.
  bool continues_format = false;

  friend bool operator==(const ScheduledReceiverWindow&, const ScheduledReceiverWindow&) = default;
};

/// Fails with Schedule: "receive offset overflow", "receive source timing",
/// "receive source timing overflow", "receive pointer event",
/// "receive payload timing overflow" or
/// "incompatible simultaneous receive controls".
[[nodiscard]] std::expected<ScheduledReceiverWindow, ExchangeError> scheduled_receive_window(
    const ReceiveRowTiming& row, std::uint32_t offset, std::uint32_t item_count,
    const std::optional<ReceiveState>& previous);

/// As `scheduled_receive_window`, written over `out` so that its event storage
/// is reused across calls; on failure `out` is left unspecified.
[[nodiscard]] std::expected<void, ExchangeError> scheduled_receive_window_into(
    const ReceiveRowTiming& row, std::uint32_t offset, std::uint32_t item_count,
    const std::optional<ReceiveState>& previous, ScheduledReceiverWindow& out);

}  // namespace kel_exchange
