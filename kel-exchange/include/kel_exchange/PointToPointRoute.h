// The rows of a transfer to a single receiver: a complete sender row and a
// receiver row whose source tile is patched in once the caller knows it.
// Invariant: a template's words end with a return before index 8.
#pragma once

#include <array>
#include <cstdint>
#include <expected>

#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/InstructionWord.h"

namespace kel_exchange {

/// A receiver row missing only its source tile.
struct PointReceiverTemplate {
  /// Word whose low 13 bits take the source tile.
  std::uint32_t patch_index = 1;
  std::array<std::uint32_t, 8> words{};

  friend bool operator==(const PointReceiverTemplate&, const PointReceiverTemplate&) = default;
};

struct PointToPointRoute {
  ExchangeRow sender_row{};
  PointReceiverTemplate receiver_template;

  friend bool operator==(const PointToPointRoute&, const PointToPointRoute&) = default;
};

/// The template's words with `source` written into bits 0-12 of the patch
/// word, plus a ninth word 0. Fails with Schedule("point receiver patch index")
/// when the patch index is not below 8 or the source does not fit 13 bits.
[[nodiscard]] std::expected<ExchangeRow, ExchangeError> finalize_point_receiver(const PointReceiverTemplate& receiver,
                                                                              std::uint16_t source);

}  // namespace kel_exchange
