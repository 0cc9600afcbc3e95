// Word editors applied to route rows and encoded programs: the send control
// and source address of a sender row, and address-blind program comparison.
// A row is left unchanged when an edit fails.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/InstructionWord.h"

namespace kel_exchange {

/// Writes `control` (1 to 7) into every first, continuation and directed
/// paired send word of the row. Fails with Schedule("send control") for a
/// control out of range and Schedule("sender payload") when no word qualifies.
[[nodiscard]] std::expected<void, ExchangeError> set_sender_control(ExchangeRow& row, std::uint8_t control);

/// Writes the byte `address` into the row's first send word, in 8-byte units
/// for a paired send and 4-byte units otherwise. Fails with Address(address)
/// when the row has no first send word, the address is not a multiple of the
/// unit, or it does not fit the 18-bit field.
[[nodiscard]] std::expected<void, ExchangeError> patch_sender_address(ExchangeRow& row, std::uint32_t address);

/// A copy of the words with every source and receive-pointer address cleared,
/// so that programs differing only in addresses compare equal.
std::vector<std::uint32_t> normalized_exchange_address_words(std::span<const std::uint32_t> words);

}  // namespace kel_exchange
