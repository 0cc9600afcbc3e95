// One receive-control event of a tile program: the control word and the cycle
// at which it takes effect. Kinds 0-3 use the Xpic stream, 4-6 the Pic stream.
#pragma once

#include <cstdint>
#include <optional>

#include "kel_exchange/InstructionWord.h"

namespace kel_exchange {

enum class ReceiveEventKind : std::uint8_t {
  Source = 0,
  Teardown = 1,
  PairedSource = 2,
  PairedTeardown = 3,
  PairedPointer = 4,  ///< a Pointer inside a paired row; never recognised from the word alone
  Pointer = 5,
  Format = 6,
};

constexpr bool is_xpic_kind(ReceiveEventKind kind) { return kind <= ReceiveEventKind::PairedTeardown; }
constexpr bool is_pic_kind(ReceiveEventKind kind) { return !is_xpic_kind(kind); }

struct ReceiveEvent {
  /// Cycle at which the control takes effect.
  std::uint32_t cycle = 0;
  /// A Pic or Xpic control word carrying the value; its advance field is not meaningful.
  std::uint32_t word = 0;
  ReceiveEventKind kind = ReceiveEventKind::Source;

  friend bool operator==(const ReceiveEvent&, const ReceiveEvent&) = default;
};

/// Whether two receive controls may take effect on the same cycle: only a
/// pointer beside a source selection or a release can be issued together
/// (by one paired carrier send).
constexpr bool may_share_receive_cycle(ReceiveEventKind a, ReceiveEventKind b) {
  const auto mux = [](ReceiveEventKind k) { return k == ReceiveEventKind::Source || k == ReceiveEventKind::Teardown; };
  return (a == ReceiveEventKind::Pointer && mux(b)) || (b == ReceiveEventKind::Pointer && mux(a));
}

/// The kind of a receive-control word: Xpic words by their paired flag and the
/// release source, Pic words by their format marker. Empty for other words.
constexpr std::optional<ReceiveEventKind> receive_event_kind(std::uint32_t word) {
  if (is_xpic_word(word)) {
    const bool release = xpic_is_release(word);
    if (xpic_is_paired(word)) return release ? ReceiveEventKind::PairedTeardown : ReceiveEventKind::PairedSource;
    return release ? ReceiveEventKind::Teardown : ReceiveEventKind::Source;
  }
  if (is_pic_word(word)) return pic_is_format(word) ? ReceiveEventKind::Format : ReceiveEventKind::Pointer;
  return std::nullopt;
}

/// Format values of a Pic format word: 1 or 2 start a paired format, 0 ends it.
constexpr bool is_format_start_value(std::uint32_t value) { return value == 1 || value == 2; }
constexpr bool is_format_end_value(std::uint32_t value) { return value == 0; }

}  // namespace kel_exchange
