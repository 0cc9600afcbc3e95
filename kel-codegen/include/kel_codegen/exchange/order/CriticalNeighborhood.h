// Critical-neighbourhood repair: a new transfer order for a phase that attacks
// the current schedule's critical path by re-running a list scheduler with a
// cheap tile timing model and a priority that keeps the coarse shape of the
// current order. Every order it returns contains each transfer once and
// respects every precedence edge of the problem.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/SchedulingProblem.h"

namespace kel_codegen::exchange::order {

/// Queue pops the broader repair may spend on `transfers` transfers:
/// max(65536, 8 × transfers), saturating.
std::size_t repair_visit_budget(std::size_t transfers);

/// A repaired order of `problem`'s transfers, or a copy of `current.order`
/// when there is nothing to repair or the timing model overflows. The local
/// repair (`local` true) orders primarily by block of the current order and
/// always returns an order; the broader repair orders primarily by estimated
/// start and returns nothing once it exceeds its visit budget.
[[nodiscard]] std::optional<std::vector<std::size_t>> critical_neighborhood_order(const SchedulingProblem& problem,
                                                                                  const MaterializedSchedule& current,
                                                                                  bool local);

}  // namespace kel_codegen::exchange::order
