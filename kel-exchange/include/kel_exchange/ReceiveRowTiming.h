// Reads a receiver row back into its receive-control events and the cycles of
// its source, release, pointer and paired format. Invariant of a successful
// result: an ordinary row has a source and a teardown; a paired row has a
// format start and end, and its pointer events are of kind PairedPointer.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/ReceiveEvent.h"

namespace kel_exchange {

/// Cycles relative to the row's sync plus the base given.
struct ReceiveRowTiming {
  /// In row order.
  std::vector<ReceiveEvent> events;
  std::optional<std::uint32_t> teardown;
  std::optional<std::uint32_t> source;
  std::optional<std::uint32_t> format_start;
  std::optional<std::uint32_t> format_end;
  std::optional<std::uint32_t> pointer;
  /// Byte address of the pointer event: 4 x its 18-bit word address.
  std::optional<std::uint32_t> pointer_address;
  /// Cycle at which the row's return is reached.
  std::uint32_t horizon = 0;
  /// The row has a paired (64-bit) format.
  bool paired = false;

  friend bool operator==(const ReceiveRowTiming&, const ReceiveRowTiming&) = default;
};

/// Fails with Schedule: "receive row entry", "receive row return",
/// "receive event horizon overflow", "multiple receive sources",
/// "multiple receive teardowns", "multiple receive pointers",
/// "multiple paired format starts", "multiple paired format ends",
/// "paired receive format value", "incomplete paired receive format" or
/// "incomplete ordinary receive mux".
[[nodiscard]] std::expected<ReceiveRowTiming, ExchangeError> receive_row_timing(const ExchangeRow& row,
                                                                              std::uint32_t base);

/// As `receive_row_timing`, written over `out` so that its event storage is
/// reused; on failure `out` holds an unspecified partial result.
[[nodiscard]] std::expected<void, ExchangeError> receive_row_timing_into(const ExchangeRow& row, std::uint32_t base,
                                                                       ReceiveRowTiming& out);

/// The events moved `base` cycles later; Schedule("receive offset overflow")
/// when a cycle would pass 2^32 - 1.
[[nodiscard]] std::expected<std::vector<ReceiveEvent>, ExchangeError> receive_row_timing_from_base(
    std::span<const ReceiveEvent> events, std::uint32_t base);

}  // namespace kel_exchange
