// Lowering of one snapshot phase into its tile programs and activities.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_codegen/exchange/PhysicalExchangePhase.h"
#include "kel_codegen/exchange/ScheduleOptimizer.h"
#include "kel_exchange/Topology.h"

namespace kel_codegen::exchange {

/// The topology of a phase: the first `tile_count` tiles of the R817 map.
[[nodiscard]] std::expected<kel_exchange::Topology, ExchangeLoweringError> phase_topology(std::uint16_t tile_count);

/// Schedules, encodes and assembles one phase; stateless.
[[nodiscard]] std::expected<ExchangeRun, ExchangeLoweringError> schedule_exchange_problem(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem);

/// Finishes the optimised schedule's programs and assembles the run.
[[nodiscard]] std::expected<ExchangeRun, ExchangeLoweringError> finish_exchange_run(
    std::uint16_t tile_count, std::uint32_t phase, std::vector<std::uint32_t> receive_bases,
    OptimizedSchedule optimized);

}  // namespace kel_codegen::exchange
