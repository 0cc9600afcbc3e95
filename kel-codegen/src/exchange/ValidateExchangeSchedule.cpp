// Validation of a lowered phase. Checks run in a fixed order and the first
// failure wins; messages are formatted only on failure. Per-tile interval
// lists live in buffers reused across tiles, so the tile loop allocates only
// what the program decoder does.
#include "kel_codegen/exchange/ValidateExchangeSchedule.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kel_codegen/exchange/ExchangeMemoryElement.h"
#include "kel_exchange/Topology.h"
#include "kel_exchange/diagnostic/PlanProgramDiagnostic.h"
#include "kel_runtime/Invariant.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

namespace {

ExchangeLoweringError invariant(std::string text) { return ExchangeLoweringError::invariant(std::move(text)); }

// Above this many destinations a transfer's receive look-ups binary-search a
// sorted index instead of scanning, so a broadcast stays linearithmic.
constexpr std::size_t kLinearDestinationScan = 16;

// Per-transfer destination look-up and receive counters, flattened.
class DestinationIndex {
 public:
  explicit DestinationIndex(std::span<const ExchangeScheduleTransfer> transfers) : transfers_(transfers) {
    offsets_.resize(transfers.size() + 1);
    std::size_t total = 0;
    for (std::size_t i = 0; i < transfers.size(); ++i) {
      offsets_[i] = total;
      total += transfers[i].destinations.size();
    }
    offsets_[transfers.size()] = total;
    receive_counts_.assign(total, 0);
    order_.resize(total);
    for (std::size_t i = 0; i < transfers.size(); ++i) {
      const auto& destinations = transfers[i].destinations;
      if (destinations.size() <= kLinearDestinationScan) continue;
      kel_runtime::expect(destinations.size() <= std::numeric_limits<std::uint32_t>::max(),
                          "destination count fits u32");
      const auto first = order_.begin() + static_cast<std::ptrdiff_t>(offsets_[i]);
      const auto last = order_.begin() + static_cast<std::ptrdiff_t>(offsets_[i + 1]);
      for (auto it = first; it != last; ++it) *it = static_cast<std::uint32_t>(it - first);
      // Ties end on the position, so the first matching destination comes first.
      std::sort(first, last, [&](std::uint32_t x, std::uint32_t y) {
        const auto& dx = destinations[x];
        const auto& dy = destinations[y];
        if (dx.tile != dy.tile) return dx.tile < dy.tile;
        if (dx.address != dy.address) return dx.address < dy.address;
        return x < y;
      });
    }
  }

  /// Position of the first destination of `transfer` on `tile` at `address`.
  std::optional<std::size_t> find(std::size_t transfer, std::uint16_t tile, std::uint32_t address) const {
    const auto& destinations = transfers_[transfer].destinations;
    if (destinations.size() <= kLinearDestinationScan) {
      for (std::size_t k = 0; k < destinations.size(); ++k)
        if (destinations[k].tile == tile && destinations[k].address == address) return k;
      return std::nullopt;
    }
    const auto first = order_.begin() + static_cast<std::ptrdiff_t>(offsets_[transfer]);
    const auto last = order_.begin() + static_cast<std::ptrdiff_t>(offsets_[transfer + 1]);
    const auto it = std::partition_point(first, last, [&](std::uint32_t position) {
      const auto& d = destinations[position];
      return d.tile != tile ? d.tile < tile : d.address < address;
    });
    if (it == last || destinations[*it].tile != tile || destinations[*it].address != address) return std::nullopt;
    return *it;
  }

  void count_receive(std::size_t transfer, std::size_t position) { ++receive_counts_[offsets_[transfer] + position]; }

  /// True when every destination of `transfer` was received exactly once.
  bool each_received_once(std::size_t transfer) const {
    for (std::size_t k = offsets_[transfer]; k < offsets_[transfer + 1]; ++k)
      if (receive_counts_[k] != 1) return false;
    return true;
  }

 private:
  std::span<const ExchangeScheduleTransfer> transfers_;
  std::vector<std::size_t> offsets_;           // first flat slot of each transfer, plus the total
  std::vector<std::uint64_t> receive_counts_;  // per destination
  std::vector<std::uint32_t> order_;           // sorted positions, filled for large transfers only
};

// One activity of the tile being checked, in a list sorted by start.
struct Interval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t memory_end = 0;
  std::uint32_t activity = 0;  // index into the tile's activities

  friend bool operator<(const Interval& x, const Interval& y) {
    if (x.start != y.start) return x.start < y.start;
    if (x.end != y.end) return x.end < y.end;
    return x.activity < y.activity;
  }
};

void sort_intervals(std::vector<Interval>& list) {
  if (!std::is_sorted(list.begin(), list.end())) std::sort(list.begin(), list.end());
}

// True when some interval of the list starts before its predecessor ends.
bool has_overlap(const std::vector<Interval>& sorted) {
  for (std::size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i].start < sorted[i - 1].end) return true;
  return false;
}

enum class Extent : std::uint8_t { Bus, Memory };

