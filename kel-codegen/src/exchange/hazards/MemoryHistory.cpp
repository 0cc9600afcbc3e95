// Recording and conflict queries over per-element interval lists.
#include "kel_codegen/exchange/hazards/MemoryHistory.h"

#include <algorithm>

namespace kel_codegen::exchange::hazards {

namespace {

/// A number that sorts like the element.
std::uint64_t element_key(ExchangeMemoryElement element) {
  return (std::uint64_t{element.upper} << 32) | element.index;
}

}  // namespace

std::pair<std::size_t, std::size_t> MemoryHistory::range(ExchangeMemoryElement element) const {
  const auto [first, last] = std::equal_range(keys_.begin(), keys_.end(), element_key(element));
  return {static_cast<std::size_t>(first - keys_.begin()), static_cast<std::size_t>(last - keys_.begin())};
}

std::span<const Interval> MemoryHistory::intervals(ExchangeMemoryElement element) const {
  const auto [first, last] = range(element);
  return std::span<const Interval>(intervals_.data() + first, last - first);
}

void MemoryHistory::reserve(std::size_t intervals) {
  keys_.reserve(intervals);
  intervals_.reserve(intervals);
}

void MemoryHistory::record(std::span<const ExchangeMemoryElement> elements, std::uint32_t start, std::uint32_t end) {
  for (const ExchangeMemoryElement element : elements) {
    const auto [first, last] = range(element);
    // After every interval starting at or before `start`: equal starts keep
    // their insertion order.
    const auto at = std::upper_bound(intervals_.begin() + static_cast<std::ptrdiff_t>(first),
                                     intervals_.begin() + static_cast<std::ptrdiff_t>(last), start,
                                     [](std::uint32_t s, const Interval& interval) { return s < interval.start; });
    const std::size_t k = static_cast<std::size_t>(at - intervals_.begin());
    intervals_.insert(at, Interval{start, end, end});
    keys_.insert(keys_.begin() + static_cast<std::ptrdiff_t>(k), element_key(element));
    std::uint32_t running = k == first ? 0 : intervals_[k - 1].max_end;
    for (std::size_t i = k; i <= last; ++i) {
      running = std::max(running, intervals_[i].end);
      intervals_[i].max_end = running;
    }
  }
}

std::optional<std::uint32_t> MemoryHistory::conflict_end(std::span<const ExchangeMemoryElement> elements,
                                                         std::uint32_t start, std::uint32_t end) const {
  std::optional<std::uint32_t> latest;
  if (intervals_.empty()) return latest;
  for (const ExchangeMemoryElement element : elements) {
    const auto [first, last] = range(element);
    // The last interval starting before `end`: its running end covers every
    // earlier interval too.
    const auto begin = intervals_.begin() + static_cast<std::ptrdiff_t>(first);
    const auto after = std::lower_bound(begin, intervals_.begin() + static_cast<std::ptrdiff_t>(last), end,
                                        [](const Interval& interval, std::uint32_t e) { return interval.start < e; });
    if (after == begin) continue;
    const std::uint32_t max_end = std::prev(after)->max_end;
    if (max_end > start && (!latest || max_end > *latest)) latest = max_end;
  }
  return latest;
}

}  // namespace kel_codegen::exchange::hazards
