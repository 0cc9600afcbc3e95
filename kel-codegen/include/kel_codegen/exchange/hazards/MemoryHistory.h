// Per-element cycle intervals of a tile's past memory accesses. Each element's
// intervals are sorted by start (ties in insertion order) and carry a running
// maximum of their ends, so one bisection answers "does anything recorded
// overlap [start, end)?". Intervals are never removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kel_codegen/exchange/ExchangeMemoryElement.h"

namespace kel_codegen::exchange::hazards {

struct Interval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  /// Largest `end` of this interval and every interval before it in its list.
  std::uint32_t max_end = 0;

  friend bool operator==(const Interval&, const Interval&) = default;
};

class MemoryHistory {
 public:
  /// Adds [start, end) under every listed element.
  void record(std::span<const ExchangeMemoryElement> elements, std::uint32_t start, std::uint32_t end);

  /// Absent when nothing recorded under the listed elements overlaps
  /// [start, end); otherwise the latest running end among the overlapping
  /// elements' lists.
  std::optional<std::uint32_t> conflict_end(std::span<const ExchangeMemoryElement> elements, std::uint32_t start,
                                            std::uint32_t end) const;

  /// The intervals of `element` in start order; empty when none.
  std::span<const Interval> intervals(ExchangeMemoryElement element) const;

  bool empty() const { return intervals_.empty(); }

  /// Makes room for `intervals` recorded intervals in all.
  void reserve(std::size_t intervals);

 private:
  /// Positions [first, second) of `element`'s intervals.
  std::pair<std::size_t, std::size_t> range(ExchangeMemoryElement element) const;

  // An ordered map kept flat: every interval of every element in one pair of
  // parallel arrays sorted by element, then by start, equal starts in
  // insertion order. A tile touches few elements, so one array per history
  // keeps lookups to a bisection and recording free of per-element storage.
  std::vector<std::uint64_t> keys_;  ///< per interval, its element's sort key
  std::vector<Interval> intervals_;
};

/// One tile's source reads and destination writes.
struct TileMemorySchedule {
  MemoryHistory reads;
  MemoryHistory writes;
};

}  // namespace kel_codegen::exchange::hazards
