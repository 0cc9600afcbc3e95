// Strict UTF-8 sequence recognition shared by the filter parser and the JSON
// writer: no overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string_view>

namespace kel_runtime::utf8 {

/// Length of the well-formed sequence starting at `text[i]`, or 0 when the
/// bytes there do not start one. Requires i < text.size().
inline std::size_t sequence_length(std::string_view text, std::size_t i) noexcept {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  const auto b1 = static_cast<unsigned char>(text[i + 1]);
  if (b1 < low || b1 > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return length;
}

inline bool is_valid(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = sequence_length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace kel_runtime::utf8
