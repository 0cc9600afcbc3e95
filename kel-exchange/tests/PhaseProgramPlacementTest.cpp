// Placement without a staged proof edits the tiles in place: it must leave
// exactly the schedules that placement through a staged proof leaves, and a
// refused placement must leave every tile as it was.
#include <gtest/gtest.h>

#include <random>

#include "kel_exchange/PhaseProgramBuilder.h"
#include "kel_exchange/Topology.h"

namespace {

using namespace kel_exchange;

constexpr std::uint16_t kTiles = 12;

struct Route {
  MulticastPlan plan;
  PreparedTransfer prepared;
  std::vector<std::uint16_t> receivers;
  std::vector<std::uint16_t> partners;
  std::uint16_t source = 0;
  std::uint32_t items = 0;
};

/// What placement decides about a tile; encodings and their bases are
/// caches and may differ between the two ways of placing.
void expect_same_tile(const TileProgramSchedule& a, const TileProgramSchedule& b, std::size_t tile) {
  SCOPED_TRACE(tile);
  EXPECT_TRUE(a.sender_rows == b.sender_rows);
  EXPECT_TRUE(a.receive_events == b.receive_events);
  EXPECT_EQ(a.receive_state, b.receive_state);
  EXPECT_EQ(a.ready_cycle, b.ready_cycle);
  EXPECT_EQ(a.event_horizon, b.event_horizon);
}

void expect_same_tiles(const PhaseProgramBuilder& a, const PhaseProgramBuilder& b) {
  ASSERT_EQ(a.tiles().size(), b.tiles().size());
  for (std::size_t t = 0; t < a.tiles().size(); ++t) expect_same_tile(a.tiles()[t], b.tiles()[t], t);
}

Route random_route(const Topology& topology, std::mt19937& rng) {
  const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  Route route;
  route.source = static_cast<std::uint16_t>(pick(0, kTiles - 1));
  route.items = pick(1, 90);
  const std::uint32_t count = pick(1, 4);
  while (route.receivers.size() < count) {
    const auto tile = static_cast<std::uint16_t>(pick(0, kTiles - 1));
    bool seen = count == 1 && tile == route.source;
    for (const std::uint16_t r : route.receivers) seen = seen || r == tile;
    if (!seen) route.receivers.push_back(tile);
  }
  // Now and then a tile that must be held busy, as a paired source's partner.
  if (pick(0, 4) == 0) {
    const auto partner = static_cast<std::uint16_t>(pick(0, kTiles - 1));
    bool listed = partner == route.source;
    for (const std::uint16_t r : route.receivers) listed = listed || r == partner;
    if (!listed) route.partners.push_back(partner);
  }
  route.plan = topology.multicast(route.source, route.receivers, route.items, 0).value();
  route.prepared = route.plan.prepare().value();
  return route;
}

TEST(PhaseProgramPlacement, InPlaceMatchesStagedPlacement) {
  const Topology topology = Topology::r817_prefix(kTiles).value();
  std::size_t placed = 0;
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto staged = PhaseProgramBuilder::create(kTiles);
    auto in_place = PhaseProgramBuilder::create(kTiles);
    for (int i = 0; i < 60; ++i) {
      const Route route = random_route(topology, rng);
      const std::uint32_t not_before = std::uniform_int_distribution<std::uint32_t>(0, 400)(rng);
      const auto offset = staged.earliest_transfer_offset(route.source, route.partners, route.receivers, route.prepared,
                                                          route.items, not_before);
      if (!offset) continue;  // an unencodable spot; both builders skip it
      ASSERT_TRUE(staged.staged().has_value());
      const auto via_proof = staged.append_transfer_at(route.source, route.partners, route.receivers, route.prepared,
                                                       *offset, route.items);
      const auto direct = in_place.append_transfer_at(route.source, route.partners, route.receivers, route.prepared,
                                                      *offset, route.items);
      ASSERT_EQ(via_proof.has_value(), direct.has_value());
      if (via_proof) {
        EXPECT_EQ(*via_proof, *direct);
        ++placed;
      }
      expect_same_tiles(staged, in_place);
    }
    const auto a = staged.finish();
    const auto b = in_place.finish();
    ASSERT_EQ(a.has_value(), b.has_value());
    if (a) {
      EXPECT_EQ(a->programs, b->programs);
    }
  }
  EXPECT_GT(placed, 300u);
}

TEST(PhaseProgramPlacement, RefusedPlacementChangesNoTile) {
  const Topology topology = Topology::r817_prefix(kTiles).value();
  std::mt19937 rng(99);
  auto builder = PhaseProgramBuilder::create(kTiles);
  std::size_t refused = 0, placed = 0;
  for (int i = 0; i < 200; ++i) {
    const Route route = random_route(topology, rng);
    // Offsets picked blindly collide with what is placed (overlapping rows or
    // streams, controls on a send's first cycles) as often as not.
    const std::uint32_t offset = std::uniform_int_distribution<std::uint32_t>(0, 600)(rng);
    const PhaseProgramBuilder before = builder;
    const auto result =
        builder.append_transfer_at(route.source, route.partners, route.receivers, route.prepared, offset, route.items);
    if (result) {
      ++placed;
      continue;
    }
    ++refused;
    expect_same_tiles(before, builder);
  }
  EXPECT_GT(refused, 10u);
  EXPECT_GT(placed, 10u);
}

TEST(PhaseProgramPlacement, RefusalsKeepTheirOrder) {
  // A repeated receiver is reported before a partner that is also a receiver,
  // and that before an out-of-range partner, as preparation and placement
  // check them in that order.
  const Topology topology = Topology::r817_prefix(kTiles).value();
  auto builder = PhaseProgramBuilder::create(kTiles);
  const MulticastPlan plan = topology.multicast(0, std::vector<std::uint16_t>{2, 3}, 20, 0).value();
  const PreparedTransfer prepared = plan.prepare().value();
  const std::vector<std::uint16_t> repeated{2, 2}, distinct{2, 3};
  const std::vector<std::uint16_t> receiver_partner{3}, far_partner{static_cast<std::uint16_t>(kTiles + 5)};
  EXPECT_EQ(builder.append_transfer_at(0, receiver_partner, repeated, prepared, 0, 20).error(),
            ExchangeError::duplicate_tile());
  EXPECT_EQ(builder.append_transfer_at(0, receiver_partner, distinct, prepared, 0, 20).error(),
            ExchangeError::duplicate_tile());
  EXPECT_EQ(builder.append_transfer_at(0, far_partner, distinct, prepared, 0, 20).error(),
            ExchangeError::tile(static_cast<std::uint16_t>(kTiles + 5)));
  EXPECT_EQ(builder.event_cycles(), 0u);
}

}  // namespace
