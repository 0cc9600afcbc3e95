// Checks an encoded tile program against the schedule it was encoded from:
// the same length in cycles, no unknown word, every receive control issued at
// its scheduled cycle, each sender row's payload issued exactly over the row's
// interval, and nothing sent outside the rows. The schedule is only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/TileProgramSchedule.h"
#include "kel_exchange/diagnostic/PlanProgramDiagnostic.h"

namespace kel_exchange::diagnostic {

/// Decodes `words` (no base address) and checks them against `schedule`,
/// returning the decoding. `tile` only labels the debug event logged when the
/// receive controls differ. Errors: those of `diagnose_plan_program`, then
/// Schedule with "encoded tile horizon mismatch", "unknown encoded exchange
/// instruction", "encoded incoming-control mismatch", "encoded sender interval
/// mismatch" or "unexpected encoded outgoing interval", checked in that order.
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(
    std::size_t tile, const TileProgramSchedule& schedule, std::span<const std::uint32_t> words);
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(
    std::size_t tile, const TileProgramSchedule& schedule, const Chunked<std::uint32_t>& words);

}  // namespace kel_exchange::diagnostic
