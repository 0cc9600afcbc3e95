// Per-phase recipes of width-selecting schedules, replayed when a phase comes
// back with the same shape (typically after its buffers moved) and accepted
// only when the programs match the remembered ones apart from addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/PhysicalExchangePhase.h"
#include "kel_codegen/exchange/ScheduleOptimizer.h"
#include "kel_codegen/exchange/reuse/ScheduleRecipe.h"
#include "kel_exchange/Topology.h"

namespace kel_codegen::exchange::reuse {

using ExchangePhaseId = std::uint32_t;

/// A phase as the cache scheduled it: the transfers carry the chosen widths.
struct CachedExchangeRun {
  ExchangeScheduleProblem problem;
  ExchangeRun run;
};

class ExchangeScheduleCache {
 public:
  /// Width selection with recipe reuse, then the phase's programs.
  [[nodiscard]] std::expected<CachedExchangeRun, ExchangeLoweringError> schedule_problem(
      std::uint16_t tile_count, const ExchangeScheduleProblem& problem);

  /// Replays the phase's recipe when it still fits, else selects widths afresh
  /// and remembers the result.
  [[nodiscard]] std::expected<ScheduledPending, ExchangeLoweringError> select(ExchangePhaseId phase,
                                                                              const kel_exchange::Topology& topology,
                                                                              std::vector<PendingTransfer> pending,
                                                                              std::uint16_t tile_count);

  /// Drops every recipe.
  void clear() { recipes_.clear(); }
  std::size_t size() const { return recipes_.size(); }
  /// The phase's recipe, or null.
  std::shared_ptr<const ScheduleRecipe> recipe(ExchangePhaseId phase) const;

 private:
  std::map<ExchangePhaseId, std::shared_ptr<const ScheduleRecipe>> recipes_;
};

}  // namespace kel_codegen::exchange::reuse
