// The direct lowering of a phase and the assembly of its result.
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"

#include <fmt/format.h>

#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

std::expected<kel_exchange::Topology, ExchangeLoweringError> phase_topology(std::uint16_t tile_count) {
  if (tile_count == 0 || tile_count > kel_exchange::Topology::kR817Tiles)
    return std::unexpected(
        ExchangeLoweringError::invalid_snapshot(fmt::format("tile count {} is outside the R817 topology", tile_count)));
  return TRY(kel_exchange::Topology::r817_prefix(tile_count));
}

std::expected<ExchangeRun, ExchangeLoweringError> schedule_exchange_problem(std::uint16_t tile_count,
                                                                           const ExchangeScheduleProblem& problem) {
  const kel_exchange::Topology topology = TRY(phase_topology(tile_count));
  const std::vector<PendingTransfer> pending = TRY(pending_from_problem(problem, tile_count));
  ReceiveConfiguration config = TRY(receive_configuration(pending, tile_count));
  OptimizedSchedule optimized = TRY(
      optimize_pending_schedule(topology, pending, config.receive_bases, config.receive_counts, tile_count));
  return finish_exchange_run(tile_count, problem.phase, std::move(config.receive_bases), std::move(optimized));
}

std::expected<ExchangeRun, ExchangeLoweringError> finish_exchange_run(std::uint16_t tile_count, std::uint32_t phase,
                                                                     std::vector<std::uint32_t> receive_bases,
                                                                     OptimizedSchedule optimized) {
  kel_exchange::PhasePrograms programs =
      optimized.programs ? std::move(*optimized.programs) : TRY(optimized.schedule.builder.finish());
  if (programs.event_cycles != optimized.schedule.horizon)
    return std::unexpected(ExchangeLoweringError::invariant(
        fmt::format("phase {} row horizon {} differs from scheduled horizon {}", phase, programs.event_cycles,
                    optimized.schedule.horizon)));

  ExchangeRun run;
  PhysicalExchangePhase& physical = run.physical;
  physical.active.resize(tile_count);
  physical.programs.resize(tile_count);
  for (std::size_t t = 0; t < tile_count && t < programs.programs.size(); ++t) {
    physical.active[t] = programs.programs[t].has_value();
    physical.programs[t] = programs.programs[t] ? std::move(*programs.programs[t])
                                                : std::vector<std::uint32_t>{kel_exchange::RETURN_WORD};
  }
  physical.incoming_bases = std::move(receive_bases);
  physical.tile_horizons = std::move(programs.tile_event_cycles);
  physical.activities = std::move(optimized.schedule.activities);
  physical.repeat_patches.resize(tile_count);
  physical.phase = phase;
  physical.horizon = optimized.schedule.horizon;

  run.neighborhood_improvements = optimized.neighborhood_improvements;
  run.initial_horizon = optimized.initial_horizon;
  run.endpoint_lower_bound = optimized.endpoint_lower_bound;
  run.reused = std::string_view(optimized.strategy) == kStrategyReused;
  return run;
}

}  // namespace kel_codegen::exchange
