// The exchange fabric's 32-bit instruction words: classes, bit fields,
// constructors and the cycles a word lasts. The class ranges are disjoint and
// are tried in the order of `InstructionClass`; constructors stop the program
// when a field does not fit, since callers compute fields already in range.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kel_runtime/Invariant.h"

namespace kel_exchange {

/// A route row: a sync, its instruction words, a return, zero padding.
inline constexpr std::size_t kRowWords = 9;
using ExchangeRow = std::array<std::uint32_t, kRowWords>;

inline constexpr std::uint32_t RETURN_WORD = 0x43A00000;
/// Sync identifier that every route row starts with.
inline constexpr std::uint8_t kRowSyncId = 3;
inline constexpr std::uint32_t ROW_SYNC_WORD = 0x41800003;

inline constexpr std::uint32_t kMaxDelayCycles = 524288;
inline constexpr std::uint32_t kMaxPicAdvance = 128;
inline constexpr std::uint32_t kMaxXpicAdvance = 4096;
/// Items of a first, single-control or paired send.
inline constexpr std::uint32_t kMaxSendItems = 64;
/// Items of a continuation send.
inline constexpr std::uint32_t kMaxContinuationItems = 4096;
/// Largest value of a send's 18-bit source address field.
inline constexpr std::uint32_t kMaxSendAddressField = 0x3FFFF;

/// Xpic source value meaning "no source": releases the multiplexer.
inline constexpr std::uint32_t kXpicNoSource = 0x640;
/// Xpic flag of the controls of a paired format.
inline constexpr std::uint32_t kXpicPairedFlag = 0x2000;
/// Pic flag marking a format value instead of a pointer address.
inline constexpr std::uint32_t kPicFormatFlag = 0x40000;

/// Send control bits 0-1: direction mask; bit 2: 64-bit paired send.
inline constexpr std::uint8_t kSendControlPaired = 4;

/// Word classes in recognition order.
enum class InstructionClass : std::uint8_t {
  Return,
  Delay,
  Xpic,
  Pic,
  PairedSend,        ///< first of two words; encoding `PicPair`
  ControlSend,       ///< single-control send; encoding `Pic`
  FirstSend,         ///< encoding `Explicit`
  ContinuationSend,  ///< encoding `Offset`
  Sync,
  Other,
};

// Recognisers.
constexpr bool is_return_word(std::uint32_t w) { return w == RETURN_WORD; }
constexpr bool is_delay_word(std::uint32_t w) { return w >= 0x40A00000u && w <= 0x40A7FFFFu; }
constexpr bool is_xpic_word(std::uint32_t w) { return w >= 0x64000000u && w <= 0x67FFFFFFu; }
constexpr bool is_pic_word(std::uint32_t w) { return w >= 0x60000000u && w <= 0x63FFFFFFu; }
constexpr bool is_paired_send_word(std::uint32_t w) { return w >= 0xF0000000u; }
constexpr bool is_control_send_word(std::uint32_t w) { return (w & 0xF8100000u) == 0x70100000u; }
constexpr bool is_first_send_word(std::uint32_t w) { return w >= 0x78000000u && w <= 0x7FFFFFFFu; }
constexpr bool is_continuation_send_word(std::uint32_t w) { return (w & 0xF8100000u) == 0x70000000u; }
constexpr bool is_sync_word(std::uint32_t w) { return w >= 0x41800000u && w <= 0x418000FFu; }

constexpr InstructionClass classify_instruction(std::uint32_t w) {
  if (is_return_word(w)) return InstructionClass::Return;
  if (is_delay_word(w)) return InstructionClass::Delay;
  if (is_xpic_word(w)) return InstructionClass::Xpic;
  if (is_pic_word(w)) return InstructionClass::Pic;
  if (is_paired_send_word(w)) return InstructionClass::PairedSend;
  if (is_control_send_word(w)) return InstructionClass::ControlSend;
  if (is_first_send_word(w)) return InstructionClass::FirstSend;
  if (is_continuation_send_word(w)) return InstructionClass::ContinuationSend;
  if (is_sync_word(w)) return InstructionClass::Sync;
  return InstructionClass::Other;
}

// Field extractors; each assumes a word of the class it names.
constexpr std::uint32_t delay_cycles(std::uint32_t w) { return (w & 0x7FFFFu) + 1; }
constexpr std::uint8_t sync_id(std::uint32_t w) { return static_cast<std::uint8_t>(w & 0xFFu); }

/// The 14-bit Xpic value: source tile (bits 0-12) and paired flag (bit 13).
constexpr std::uint32_t xpic_value(std::uint32_t w) { return w & 0x3FFFu; }
constexpr std::uint32_t xpic_source(std::uint32_t w) { return w & 0x1FFFu; }
constexpr bool xpic_is_paired(std::uint32_t w) { return (w & kXpicPairedFlag) != 0; }
constexpr bool xpic_is_release(std::uint32_t w) { return xpic_source(w) == kXpicNoSource; }
constexpr std::uint32_t xpic_advance(std::uint32_t w) { return ((w >> 14) & 0xFFFu) + 1; }

/// The 19-bit Pic value: address or format value (bits 0-17), format marker (bit 18).
constexpr std::uint32_t pic_value(std::uint32_t w) { return w & 0x7FFFFu; }
/// Pointer word address, or the format value when the marker is set.
constexpr std::uint32_t pic_field(std::uint32_t w) { return w & 0x3FFFFu; }
constexpr bool pic_is_format(std::uint32_t w) { return (w & kPicFormatFlag) != 0; }
constexpr std::uint32_t pic_advance(std::uint32_t w) { return ((w >> 19) & 0x7Fu) + 1; }

/// Send control of a first, continuation or paired send word.
constexpr std::uint8_t send_control(std::uint32_t w) { return static_cast<std::uint8_t>(w & 7u); }
/// Source address field (bits 3-20) of a first or paired send word.
constexpr std::uint32_t send_address_field(std::uint32_t w) { return (w >> 3) & 0x3FFFFu; }
/// Items of a first, single-control or paired send word.
constexpr std::uint32_t send_items(std::uint32_t w) { return ((w >> 21) & 0x3Fu) + 1; }
/// Items of a continuation send word: 1 to 4096.
constexpr std::uint32_t continuation_items(std::uint32_t w) {
  return ((w >> 21) & 0x3Fu) + 64 * ((w >> 14) & 0x3Fu) + 1;
}

/// Whether a single-control send carries a Pic (else an Xpic) control.
constexpr bool control_send_is_pic(std::uint32_t w) { return (w & 0x80000u) != 0; }
/// The control value of a single-control send: 19-bit Pic or 14-bit Xpic value.
constexpr std::uint32_t control_send_value(std::uint32_t w) {
  return control_send_is_pic(w) ? (w & 0x7FFFFu) : (((w >> 18) & 1u) << 13) | (w & 0x1FFFu);
}

/// The 14-bit Xpic value carried by the second word of a paired send.
constexpr std::uint32_t paired_send_xpic_value(std::uint32_t w2) { return w2 >> 18; }
/// The 19-bit Pic value carried by a paired send (bit 18 lives in bit 27 of the first word).
constexpr std::uint32_t paired_send_pic_value(std::uint32_t w1, std::uint32_t w2) {
  return (w2 & 0x3FFFFu) | (((w1 >> 27) & 1u) << 18);
}

// Constructors.
constexpr std::uint32_t delay_word(std::uint32_t cycles) {
  if (cycles < 1 || cycles > kMaxDelayCycles) kel_runtime::invariant_failed("delay word length");
  return 0x40A00000u | (cycles - 1);
}

constexpr std::uint32_t sync_word(std::uint8_t id) { return 0x41800000u | id; }

/// Xpic control: 14-bit value taking effect `advance` (1 to 4096) cycles on.
constexpr std::uint32_t xpic_word(std::uint32_t value, std::uint32_t advance) {
  if (value > 0x3FFFu) kel_runtime::invariant_failed("xpic word value");
  if (advance < 1 || advance > kMaxXpicAdvance) kel_runtime::invariant_failed("xpic word advance");
  return 0x64000000u | ((advance - 1) << 14) | value;
}

/// Pic control: 19-bit value taking effect `advance` (1 to 128) cycles on.
constexpr std::uint32_t pic_word(std::uint32_t value, std::uint32_t advance) {
  if (value > 0x7FFFFu) kel_runtime::invariant_failed("pic word value");
  if (advance < 1 || advance > kMaxPicAdvance) kel_runtime::invariant_failed("pic word advance");
  return 0x60000000u | ((advance - 1) << 19) | value;
}

/// First send of 1 to 64 items from the 18-bit address field.
constexpr std::uint32_t first_send_word(std::uint32_t items, std::uint8_t control, std::uint32_t address_field = 0) {
  if (items < 1 || items > kMaxSendItems) kel_runtime::invariant_failed("first send word items");
  if (control > 7) kel_runtime::invariant_failed("send word control");
  if (address_field > kMaxSendAddressField) kel_runtime::invariant_failed("send word address");
  return 0x78000000u | ((items - 1) << 21) | (address_field << 3) | control;
}

/// Continuation send of 1 to 4096 items; its operand is left 0.
constexpr std::uint32_t continuation_send_word(std::uint32_t items, std::uint8_t control) {
  if (items < 1 || items > kMaxContinuationItems) kel_runtime::invariant_failed("continuation send word items");
  if (control > 7) kel_runtime::invariant_failed("send word control");
  const std::uint32_t n = items - 1;
  return 0x70000000u | ((n % 64) << 21) | ((n / 64) << 14) | control;
}

/// Single-control send of 1 to 64 items carrying the value of a Pic or Xpic
/// control word.
constexpr std::uint32_t control_send_word(std::uint32_t items, std::uint32_t control_word) {
  if (items < 1 || items > kMaxSendItems) kel_runtime::invariant_failed("control send word items");
  const std::uint32_t base = 0x70100000u | ((items - 1) << 21);
  if (is_pic_word(control_word)) return base | 0x80000u | (control_word & 0x7FFFFu);
  if (!is_xpic_word(control_word)) kel_runtime::invariant_failed("control send word carries a receive control");
  return base | (((control_word >> 13) & 1u) << 18) | (control_word & 0x1FFFu);
}

/// Paired send of 1 to 64 items carrying one Pic and one Xpic control (words
/// or bare values; only their value bits are used). With control 0 and
/// address 0 it is a pure carrier for the two controls.
constexpr std::array<std::uint32_t, 2> paired_send_words(std::uint32_t items, std::uint8_t control,
                                                         std::uint32_t address_field, std::uint32_t pic,
                                                         std::uint32_t xpic) {
  if (items < 1 || items > kMaxSendItems) kel_runtime::invariant_failed("paired send word items");
  if (control > 7) kel_runtime::invariant_failed("send word control");
  if (address_field > kMaxSendAddressField) kel_runtime::invariant_failed("send word address");
  const std::uint32_t w1 =
      0xF0000000u | ((items - 1) << 21) | (((pic >> 18) & 1u) << 27) | (address_field << 3) | control;
  const std::uint32_t w2 = (pic & 0x3FFFFu) | ((xpic & 0x3FFFu) << 18);
  return {w1, w2};
}

/// Cycles a word lasts when a row or program is walked. For a paired send
/// this is the duration of the whole two-word pair, given its first word.
constexpr std::uint32_t word_duration(std::uint32_t w) {
  switch (classify_instruction(w)) {
    case InstructionClass::Delay:
      return delay_cycles(w);
    case InstructionClass::Pic:
      return pic_advance(w);
    case InstructionClass::Xpic:
      return xpic_advance(w);
    case InstructionClass::FirstSend:
    case InstructionClass::ControlSend:
    case InstructionClass::PairedSend:
      return send_items(w);
    case InstructionClass::ContinuationSend:
      return continuation_items(w);
    case InstructionClass::Return:
    case InstructionClass::Sync:
    case InstructionClass::Other:
      return 0;
  }
  return 0;
}

/// Words an instruction occupies: 2 for a paired send, else 1.
constexpr std::uint32_t instruction_length(std::uint32_t w) { return is_paired_send_word(w) ? 2 : 1; }

}  // namespace kel_exchange
