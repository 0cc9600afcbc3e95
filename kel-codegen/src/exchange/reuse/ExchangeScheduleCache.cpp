// The recipe cache: replay when the recipe still fits, otherwise the full
// width selection, whose result becomes the phase's new recipe.
#include "kel_codegen/exchange/reuse/ExchangeScheduleCache.h"

#include <algorithm>

#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/TransferWidthSelection.h"
#include "kel_runtime/Log.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange::reuse {

namespace {

constexpr const char* kTarget = "kel_codegen::exchange::reuse";

ExchangeScheduleTransfer to_record(const PendingTransfer& transfer) {
  ExchangeScheduleTransfer record;
  record.source = transfer.source;
  record.source_addresses = transfer.source_addresses;
  record.destinations.reserve(transfer.destinations.size());
  for (const PendingDestination& d : transfer.destinations) record.destinations.push_back({d.tile, d.address});
  record.words = transfer.words;
  record.width = transfer.width;
  return record;
}

}  // namespace

std::shared_ptr<const ScheduleRecipe> ExchangeScheduleCache::recipe(ExchangePhaseId phase) const {
  const auto found = recipes_.find(phase);
  return found == recipes_.end() ? nullptr : found->second;
}

std::expected<CachedExchangeRun, ExchangeLoweringError> ExchangeScheduleCache::schedule_problem(
    std::uint16_t tile_count, const ExchangeScheduleProblem& problem) {
  const kel_exchange::Topology topology = TRY(phase_topology(tile_count));
  std::vector<PendingTransfer> pending = TRY(pending_from_problem(problem, tile_count));
  if (std::ranges::any_of(pending, [](const PendingTransfer& t) { return t.width == ExchangeItemWidth::Paired64; }))
    return std::unexpected(
        ExchangeLoweringError::invalid_snapshot("width selection requires an ordinary-transfer capture"));

  ScheduledPending scheduled = TRY(select(problem.phase, topology, std::move(pending), tile_count));

  CachedExchangeRun result;
  result.problem.phase = problem.phase;
  result.problem.transfers.reserve(scheduled.pending.size());
  for (const PendingTransfer& transfer : scheduled.pending) result.problem.transfers.push_back(to_record(transfer));
  result.run = TRY(finish_exchange_run(tile_count, problem.phase, std::move(scheduled.receive_bases),
                                       std::move(scheduled.optimized)));
  return result;
}

std::expected<ScheduledPending, ExchangeLoweringError> ExchangeScheduleCache::select(
    ExchangePhaseId phase, const kel_exchange::Topology& topology, std::vector<PendingTransfer> pending,
    std::uint16_t tile_count) {
  const std::uint64_t signature = shape_signature(pending, tile_count);

  if (const std::shared_ptr<const ScheduleRecipe> known = recipe(phase)) {
    auto replayed = known->replay(pending, signature, topology, tile_count);
    if (replayed && *replayed) {
      KEL_INFO(kTarget, "reused exchange optimization after validating relocated rows",
               kel_runtime::field("phase", phase));
      return std::move(**replayed);
    }
    if (!replayed)
      KEL_DEBUG(kTarget, "exchange choices require reoptimization after placement", kel_runtime::field("phase", phase),
                kel_runtime::field("error", replayed.error().message()));
  }

  ScheduledPending scheduled = TRY(select_transfer_widths(phase, topology, std::move(pending), tile_count));
  auto fresh = std::make_shared<ScheduleRecipe>();
  fresh->widths.reserve(scheduled.pending.size());
  for (const PendingTransfer& transfer : scheduled.pending) fresh->widths.push_back(transfer.width);
  fresh->order = scheduled.optimized.schedule.order;
  kel_exchange::PhasePrograms programs = TRY(scheduled.optimized.schedule.builder.finish());
  fresh->normalized_rows = normalized_rows(programs);
  scheduled.optimized.programs = std::move(programs);
  fresh->signature = signature;
  recipes_.insert_or_assign(phase, std::move(fresh));
  return scheduled;
}

}  // namespace kel_codegen::exchange::reuse
