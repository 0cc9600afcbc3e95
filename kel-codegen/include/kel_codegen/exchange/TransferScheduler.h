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
  // The run works on compact forms of `ReadyTransfer`: the fields that never
  // change for a transfer (destination count, issue cycles, source, index,
  // and without multicasts the endpoint work too) are folded into one rank,
  // so that entries are 16 bytes and compare in few steps with the same
  // outcome. See the source for the two entry layouts.
  static constexpr std::uint16_t kNoTile = 0xFFFF;
  static constexpr std::uint32_t kNoGroup = 0xFFFFFFFF;
  // What a refresh reads of a transfer, indexed by rank.
  struct Node {
    std::uint32_t dependency_ready = 0;
    std::uint32_t more_destinations = 0;  ///< offset of destinations 1.. in `destination_tiles_`
    std::uint16_t source = 0;
    std::uint16_t partner = kNoTile;
    std::uint16_t destination_count = 0;
    std::uint16_t first_destination = kNoTile;
  };

  std::uint64_t endpoint_work(std::uint32_t rank) const;
  std::uint32_t estimated_start(std::uint32_t rank) const;
  void rank_transfers();
  void build_groups();
  template <class Entry>
  [[nodiscard]] std::expected<void, ExchangeLoweringError> run_with(const kel_exchange::Topology& topology,
                                                                    std::span<const std::uint32_t> receive_bases,
                                                                    std::span<const std::uint64_t> receive_counts,
                                                                    bool validate, MaterializedSchedule& schedule);

  const SchedulingProblem& problem_;
  const MaterializedSchedule& schedule_;
  std::vector<std::uint64_t> tile_work_;
  std::vector<std::uint64_t> remaining_predecessors_;
  std::vector<std::uint32_t> rank_of_;      ///< per transfer
  std::vector<std::uint32_t> transfer_of_;  ///< per rank
  std::vector<Node> nodes_;                 ///< per rank
  std::vector<std::uint16_t> destination_tiles_;
  // Ready groups: each group's members by rank, which is their pop order
  // since they share their start (0) and their endpoint work.
  std::vector<std::uint32_t> group_members_;
  std::vector<std::uint32_t> group_next_;  ///< per group, position of its current top
  std::vector<std::uint32_t> group_end_;
  std::vector<std::uint64_t> group_work_;  ///< per group, the endpoint work its entries carry
  std::vector<std::uint32_t> group_of_;    ///< per rank
  bool multicast_ = false;
};

/// A complete greedy schedule of the phase (its builder not yet finished).
[[nodiscard]] std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_greedy_schedule_impl(
    const kel_exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts, bool validate);

}  // namespace kel_codegen::exchange
