// Greedy start with alignment retry, then the two improvement heuristics.
#include "kel_codegen/exchange/ScheduleOptimizer.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "kel_codegen/exchange/ReceiveConfiguration.h"
#include "kel_codegen/exchange/TransferScheduler.h"
#include "kel_codegen/exchange/order/CriticalNeighborhood.h"
#include "kel_codegen/exchange/order/MatchingWaves.h"
#include "kel_runtime/Invariant.h"
#include "kel_runtime/Log.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

namespace {

constexpr const char* kTarget = "kel_codegen::exchange";

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

bool is_alignment_failure(const kel_exchange::ExchangeError& error) {
  return error.kind() == kel_exchange::ExchangeError::Kind::Schedule &&
         error.reason() == "SENDPICP instruction alignment";
}

std::uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  std::vector<std::uint64_t> send(tile_count), receive(tile_count);
  for (const PendingTransfer& transfer : pending) {
    const std::uint64_t cycles = transfer.payload_cycles().value_or(transfer.words);
    kel_runtime::expect(transfer.source < tile_count, "endpoint tile inside the phase");
    send[transfer.source] = saturating_add(send[transfer.source], cycles);
    if (transfer.partner) {
      kel_runtime::expect(*transfer.partner < tile_count, "endpoint tile inside the phase");
      send[*transfer.partner] = saturating_add(send[*transfer.partner], cycles);
    }
    for (const PendingDestination& d : transfer.destinations) {
      kel_runtime::expect(d.tile < tile_count, "endpoint tile inside the phase");
      receive[d.tile] = saturating_add(receive[d.tile], cycles);
    }
  }
  std::uint64_t bound = 0;
  for (std::size_t t = 0; t < tile_count; ++t) bound = std::max({bound, send[t], receive[t]});
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(bound, std::numeric_limits<std::uint32_t>::max()));
}

std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule(
    const kel_exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts) {
  const std::size_t n = problem.transfer_count();
  {
    MaterializedSchedule schedule =
        TRY(materialize_greedy_schedule_impl(topology, problem, receive_bases, receive_counts, false));
    auto finished = schedule.builder.finish();
    if (finished) return schedule;
    if (!is_alignment_failure(finished.error())) return std::unexpected(ExchangeLoweringError(finished.error()));
  }
  // Only proofs at every placement can steer around an alignment failure.
  KEL_INFO(kTarget, "retrying exchange schedule with incremental instruction-alignment validation",
           kel_runtime::field("transfers", n));
  const auto started = std::chrono::steady_clock::now();
  auto retried = materialize_greedy_schedule_impl(topology, problem, receive_bases, receive_counts, true);
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  KEL_INFO(kTarget, "finished incremental instruction-alignment validation", kel_runtime::field("transfers", n),
           kel_runtime::field("elapsed_ms", static_cast<std::uint64_t>(elapsed)),
           kel_runtime::field("success", retried.has_value()));
  return retried;
}

std::expected<OptimizedSchedule, ExchangeLoweringError> optimize_pending_schedule(
    const kel_exchange::Topology& topology, std::span<const PendingTransfer> pending,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts,
    std::uint16_t tile_count) {
  const SchedulingProblem problem = SchedulingProblem::create(pending, tile_count);
  OptimizedSchedule result{TRY(materialize_greedy_schedule(topology, problem, receive_bases, receive_counts)),
                           kStrategyFullDuplex, 0, 0, 0, std::nullopt};
  result.initial_horizon = result.schedule.horizon;
  result.endpoint_lower_bound = endpoint_work_lower_bound(pending, tile_count);

  if (const auto waves = order::point_to_point_matching_wave_order(problem, result.schedule)) {
    auto candidate = materialize_schedule_order(topology, problem, receive_bases, receive_counts, *waves, false);
    if (candidate && candidate->horizon < result.schedule.horizon) {
      result.schedule = std::move(*candidate);
      result.strategy = kStrategyMatchingWaves;
    }
  }

  // Every accepted pass strictly lowers the horizon, so the loop ends.
  for (;;) {
    auto repaired = order::critical_neighborhood_order(problem, result.schedule, false);
    if (!repaired) repaired = order::critical_neighborhood_order(problem, result.schedule, true);
    kel_runtime::expect(repaired.has_value(), "local repair has no work limit");
    if (std::ranges::equal(*repaired, result.schedule.order)) break;
    auto candidate = materialize_schedule_order(topology, problem, receive_bases, receive_counts, *repaired, false);
    if (!candidate || candidate->horizon >= result.schedule.horizon) break;
    result.schedule = std::move(*candidate);
    result.strategy = kStrategyCriticalNeighborhood;
    ++result.neighborhood_improvements;
  }
  return result;
}

std::expected<ScheduledPending, ExchangeLoweringError> optimize_owned_pending(const kel_exchange::Topology& topology,
                                                                             std::vector<PendingTransfer> pending,
                                                                             std::uint16_t tile_count) {
  ReceiveConfiguration config = TRY(receive_configuration(pending, tile_count));
  OptimizedSchedule optimized = TRY(
      optimize_pending_schedule(topology, pending, config.receive_bases, config.receive_counts, tile_count));
  return ScheduledPending{std::move(pending), std::move(config.receive_counts), std::move(config.receive_bases),
                          std::move(optimized)};
}

}  // namespace kel_codegen::exchange
