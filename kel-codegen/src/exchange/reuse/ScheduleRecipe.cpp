// Shape signatures, normalized programs and the replay of a recipe.
#include "kel_codegen/exchange/reuse/ScheduleRecipe.h"

#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/SchedulingProblem.h"
#include "kel_codegen/exchange/TransferWidthSelection.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/SenderRowEditing.h"
#include "kel_runtime/SipHash.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange::reuse {

std::uint64_t shape_signature(std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  kel_runtime::SipHasher13 hasher;
  hasher.write_u16_le(tile_count);
  hasher.write_u64_le(pending.size());
  for (const PendingTransfer& transfer : pending) {
    hasher.write_u16_le(transfer.source);
    hasher.write_u32_le(transfer.words);
    hasher.write_u64_le(transfer.source_addresses.size());
    hasher.write_u64_le(transfer.destinations.size());
    for (const PendingDestination& d : transfer.destinations) hasher.write_u16_le(d.tile);
  }
  return hasher.finish();
}

std::vector<std::vector<std::uint32_t>> normalized_rows(const kel_exchange::PhasePrograms& programs) {
  std::vector<std::vector<std::uint32_t>> rows;
  rows.reserve(programs.programs.size());
  static constexpr std::uint32_t kReturnOnly[] = {kel_exchange::RETURN_WORD};
  for (const auto& program : programs.programs)
    rows.push_back(program ? kel_exchange::normalized_exchange_address_words(*program)
                           : kel_exchange::normalized_exchange_address_words(kReturnOnly));
  return rows;
}

std::expected<std::optional<ScheduledPending>, ExchangeLoweringError> ScheduleRecipe::replay(
    std::span<const PendingTransfer> pending, std::uint64_t pending_signature, const kel_exchange::Topology& topology,
    std::uint16_t tile_count) const {
  if (signature != pending_signature || widths.size() != pending.size()) return std::nullopt;

  std::vector<std::optional<PendingTransfer>> alternatives =
      TRY(paired_transfer_alternatives(pending, topology, tile_count));
  std::vector<PendingTransfer> replayed;
  replayed.reserve(pending.size());
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (widths[i] == ExchangeItemWidth::Paired64) {
      if (!alternatives[i]) return std::nullopt;
      replayed.push_back(std::move(*alternatives[i]));
    } else {
      replayed.push_back(pending[i]);
    }
  }
  alternatives.clear();

  ReceiveConfiguration config = TRY(receive_configuration(replayed, tile_count));
  const SchedulingProblem problem = SchedulingProblem::create(replayed, tile_count);
  auto materialized =
      materialize_schedule_order(topology, problem, config.receive_bases, config.receive_counts, order, false);
  if (!materialized && materialized.error().exchange_error() &&
      is_alignment_failure(*materialized.error().exchange_error()))
    materialized =
        materialize_schedule_order(topology, problem, config.receive_bases, config.receive_counts, order, true);
  MaterializedSchedule schedule = TRY(std::move(materialized));

  kel_exchange::PhasePrograms programs = TRY(schedule.builder.finish());
  if (reuse::normalized_rows(programs) != normalized_rows) return std::nullopt;

  const std::uint32_t lower_bound = endpoint_work_lower_bound(replayed, tile_count);
  const std::uint32_t horizon = schedule.horizon;
  return ScheduledPending{
      std::move(replayed), std::move(config.receive_counts), std::move(config.receive_bases),
      OptimizedSchedule{std::move(schedule), kStrategyReused, 0, horizon, lower_bound, std::move(programs)}};
}

}  // namespace kel_codegen::exchange::reuse
