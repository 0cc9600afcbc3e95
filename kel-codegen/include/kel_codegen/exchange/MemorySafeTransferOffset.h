// The memory hazard rule of placement: how far a transfer found to fit at an
// offset must move so that its source reads miss the source tile's earlier
// writes and its destination writes miss each destination's earlier reads.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/hazards/MemoryHistory.h"
#include "kel_exchange/PhaseProgramBuilder.h"

namespace kel_codegen::exchange {

/// `offset` itself when nothing conflicts, else `offset` plus the largest
/// delay any access asks for; Overflow when that sum leaves u32.
[[nodiscard]] std::expected<std::uint32_t, ExchangeLoweringError> memory_safe_transfer_offset(
    std::span<const hazards::TileMemorySchedule> memory, const PendingTransfer& transfer, std::uint32_t offset,
    const kel_exchange::PhaseTransferTiming& timing);

/// Records the placed transfer's source read and destination writes.
void record_transfer_memory(std::span<hazards::TileMemorySchedule> memory, const PendingTransfer& transfer,
                            const kel_exchange::PhaseTransferTiming& timing);

}  // namespace kel_codegen::exchange
