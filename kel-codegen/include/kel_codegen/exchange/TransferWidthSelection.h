// Width selection: which ordinary transfers have a paired 64-bit form, and the
// comparison of the phase scheduled with and without those forms. A paired
// form keeps the transfer's payload, value and source addresses and lists its
// destination pairs in ascending pair identifier.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/ScheduleOptimizer.h"
#include "kel_exchange/Topology.h"

namespace kel_codegen::exchange {

/// One entry per transfer: its paired form, or absent when it has none. Fails
/// only when a structurally convertible source has no partner tile or a
/// destination is outside the topology.
[[nodiscard]] std::expected<std::vector<std::optional<PendingTransfer>>, ExchangeLoweringError>
paired_transfer_alternatives(std::span<const PendingTransfer> pending, const kel_exchange::Topology& topology,
                             std::uint16_t tile_count);

/// Schedules the phase as given and, when some transfer converts, with every
/// convertible transfer paired; keeps the strictly shorter horizon (ordinary on
/// a tie) or whichever of the two encodes.
[[nodiscard]] std::expected<ScheduledPending, ExchangeLoweringError> select_transfer_widths(
    std::uint32_t phase, const kel_exchange::Topology& topology, std::vector<PendingTransfer> pending,
    std::uint16_t tile_count);

}  // namespace kel_codegen::exchange
