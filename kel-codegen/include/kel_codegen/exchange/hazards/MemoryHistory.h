// Per-element cycle intervals of a tile's past memory accesses. Each element's
// intervals are sorted by start (ties in insertion order) and carry a running
// maximum of their ends, so one bisection answers "does anything recorded
// overlap [start, end)?". Intervals are never removed.
#pragma once

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

  bool empty() const { return lists_.empty(); }

 private:
  using ElementList = std::pair<ExchangeMemoryElement, std::vector<Interval>>;

  const std::vector<Interval>* find(ExchangeMemoryElement element) const;

  // Sorted by element: an ordered map kept flat, since a tile touches few
  // elements and lookups dominate.
  std::vector<ElementList> lists_;
};

/// One tile's source reads and destination writes.
struct TileMemorySchedule {
  MemoryHistory reads;
  MemoryHistory writes;
};

}  // namespace kel_codegen::exchange::hazards
