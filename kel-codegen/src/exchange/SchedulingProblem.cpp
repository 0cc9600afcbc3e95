// Builds the precedence graph by sweeping each tile's accesses over the tile's
// elementary address segments; edges always point from the earlier transfer to
// the later one, so index order stays a valid topological order.
#include "kel_codegen/exchange/SchedulingProblem.h"

#include <algorithm>
#include <limits>

#include "kel_runtime/Invariant.h"

namespace kel_codegen::exchange {
namespace {

constexpr std::uint32_t kUnset = std::numeric_limits<std::uint32_t>::max();

// A boundary key: the address above the access's endpoint slot, so that one
// integer sort orders by address and still says which endpoint each key was.
// Ends stay below 2^35 (u32 address plus 4 * u32 words), leaving 29 bits.
constexpr unsigned kSlotBits = 29;
constexpr std::uint64_t kSlotMask = (std::uint64_t{1} << kSlotBits) - 1;

// Scratch of the per-tile sweep, kept across tiles so that the frontiers'
// reader lists keep their capacity.
class DependencySweep {
 public:
  // `edges` receives (later, earlier) pairs; `transfer_count` bounds indices.
  DependencySweep(std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges, std::size_t transfer_count)
      : edges_(edges), last_later_(transfer_count, kUnset) {}

  // Adds the edges implied by one tile's accesses, given in (transfer index,
  // reads before writes, array order).
  void memory_dependencies(std::span<const TransferAccess> accesses) {
    const std::size_t slots = 2 * accesses.size();
    kel_runtime::expect(slots <= kSlotMask, "tile access count fits the boundary key");
    keys_.clear();
    for (std::size_t j = 0; j < accesses.size(); ++j) {
      keys_.push_back(accesses[j].start << kSlotBits | (2 * j));
      keys_.push_back(accesses[j].end << kSlotBits | (2 * j + 1));
    }
    std::sort(keys_.begin(), keys_.end());

    // Boundary positions by one scan: each distinct address is the next
    // boundary, and every endpoint learns its position on the way.
    positions_.assign(slots, kUnset);
    std::uint32_t boundaries = 0;
    std::uint64_t previous = 0;
    for (const std::uint64_t key : keys_) {
      const std::uint64_t address = key >> kSlotBits;
      if (boundaries == 0 || address != previous) ++boundaries;
      previous = address;
      positions_[key & kSlotMask] = boundaries - 1;
    }
    const std::size_t segments = boundaries == 0 ? 0 : boundaries - 1;
    if (frontiers_.size() < segments) frontiers_.resize(segments);
    for (std::size_t k = 0; k < segments; ++k) {
      frontiers_[k].last_writer.reset();
      frontiers_[k].readers.clear();
    }

    for (std::size_t j = 0; j < accesses.size(); ++j) {
      const TransferAccess& access = accesses[j];
      const std::uint32_t first = positions_[2 * j];
      const std::uint32_t last = positions_[2 * j + 1];
      kel_runtime::expect(first != kUnset, "access start is a boundary");
      kel_runtime::expect(last != kUnset, "access end is a boundary");
      const std::size_t self = access.transfer;
      for (std::size_t k = first; k < last; ++k) {
        AccessFrontier& frontier = frontiers_[k];
        if (frontier.last_writer && *frontier.last_writer != self) add(*frontier.last_writer, self);
        if (access.write) {
          for (const std::size_t reader : frontier.readers)
            if (reader != self) add(reader, self);
          frontier.readers.clear();
          frontier.last_writer = self;
        } else if (frontier.readers.empty() || frontier.readers.back() != self) {
          frontier.readers.push_back(self);
        }
      }
    }
  }

 private:
  // All edges into one transfer arise while its own accesses are swept, so
  // remembering the last later end per earlier transfer drops nearly every
  // repeat (neighbouring segments, repeated sources); the rest go at the end.
  void add(std::size_t earlier, std::size_t later) {
    if (last_later_[earlier] == later) return;
    last_later_[earlier] = static_cast<std::uint32_t>(later);
    edges_.emplace_back(static_cast<std::uint32_t>(later), static_cast<std::uint32_t>(earlier));
  }

