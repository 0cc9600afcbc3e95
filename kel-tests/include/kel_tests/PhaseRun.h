// The benchmark loop of one selected phase: optional relocation, warm-up,
// timed runs checked against the first, the optional tile dump and the phase
// line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <expected>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_tests/Arguments.h"
#include "kel_tests/ErrorChain.h"

namespace kel_tests {

/// A copy of `problem` with every source and destination address moved by
/// `bytes`; fails with "relocated address overflow" past u32.
[[nodiscard]] std::expected<kel_codegen::exchange::ExchangeScheduleProblem, ErrorChain> relocate_problem(
    const kel_codegen::exchange::ExchangeScheduleProblem& problem, std::uint32_t bytes);

/// Runs and reports one phase on `out`.
[[nodiscard]] std::expected<void, ErrorChain> run_phase(const Arguments& args, std::uint16_t tile_count,
                                                        const kel_codegen::exchange::ExchangeScheduleProblem& problem,
                                                        std::FILE* out);

}  // namespace kel_tests
