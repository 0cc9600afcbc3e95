// Route checks through the exchange layer's own route builders.
#include "kel_tests/gen/RoutabilityCheck.h"

#include <algorithm>

#include "kel_exchange/PreparedTransfer.h"
#include "kel_runtime/Invariant.h"

namespace kel_tests::gen {

namespace {

kel_exchange::Topology phase_topology(std::uint16_t tiles) {
  auto topology = kel_exchange::Topology::r817_prefix(tiles);
  kel_runtime::expect(topology.has_value(), "generator tile count is a prefix of the R817 board");
  return std::move(*topology);
}

}  // namespace

RoutabilityCheck::RoutabilityCheck(std::uint16_t tiles) : topology_(phase_topology(tiles)), tiles_(tiles) {}

std::optional<std::uint16_t> RoutabilityCheck::partner(std::uint16_t tile) const {
  const auto partner = kel_exchange::r817_paired_logical(tile);
  if (!partner || *partner >= tiles_) return std::nullopt;
  return *partner;
}

bool RoutabilityCheck::paired_routable(std::uint16_t source, std::span<const std::uint16_t> receivers,
                                       std::uint32_t words) const {
  if (words % 2 != 0) return false;
  return topology_.paired_multicast(source, receivers, words / 2).has_value();
}

bool RoutabilityCheck::loopback_routable(std::uint16_t source, std::span<const std::uint16_t> receivers,
                                         std::uint32_t words) const {
  const auto own = std::find(receivers.begin(), receivers.end(), source);
  if (own == receivers.end()) return true;
  const auto plan = topology_.multicast(source, receivers, words, 0);
  if (!plan) return false;
  const auto prepared = plan->prepare();
  if (!prepared) return false;
  const auto& row = prepared->receive_rows[static_cast<std::size_t>(own - receivers.begin())];
  // The source tile's program issues its send on these two cycles; a receive
  // control of its own row there has no encoding.
  const auto collides = [&](std::uint32_t cycle) {
    return cycle == prepared->send_start || cycle == prepared->send_start + 1;
  };
  if (std::ranges::any_of(row.events, [&](const auto& event) { return collides(event.cycle); })) return false;
  for (const auto& cycle : {row.source, row.pointer, row.teardown})
    if (cycle && collides(*cycle)) return false;
  return !(row.source && collides(*row.source + words));
}

}  // namespace kel_tests::gen
