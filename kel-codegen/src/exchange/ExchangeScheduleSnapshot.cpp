// Snapshot validation: version, tile count, unique phase ids, and the
// conversion of every transfer of every phase.
#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"

#include <fmt/format.h>

#include <set>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_exchange/Topology.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

std::expected<void, ExchangeLoweringError> ExchangeScheduleSnapshot::validate() const {
  if (schema_version != kSnapshotSchemaVersion)
    return std::unexpected(ExchangeLoweringError::invalid_snapshot(
        fmt::format("unsupported schema version {} (expected {})", schema_version, kSnapshotSchemaVersion)));
  if (tile_count < 1 || tile_count > kel_exchange::Topology::kR817Tiles)
    return std::unexpected(
        ExchangeLoweringError::invalid_snapshot(fmt::format("tile count {} is outside the R817 topology", tile_count)));
  std::set<std::uint32_t> seen;
  for (const ExchangeScheduleProblem& problem : phases) {
    if (!seen.insert(problem.phase).second)
      return std::unexpected(ExchangeLoweringError::invalid_snapshot(fmt::format("duplicate phase {}", problem.phase)));
    TRY(check_problem_transfers(problem, tile_count));
  }
  return {};
}

}  // namespace kel_codegen::exchange