  std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges_;
  std::vector<std::uint32_t> last_later_;
  std::vector<std::uint64_t> keys_;
  std::vector<std::uint32_t> positions_;
  std::vector<AccessFrontier> frontiers_;
};

// Turns per-key counts into start offsets (one extra entry for the end).
void counts_to_offsets(std::vector<std::size_t>& offsets) {
  std::size_t running = 0;
  for (std::size_t& entry : offsets) {
    const std::size_t count = entry;
    entry = running;
    running += count;
  }
}

}  // namespace

SchedulingProblem SchedulingProblem::create(std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  kel_runtime::expect(pending.size() <= std::numeric_limits<std::uint32_t>::max(), "transfer index fits in 32 bits");
  const std::size_t n = pending.size();
  const char* const tile_message = "transfer tile is below the tile count";

  SchedulingProblem problem;
  problem.pending_ = pending;
  problem.tile_count_ = tile_count;

  // Group the accesses by tile with a counting sort; filling in transfer order
  // keeps each tile's list in processing order.
  std::vector<std::size_t> access_offsets(static_cast<std::size_t>(tile_count) + 1, 0);
  for (const PendingTransfer& transfer : pending) {
    kel_runtime::expect(transfer.source < tile_count, tile_message);
    access_offsets[transfer.source] += transfer.source_addresses.size();
    for (const PendingDestination& destination : transfer.destinations) {
      kel_runtime::expect(destination.tile < tile_count, tile_message);
      access_offsets[destination.tile] += 1;
    }
  }
  counts_to_offsets(access_offsets);
  std::vector<TransferAccess> accesses(access_offsets.back());
  {
    std::vector<std::size_t> fill(access_offsets.begin(), access_offsets.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
      const PendingTransfer& transfer = pending[i];
      const std::uint64_t bytes = 4 * static_cast<std::uint64_t>(transfer.words);
      for (const std::uint32_t address : transfer.source_addresses)
        accesses[fill[transfer.source]++] = {i, address, address + bytes, false};
      for (const PendingDestination& destination : transfer.destinations)
        accesses[fill[destination.tile]++] = {i, destination.address, destination.address + bytes, true};
    }
  }

  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;  // (later, earlier)
  {
    DependencySweep sweep(edges, n);
    for (std::size_t tile = 0; tile < tile_count; ++tile) {
      const std::size_t begin = access_offsets[tile];
      const std::size_t end = access_offsets[tile + 1];
      if (begin != end)
        sweep.memory_dependencies(std::span<const TransferAccess>(accesses).subspan(begin, end - begin));
    }
  }

  // Bucket the edges by their later end, then sort and deduplicate each
  // (short) bucket in place; this equals walking the ordered edge set.
  std::vector<std::size_t>& predecessor_offsets = problem.predecessor_offsets_;
  std::vector<std::size_t>& predecessor_ids = problem.predecessor_ids_;
  predecessor_offsets.assign(n + 1, 0);
  for (const auto& [later, earlier] : edges) ++predecessor_offsets[later];
  counts_to_offsets(predecessor_offsets);
  predecessor_ids.resize(edges.size());
  {
    std::vector<std::size_t> fill(predecessor_offsets.begin(), predecessor_offsets.end() - 1);
    for (const auto& [later, earlier] : edges) predecessor_ids[fill[later]++] = earlier;
  }
  std::size_t kept = 0;
  for (std::size_t b = 0; b < n; ++b) {
    const auto first = predecessor_ids.begin() + static_cast<std::ptrdiff_t>(predecessor_offsets[b]);
    const auto last = predecessor_ids.begin() + static_cast<std::ptrdiff_t>(predecessor_offsets[b + 1]);
    std::sort(first, last);
    const auto unique_end = std::unique(first, last);
    predecessor_offsets[b] = kept;
    kept = static_cast<std::size_t>(
        std::copy(first, unique_end, predecessor_ids.begin() + static_cast<std::ptrdiff_t>(kept)) -
        predecessor_ids.begin());
  }
  predecessor_offsets[n] = kept;
  predecessor_ids.resize(kept);

  // Transposing in ascending order of the later end keeps successor rows
  // ascending.
  problem.successor_offsets_.assign(n + 1, 0);
  for (const std::size_t earlier : predecessor_ids) ++problem.successor_offsets_[earlier];
  counts_to_offsets(problem.successor_offsets_);
  problem.successor_ids_.resize(kept);
  {
    std::vector<std::size_t> fill(problem.successor_offsets_.begin(), problem.successor_offsets_.end() - 1);
    for (std::size_t b = 0; b < n; ++b)
      for (std::size_t k = predecessor_offsets[b]; k < predecessor_offsets[b + 1]; ++k)
        problem.successor_ids_[fill[predecessor_ids[k]]++] = b;
  }

  problem.tile_work_.assign(tile_count, 0);
  for (const PendingTransfer& transfer : pending) {
    const std::uint64_t cycles = transfer.payload_cycles().value_or(transfer.words);
    for (const std::uint16_t tile : transfer.tiles()) {
      kel_runtime::expect(tile < tile_count, tile_message);
      problem.tile_work_[tile] += cycles;
    }
  }
  return problem;
}

}  // namespace kel_codegen::exchange