template <Extent E>
std::uint32_t stop(const Interval& x) {
  return E == Extent::Bus ? x.end : x.memory_end;
}

template <Extent E>
bool overlap(const Interval& x, const Interval& y) {
  return x.start < stop<E>(y) && y.start < stop<E>(x);
}

// Sweeps two lists sorted by start and calls `clash(x, y)` for each pair of
// overlapping intervals with x from `a` and y from `b` (with `within_a`, also
// for pairs of two intervals of `a`), stopping when it returns true. An
// interval leaves the open lists once a later start reaches its stop, after
// which it can overlap nothing that is still to come.
template <Extent E, class Clash>
bool any_clash(const std::vector<Interval>& a, const std::vector<Interval>& b, bool within_a,
               std::vector<Interval>& open_a, std::vector<Interval>& open_b, Clash&& clash) {
  open_a.clear();
  open_b.clear();
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() || j < b.size()) {
    const bool from_a = j == b.size() || (i < a.size() && a[i].start <= b[j].start);
    const Interval current = from_a ? a[i++] : b[j++];
    const auto closed = [&](const Interval& x) { return stop<E>(x) <= current.start; };
    std::erase_if(open_a, closed);
    std::erase_if(open_b, closed);
    if (from_a) {
      for (const Interval& y : open_b)
        if (overlap<E>(current, y) && clash(current, y)) return true;
      if (within_a)
        for (const Interval& x : open_a)
          if (overlap<E>(current, x) && clash(current, x)) return true;
      open_a.push_back(current);
    } else {
      for (const Interval& x : open_a)
        if (overlap<E>(x, current) && clash(x, current)) return true;
      open_b.push_back(current);
    }
  }
  return false;
}

// Reusable per-tile buffers.
struct TileLists {
  std::vector<Interval> sends;
  std::vector<Interval> receives;
  std::vector<Interval> partner_busy;
  std::vector<Interval> open_a;
  std::vector<Interval> open_b;
};

}  // namespace

