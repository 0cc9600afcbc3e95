// Internal: the part of an ordinary receiver row that follows its source
// control, shared by point-to-point and multicast routes.
#pragma once

#include <cstdint>
#include <span>

#include "kel_exchange/InstructionWord.h"

namespace kel_exchange::detail {

/// Writes the release, the pointer (value `pointer_value`), the closing delay
/// and the return into out[0..4) for `count` words (1 to 4148) received on
/// fabric row `row` (0 to 31). Up to 51 words the release precedes the
/// pointer; from 52 on it follows it, since the release advance counts from
/// the pointer.
inline void write_receiver_row_tail(std::span<std::uint32_t, 4> out, std::uint32_t count, std::uint32_t row,
                                    std::uint32_t pointer_value) {
  if (count <= 51) {
    out[0] = xpic_word(kXpicNoSource, count);
    out[1] = pic_word(pointer_value, 2 * row + 52 - count);
    out[2] = delay_word(count + 5);
  } else {
    out[0] = pic_word(pointer_value, 2 * row + 52);
    out[1] = xpic_word(kXpicNoSource, count == 52 ? 1 : count - 52);
    out[2] = delay_word(57);
  }
  out[3] = RETURN_WORD;
}

}  // namespace kel_exchange::detail
