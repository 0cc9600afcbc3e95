// Conversion of snapshot transfers into pending transfers. The checks run in a
// fixed order and the first failure wins; validation runs the same checks
// without building records, so both report the same error.
#include "kel_codegen/exchange/PendingTransfer.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "kel_exchange/Topology.h"
#include "kel_runtime/Invariant.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {

namespace {

using kel_exchange::ExchangeError;
using kel_exchange::Topology;


ExchangeLoweringError invalid(std::uint32_t phase, std::size_t index, std::string_view what) {
  return ExchangeLoweringError::invalid_snapshot(fmt::format("phase {} transfer {} {}", phase, index, what));
}

bool fits(std::uint32_t address, std::uint32_t words) {
  return std::uint64_t{address} + std::uint64_t{words} * 4u <= 0xFFFFFFFFu;
}

// Destination tiles already seen in the current transfer; cleared after each
// transfer so one set serves a whole phase.
class TileSet {
 public:
  explicit TileSet(std::uint16_t tile_count) : bits_((std::size_t{tile_count} + 63) / 64, 0) {}
  /// Inserts `tile` (below the tile count); false when it was there already.
  bool insert(std::uint16_t tile) {
    std::uint64_t& word = bits_[tile / 64];
    const std::uint64_t bit = std::uint64_t{1} << (tile % 64);
    if (word & bit) return false;
    word |= bit;
    return true;
  }
  void erase(std::uint16_t tile) { bits_[tile / 64] &= ~(std::uint64_t{1} << (tile % 64)); }

 private:
  std::vector<std::uint64_t> bits_;
};

// All checks of one transfer in their order; yields the partner tile.
std::expected<std::optional<std::uint16_t>, ExchangeLoweringError> check_transfer(
    const ExchangeScheduleProblem& problem, std::size_t index, std::uint16_t tile_count, TileSet& seen) {
  const ExchangeScheduleTransfer& t = problem.transfers[index];
  const std::uint32_t phase = problem.phase;
  const bool paired = t.width == ExchangeItemWidth::Paired64;
  const std::uint32_t alignment = paired ? 8 : 4;

  if (t.source >= tile_count)
    return std::unexpected(
        invalid(phase, index, fmt::format("has source tile {} outside 0..{}", t.source, tile_count)));
  if (t.words < 1 || t.words > kMaxTransferWords)
    return std::unexpected(invalid(phase, index, fmt::format("has invalid word count {}", t.words)));
  if (paired && (t.words < kMinPairedWords || t.words % 2 != 0))
    return std::unexpected(invalid(phase, index, fmt::format("has invalid {}-word paired payload", t.words)));
  if (t.source_addresses.empty()) return std::unexpected(invalid(phase, index, "has no source addresses"));
  for (const std::uint32_t address : t.source_addresses) {
    if (address % alignment != 0)
      return std::unexpected(invalid(phase, index, fmt::format("has unaligned source address {:#x}", address)));
    if (!fits(address, t.words)) return std::unexpected(ExchangeLoweringError::overflow());
  }
  if (t.destinations.empty()) return std::unexpected(invalid(phase, index, "has no destinations"));

  std::size_t inserted = 0;
  auto check_destinations = [&]() -> std::expected<void, ExchangeLoweringError> {
    for (const ExchangeScheduleDestination& d : t.destinations) {
      const auto bad_tile = [&] {
        return invalid(phase, index, fmt::format("has invalid destination tile {}", d.tile));
      };
      if (d.tile >= tile_count) return std::unexpected(bad_tile());
      if (d.tile == t.source) {
        // A loopback is a multicast side effect that must not touch memory
        // the transfer reads.
        const bool overlaps = std::any_of(t.source_addresses.begin(), t.source_addresses.end(), [&](std::uint32_t s) {
          return spans_share_effective_memory_element(s, t.words, d.address, t.words);
        });
        if (paired || t.destinations.size() < 2 || overlaps) return std::unexpected(bad_tile());
      }
      if (!seen.insert(d.tile)) return std::unexpected(bad_tile());
      ++inserted;
      if (d.address % alignment != 0)
        return std::unexpected(
            invalid(phase, index, fmt::format("has unaligned destination address {:#x}", d.address)));
      if (!fits(d.address, t.words)) return std::unexpected(ExchangeLoweringError::overflow());
    }
    return {};
  };
  const auto destinations_ok = check_destinations();
  for (std::size_t k = 0; k < inserted; ++k) seen.erase(t.destinations[k].tile);
  if (!destinations_ok) return std::unexpected(destinations_ok.error());

  if (index > 0xFFFFFFFFu) return std::unexpected(ExchangeLoweringError::overflow());

  if (!paired) return std::optional<std::uint16_t>();
  const std::uint16_t partner = TRY(kel_exchange::r817_paired_logical(t.source));
  // The rest of the scheduler indexes per-tile tables by every tile a transfer
  // touches, so a partner outside the phase's tiles cannot be scheduled.
  if (partner >= tile_count)
    return std::unexpected(
        invalid(phase, index, fmt::format("has paired partner tile {} outside 0..{}", partner, tile_count)));
  return std::optional<std::uint16_t>(partner);
}

}  // namespace

void PendingTransfer::refresh_source_elements() {
  source_elements.clear();
  for (const std::uint32_t address : source_addresses)
    for (const ExchangeMemoryElement e : memory_elements(address, words)) source_elements.push_back(e);
  std::sort(source_elements.begin(), source_elements.end());
  source_elements.erase(std::unique(source_elements.begin(), source_elements.end()), source_elements.end());
}

std::expected<std::vector<PendingTransfer>, ExchangeLoweringError> pending_from_problem(
    const ExchangeScheduleProblem& problem, std::uint16_t tile_count) {
  TileSet seen(tile_count);
  std::vector<PendingTransfer> pending;
  pending.reserve(problem.transfers.size());
  for (std::size_t i = 0; i < problem.transfers.size(); ++i) {
    const std::optional<std::uint16_t> partner = TRY(check_transfer(problem, i, tile_count, seen));
    const ExchangeScheduleTransfer& t = problem.transfers[i];
    PendingTransfer& p = pending.emplace_back();
    p.destinations.reserve(t.destinations.size());
    for (const ExchangeScheduleDestination& d : t.destinations) p.destinations.push_back({d.tile, d.address});
    p.source_addresses = t.source_addresses;
    p.partner = partner;
    p.value = {static_cast<BlockValueId>(i), 0};
    p.words = t.words;
    p.source = t.source;
    p.width = t.width;
    p.refresh_source_elements();
  }
  return pending;
}

std::expected<void, ExchangeLoweringError> check_problem_transfers(const ExchangeScheduleProblem& problem,
                                                                   std::uint16_t tile_count) {
  TileSet seen(tile_count);
  for (std::size_t i = 0; i < problem.transfers.size(); ++i) TRY(check_transfer(problem, i, tile_count, seen));
  return {};
}

}  // namespace kel_codegen::exchange
