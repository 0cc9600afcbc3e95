// The schedule optimiser: a greedy start schedule (retried with incremental
// alignment validation when its programs cannot be aligned), then the
// matching-wave order and critical-neighbourhood repairs, each kept only when
// it strictly shortens the horizon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/SchedulingProblem.h"
#include "kel_exchange/Topology.h"

namespace kel_codegen::exchange {

inline constexpr const char* kStrategyFullDuplex = "full-duplex";
inline constexpr const char* kStrategyMatchingWaves = "matching-waves";
inline constexpr const char* kStrategyCriticalNeighborhood = "critical-neighborhood";
inline constexpr const char* kStrategyReused = "reused";

struct OptimizedSchedule {
  MaterializedSchedule schedule;
  const char* strategy = kStrategyFullDuplex;
  std::size_t neighborhood_improvements = 0;
  std::uint32_t initial_horizon = 0;
  std::uint32_t endpoint_lower_bound = 0;
  /// The schedule's finished programs when a caller already needed them, so
  /// that assembling the run does not finish (and check) every tile again.
  std::optional<kel_exchange::PhasePrograms> programs;
};

struct ScheduledPending {
  std::vector<PendingTransfer> pending;
  std::vector<std::uint64_t> receive_counts;
  std::vector<std::uint32_t> receive_bases;
  OptimizedSchedule optimized;
};

/// Whether `error` is the instruction-alignment failure that only proving
/// encodability at every placement can steer around.
bool is_alignment_failure(const kel_exchange::ExchangeError& error);

/// The largest send or receive work of any tile, clamped to u32.
std::uint32_t endpoint_work_lower_bound(std::span<const PendingTransfer> pending, std::uint16_t tile_count);

/// The greedy start schedule, retried with incremental alignment validation
/// when its programs fail to align.
[[nodiscard]] std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule(
    const kel_exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts);

[[nodiscard]] std::expected<OptimizedSchedule, ExchangeLoweringError> optimize_pending_schedule(
    const kel_exchange::Topology& topology, std::span<const PendingTransfer> pending,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts,
    std::uint16_t tile_count);

[[nodiscard]] std::expected<ScheduledPending, ExchangeLoweringError> optimize_owned_pending(
    const kel_exchange::Topology& topology, std::vector<PendingTransfer> pending, std::uint16_t tile_count);

}  // namespace kel_codegen::exchange
