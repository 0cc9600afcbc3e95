// Matching-wave ordering of point-to-point phases: repeatedly order a maximum
// set of ready transfers with pairwise distinct sources and destinations.
// Invariants: a returned order holds every transfer once and respects every
// precedence edge; ties end on the transfer index; matching state is dense,
// indexed by tile, and reused from wave to wave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/MaterializedSchedule.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/SchedulingProblem.h"

namespace kel_codegen::exchange::order {

/// The `dist` of a source tile that is not on the current layering.
inline constexpr std::size_t kUnreachable = std::numeric_limits<std::size_t>::max();

/// Matching state of one wave: tile-indexed and emptied between waves.
struct ReadyMatching {
  explicit ReadyMatching(std::uint16_t tile_count)
      : matched_transfer(tile_count), matched_source(tile_count), dist(tile_count, kUnreachable) {
    queue.reserve(tile_count);  // a source is queued at most once per layering
  }

  std::vector<std::optional<std::size_t>> matched_transfer;  ///< per source tile
  std::vector<std::optional<std::uint16_t>> matched_source;  ///< per destination tile
  std::vector<std::size_t> dist;                             ///< per source tile, breadth-first layer
  std::vector<std::uint16_t> queue;                          ///< breadth-first queue buffer
};

/// Depth-first search for an augmenting path from `source` along the layering
/// in `dist`; applies the path and returns true when one exists. A source
/// left without a path gets `kUnreachable`. `adjacency[tile]` lists the
/// tile's candidate transfers, each with exactly one destination.
[[nodiscard]] bool augment_ready_matching(std::uint16_t source, std::span<const PendingTransfer> pending,
                                          std::span<const std::vector<std::size_t>> adjacency,
                                          std::span<std::optional<std::size_t>> matched_transfer,
                                          std::span<std::optional<std::uint16_t>> matched_source,
                                          std::span<std::size_t> dist);

/// Hopcroft–Karp phases over the candidates of `sources` (searched in that
/// order) until no augmenting path remains; extends the matching held in
/// `matching`, whose matched sources must all be among `sources`.
void maximize_ready_matching(std::span<const std::uint16_t> sources, std::span<const PendingTransfer> pending,
                             std::span<const std::vector<std::size_t>> adjacency, ReadyMatching& matching);

/// An order of a point-to-point phase built from maximum matchings of its
/// ready transfers, wave by wave, ranked by their position in `best`'s order.
/// No order when the phase has fewer than two transfers, a transfer without
/// exactly one destination or without payload cycles, or one tile carrying
/// more than twice the average per-endpoint load.
[[nodiscard]] std::optional<std::vector<std::size_t>> point_to_point_matching_wave_order(
    const SchedulingProblem& problem, const MaterializedSchedule& best);

/// As above, ranking by `best_order` directly (transfers it lacks rank last).
[[nodiscard]] std::optional<std::vector<std::size_t>> point_to_point_matching_wave_order(
    const SchedulingProblem& problem, std::span<const std::size_t> best_order);

}  // namespace kel_codegen::exchange::order