std::expected<void, ExchangeLoweringError> validate_exchange_schedule(std::uint16_t tile_count,
                                                                      const ExchangeScheduleProblem& problem,
                                                                      const PhysicalExchangePhase& phase) {
  const std::uint32_t id = problem.phase;
  if (phase.phase != id)
    return std::unexpected(invariant(fmt::format("phase id {} differs from snapshot phase {}", phase.phase, id)));

  const std::size_t tiles = tile_count;
  const std::pair<std::size_t, const char*> lengths[] = {
      {phase.active.size(), "active"},
      {phase.programs.size(), "programs"},
      {phase.incoming_bases.size(), "incoming bases"},
      {phase.tile_horizons.size(), "tile horizons"},
      {phase.activities.size(), "activities"},
      {phase.repeat_patches.size(), "repeat patches"},
  };
  for (const auto& [length, name] : lengths)
    if (length != tiles)
      return std::unexpected(
          invariant(fmt::format("phase {} has {} {} entries for {} tiles", id, length, name, tile_count)));

  for (const auto& patches : phase.repeat_patches)
    if (!patches.empty())
      return std::unexpected(invariant(fmt::format("standalone phase {} unexpectedly contains repeat patches", id)));

  std::uint32_t maximum_horizon = 0;
  for (const std::uint32_t h : phase.tile_horizons) maximum_horizon = std::max(maximum_horizon, h);
  if (maximum_horizon != phase.horizon)
    return std::unexpected(invariant(
        fmt::format("phase {} horizon {} differs from maximum tile horizon {}", id, phase.horizon, maximum_horizon)));

  const auto& transfers = problem.transfers;
  // Membership only; a partner beyond the phase's tiles is never asked about.
  std::vector<bool> lends_transmitter(tiles, false);
  for (const ExchangeScheduleTransfer& transfer : transfers) {
    if (transfer.width != ExchangeItemWidth::Paired64) continue;
    const std::uint16_t partner = TRY(kel_exchange::r817_paired_logical(transfer.source));
    if (partner < tiles) lends_transmitter[partner] = true;
  }

  std::vector<std::uint64_t> send_counts(transfers.size(), 0);
  std::vector<std::uint64_t> partner_busy_counts(transfers.size(), 0);
  DestinationIndex destinations(transfers);
  TileLists lists;

  for (std::size_t t = 0; t < tiles; ++t) {
    const auto tile = static_cast<std::uint16_t>(t);
    const auto decoded = TRY(kel_exchange::diagnostic::diagnose_plan_program(std::span(phase.programs[t])));
    const std::uint32_t horizon = phase.tile_horizons[t];
    if (decoded.end_cycle != horizon)
      return std::unexpected(invariant(
          fmt::format("phase {} tile {} decoded horizon {} differs from {}", id, t, decoded.end_cycle, horizon)));

    const auto& activities = phase.activities[t];
    const bool expected_active = !activities.empty() || lends_transmitter[t];
    if (phase.active[t] != expected_active || phase.active[t] != (horizon != 0))
      return std::unexpected(invariant(fmt::format("phase {} tile {} has inconsistent active state", id, t)));

    kel_runtime::expect(activities.size() <= std::numeric_limits<std::uint32_t>::max(), "tile activity count fits u32");
    lists.sends.clear();
    lists.receives.clear();
    lists.partner_busy.clear();
    for (std::size_t k = 0; k < activities.size(); ++k) {
      const ExchangeActivity& a = activities[k];
      if (!(a.start <= a.end && a.end <= a.memory_end && a.memory_end <= horizon))
        return std::unexpected(
            invariant(fmt::format("phase {} tile {} transfer {} has invalid cycle interval", id, t, a.transfer)));
      if (a.transfer >= transfers.size())
        return std::unexpected(
            invariant(fmt::format("phase {} tile {} references missing transfer {}", id, t, a.transfer)));
      const ExchangeScheduleTransfer& transfer = transfers[a.transfer];
      if (a.words != transfer.words)
        return std::unexpected(
            invariant(fmt::format("phase {} tile {} transfer {} has wrong word count", id, t, a.transfer)));

      const bool at_first_source = !transfer.source_addresses.empty() && a.address == transfer.source_addresses.front();
      const Interval interval{a.start, a.end, a.memory_end, static_cast<std::uint32_t>(k)};
      switch (a.kind) {
        case ExchangeActivityKind::Send:
          if (transfer.source != tile || !at_first_source)
            return std::unexpected(
                invariant(fmt::format("phase {} transfer {} has a mismatched send activity", id, a.transfer)));
          ++send_counts[a.transfer];
          lists.sends.push_back(interval);
          break;
        case ExchangeActivityKind::Receive: {
          const auto position = destinations.find(a.transfer, tile, a.address);
          if (!position)
            return std::unexpected(invariant(
                fmt::format("phase {} transfer {} has an unexpected receive activity on tile {}", id, a.transfer, t)));
          destinations.count_receive(a.transfer, *position);
          lists.receives.push_back(interval);
          break;
        }
        case ExchangeActivityKind::PartnerBusy: {
          bool matches = transfer.width == ExchangeItemWidth::Paired64;
          if (matches) matches = TRY(kel_exchange::r817_paired_logical(transfer.source)) == tile && at_first_source;
          if (!matches)
            return std::unexpected(
                invariant(fmt::format("phase {} transfer {} has a mismatched partner-busy activity", id, a.transfer)));
          ++partner_busy_counts[a.transfer];
          lists.partner_busy.push_back(interval);
          break;
        }
      }
    }

    sort_intervals(lists.sends);
    if (has_overlap(lists.sends))
      return std::unexpected(invariant(fmt::format("phase {} tile {} has overlapping Send bus intervals", id, t)));
    sort_intervals(lists.receives);
    if (has_overlap(lists.receives))
      return std::unexpected(invariant(fmt::format("phase {} tile {} has overlapping Receive bus intervals", id, t)));

    // Every Repeat iteration's source span counts, not only the first.
    const bool sram_clash = any_clash<Extent::Memory>(
        lists.sends, lists.receives, false, lists.open_a, lists.open_b, [&](const Interval& s, const Interval& r) {
          const ExchangeActivity& send = activities[s.activity];
          const ExchangeActivity& receive = activities[r.activity];
          return std::ranges::any_of(transfers[send.transfer].source_addresses, [&](std::uint32_t x) {
            return spans_share_effective_memory_element(x, send.words, receive.address, receive.words);
          });
        });
    if (sram_clash)
      return std::unexpected(
          invariant(fmt::format("phase {} tile {} overlaps send/receive access to one SRAM element", id, t)));

    sort_intervals(lists.partner_busy);
    const bool borrowed_clash = any_clash<Extent::Bus>(
        lists.partner_busy, lists.sends, true, lists.open_a, lists.open_b, [&](const Interval& p, const Interval& q) {
          return activities[p.activity].transfer != activities[q.activity].transfer;
        });
    if (borrowed_clash)
      return std::unexpected(
          invariant(fmt::format("phase {} tile {} overlaps borrowed and local transmit intervals", id, t)));
  }

  for (std::size_t i = 0; i < transfers.size(); ++i)
    if (send_counts[i] != 1)
      return std::unexpected(
          invariant(fmt::format("phase {} transfer {} has {} send activities", id, i, send_counts[i])));

  for (std::size_t i = 0; i < transfers.size(); ++i) {
    const std::uint64_t expected = transfers[i].width == ExchangeItemWidth::Paired64 ? 1 : 0;
    if (partner_busy_counts[i] != expected)
      return std::unexpected(invariant(fmt::format("phase {} transfer {} has {} partner-busy activities, expected {}",
                                                   id, i, partner_busy_counts[i], expected)));
  }

  for (std::size_t i = 0; i < transfers.size(); ++i)
    if (!destinations.each_received_once(i))
      return std::unexpected(
          invariant(fmt::format("phase {} transfer {} does not have exactly one activity per destination", id, i)));

  return {};
}

}  // namespace kel_codegen::exchange
