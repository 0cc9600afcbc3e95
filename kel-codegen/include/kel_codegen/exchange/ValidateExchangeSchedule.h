// Independent check of a lowered exchange phase against the snapshot problem
// it was made from: decoded program horizons, the activity records, one send,
// one partner hold and one receive per destination for every transfer, and the
// per-tile bus, SRAM-element and borrowed-transmit rules. Inputs are only read
// and nothing is kept between calls; the first failed check is the result.
#pragma once

#include <cstdint>
#include <expected>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_codegen/exchange/PhysicalExchangePhase.h"

namespace kel_codegen::exchange {

/// Validates `phase` (lowered for `tile_count` tiles) against `problem`.
/// Failures are Invariant texts, except program decoding and R817 partner
/// look-up failures, which are returned as Exchange.
[[nodiscard]] std::expected<void, ExchangeLoweringError> validate_exchange_schedule(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem, const PhysicalExchangePhase& phase);

}  // namespace kel_codegen::exchange
