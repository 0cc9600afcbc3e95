// Editors of sender rows and the address normalisation of encoded programs.
#include "kel_exchange/SenderRowEditing.h"

namespace kel_exchange {

namespace {

// Words whose send control `set_sender_control` rewrites; a paired send with
// no direction only carries controls and keeps its control.
bool takes_send_control(std::uint32_t w) {
  return (w & 0xF8000000u) == 0x78000000u || (w & 0xF8100000u) == 0x70000000u || (w >= 0xF0000000u && (w & 3u) != 0);
}

constexpr std::uint32_t kSendAddressBits = 0x1FFFF8u;    // bits 3-20
constexpr std::uint32_t kPointerAddressBits = 0x3FFFFu;  // bits 0-17

}  // namespace

std::expected<void, ExchangeError> set_sender_control(ExchangeRow& row, std::uint8_t control) {
  if (control < 1 || control > 7) return std::unexpected(ExchangeError::schedule("send control"));
  bool any = false;
  for (std::uint32_t w : row) any = any || takes_send_control(w);
  if (!any) return std::unexpected(ExchangeError::schedule("sender payload"));
  for (std::uint32_t& w : row)
    if (takes_send_control(w)) w = (w & ~7u) | control;
  return {};
}

std::expected<void, ExchangeError> patch_sender_address(ExchangeRow& row, std::uint32_t address) {
  for (std::uint32_t& w : row) {
    if ((w & 0xF8000000u) != 0x78000000u) continue;
    const std::uint32_t unit = (w & kSendControlPaired) != 0 ? 8 : 4;
    if (address % unit != 0 || address / unit > kMaxSendAddressField)
      return std::unexpected(ExchangeError::address(address));
    w = (w & 0xFFE00007u) | ((address / unit) << 3);
    return {};
  }
  return std::unexpected(ExchangeError::address(address));
}

std::vector<std::uint32_t> normalized_exchange_address_words(std::span<const std::uint32_t> words) {
  std::vector<std::uint32_t> out(words.begin(), words.end());
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::uint32_t& w = out[i];
    if (w >= 0xF0000000u) {
      if ((w & 7u) != 0) w &= ~kSendAddressBits;
      // Bit 27 clear: the carried Pic control is a pointer, its address in the second word.
      if ((w & (1u << 27)) == 0 && i + 1 < out.size()) out[i + 1] &= ~kPointerAddressBits;
      ++i;
    } else if (w >= 0x78000000u && w <= 0x7FFFFFFFu) {
      w &= 0x7FE00007u;  // keep the control (bits 0-2) and the size (bits 21-30)
    } else if ((w & 0xFC040000u) == 0x60000000u || (w & 0xF81C0000u) == 0x70180000u) {
      w &= ~kPointerAddressBits;  // a pointer control, alone or riding on a send
    }
  }
  return out;
}

}  // namespace kel_exchange
