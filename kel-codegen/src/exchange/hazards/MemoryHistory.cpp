// Recording and conflict queries over per-element interval lists.
#include "kel_codegen/exchange/hazards/MemoryHistory.h"

#include <algorithm>

namespace kel_codegen::exchange::hazards {

namespace {

constexpr auto kByElement = [](const auto& list, ExchangeMemoryElement element) { return list.first < element; };

}  // namespace

const std::vector<Interval>* MemoryHistory::find(ExchangeMemoryElement element) const {
  const auto it = std::lower_bound(lists_.begin(), lists_.end(), element, kByElement);
  return it != lists_.end() && it->first == element ? &it->second : nullptr;
}

std::span<const Interval> MemoryHistory::intervals(ExchangeMemoryElement element) const {
  const auto* list = find(element);
  return list ? std::span<const Interval>(*list) : std::span<const Interval>();
}

void MemoryHistory::record(std::span<const ExchangeMemoryElement> elements, std::uint32_t start, std::uint32_t end) {
  for (const ExchangeMemoryElement element : elements) {
    auto it = std::lower_bound(lists_.begin(), lists_.end(), element, kByElement);
    if (it == lists_.end() || it->first != element) it = lists_.insert(it, ElementList{element, {}});
    std::vector<Interval>& list = it->second;
    // After every interval starting at or before `start`: equal starts keep
    // their insertion order.
    const auto at = std::upper_bound(list.begin(), list.end(), start,
                                     [](std::uint32_t s, const Interval& interval) { return s < interval.start; });
    const std::size_t k = static_cast<std::size_t>(at - list.begin());
    list.insert(at, Interval{start, end, end});
    std::uint32_t running = k == 0 ? 0 : list[k - 1].max_end;
    for (std::size_t i = k; i < list.size(); ++i) {
      running = std::max(running, list[i].end);
      list[i].max_end = running;
    }
  }
}

std::optional<std::uint32_t> MemoryHistory::conflict_end(std::span<const ExchangeMemoryElement> elements,
                                                         std::uint32_t start, std::uint32_t end) const {
  std::optional<std::uint32_t> latest;
  if (lists_.empty()) return latest;
  for (const ExchangeMemoryElement element : elements) {
    const auto* list = find(element);
    if (list == nullptr) continue;
    // The last interval starting before `end`: its running end covers every
    // earlier interval too.
    const auto after = std::lower_bound(list->begin(), list->end(), end,
                                        [](const Interval& interval, std::uint32_t e) { return interval.start < e; });
    if (after == list->begin()) continue;
    const std::uint32_t max_end = std::prev(after)->max_end;
    if (max_end > start && (!latest || max_end > *latest)) latest = max_end;
  }
  return latest;
}

}  // namespace kel_codegen::exchange::hazards
