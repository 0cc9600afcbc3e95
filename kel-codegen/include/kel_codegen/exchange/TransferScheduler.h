// Greedy list scheduling of one phase: among the transfers whose predecessors
// are placed, repeatedly place the one that can start earliest, preferring
// heavily loaded tiles. Priorities go stale as tiles fill up; only the heap's
// top is refreshed, and the heap is rebuilt when tops keep going stale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/SchedulingProblem.h"

namespace kel_codegen::exchange {

/// One heap entry. Higher priority: earlier `ready`, then more
/// `endpoint_work`, more `destinations`, more `issue_cycles`, smaller
/// `source`, smaller `transfer`.
struct ReadyTransfer {
  std::uint32_t ready = 0;
  std::uint64_t endpoint_work = 0;
  std::uint64_t destinations = 0;
  std::uint32_t issue_cycles = 0;
  std::uint16_t source = 0;
  std::size_t transfer = 0;

  friend bool operator==(const ReadyTransfer&, const ReadyTransfer&) = default;
};

/// True when `a` is popped before `b`.
bool has_priority_over(const ReadyTransfer& a, const ReadyTransfer& b);

/// Issue cycles: half the words of an even paired payload, else the words.
std::uint32_t issue_cycles(const PendingTransfer& transfer);

class TransferScheduler {
 public:
  TransferScheduler(const SchedulingProblem& problem, const MaterializedSchedule& schedule);

  /// A heap entry for `transfer`, whose predecessors are all placed.
  ReadyTransfer push_ready(std::size_t transfer) const;
  /// Recomputes `entry`'s estimated start and (with multicasts) its endpoint
  /// work; true when either changed.
  bool refresh(ReadyTransfer& entry) const;

  /// Runs the list scheduler to completion.
  [[nodiscard]] std::expected<void, ExchangeLoweringError> run(const kel_exchange::Topology& topology,
                                                               std::span<const std::uint32_t> receive_bases,
                                                               std::span<const std::uint64_t> receive_counts,
                                                               bool validate, MaterializedSchedule& schedule);

 private:
  using Heap = std::vector<ReadyTransfer>;

  std::uint64_t endpoint_work(std::size_t transfer) const;
  void build_groups();
  void rebuild_heads();

  const SchedulingProblem& problem_;
  const MaterializedSchedule& schedule_;
  std::vector<std::uint64_t> tile_work_;
  std::vector<std::uint64_t> remaining_predecessors_;
  std::vector<std::uint32_t> dependency_ready_;
  Heap heads_;
  std::vector<Heap> groups_;
  std::vector<std::optional<std::size_t>> group_of_;
  bool multicast_ = false;
};

/// A complete greedy schedule of the phase (its builder not yet finished).
[[nodiscard]] std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule_impl(
    const kel_exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts, bool validate);

}  // namespace kel_codegen::exchange
