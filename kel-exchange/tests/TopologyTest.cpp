// The R817 tile map, pairing, topology construction and fabric directions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "kel_exchange/Topology.h"

namespace kel_exchange {
namespace {

struct SampleRow {
  std::uint16_t logical;
  std::uint16_t physical;
  std::uint32_t row;
  std::uint32_t column_pair;
  std::uint32_t pair_bit;
  std::uint32_t column_bit;
};

TEST(TopologyR817, SampleRows) {
  const SampleRow rows[] = {
      {0, 0, 0, 0, 0, 0},      {1, 2, 0, 0, 1, 0},         {2, 64, 1, 0, 0, 0},     {3, 66, 1, 0, 1, 0},
      {44, 1408, 22, 0, 0, 0}, {45, 1410, 22, 0, 1, 0},    {46, 1409, 22, 0, 0, 1}, {47, 1411, 22, 0, 1, 1},
      {48, 1345, 21, 0, 0, 1}, {90, 1, 0, 0, 0, 1},        {91, 3, 0, 0, 1, 1},     {92, 4, 0, 1, 0, 0},
      {184, 8, 0, 2, 0, 0},    {1425, 1470, 22, 15, 1, 0}, {1471, 63, 0, 15, 1, 1},
  };
  const Topology topology = Topology::r817();
  for (const SampleRow& r : rows) {
    SCOPED_TRACE(r.logical);
    const auto p = topology.physical(r.logical);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(*p, r.physical);
    EXPECT_EQ(r817_physical(r.logical), r.physical);
    EXPECT_EQ(physical::row(*p), r.row);
    EXPECT_EQ(physical::column_pair(*p), r.column_pair);
    EXPECT_EQ(physical::pair_bit(*p), r.pair_bit);
    EXPECT_EQ(physical::column_bit(*p), r.column_bit);
  }
}

TEST(TopologyR817, IsAPermutationWithColumnPairsFromColumns) {
  const Topology topology = Topology::r817();
  ASSERT_EQ(topology.tile_count(), 1472u);
  std::vector<std::uint16_t> sorted = topology.logical_to_physical();
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::uint16_t> all(1472);
  std::iota(all.begin(), all.end(), std::uint16_t{0});
  EXPECT_EQ(sorted, all);
  for (std::uint16_t l = 0; l < 1472; ++l)
    ASSERT_EQ(physical::column_pair(topology.logical_to_physical()[l]), (l / 46u) / 2u) << l;
  EXPECT_EQ(topology.physical(1472).error(), ExchangeError::tile(1472));
  EXPECT_EQ(Topology::r817(), topology);
}

TEST(TopologyPairing, PartnerIsLogicalXorOneOnR817) {
  const Topology topology = Topology::r817();
  for (std::uint16_t l = 0; l < 1472; ++l) {
    const auto partner = topology.paired_logical(l);
    ASSERT_TRUE(partner.has_value()) << l;
    ASSERT_EQ(*partner, l ^ 1u);
  }
  EXPECT_EQ(topology.paired_logical(1472).error(), ExchangeError::tile(1472));
  EXPECT_EQ(topology.paired_logical(65535).error(), ExchangeError::tile(65535));
}

TEST(TopologyPairing, OddPrefixLeavesTheLastTileUnpaired) {
  const Topology r817 = Topology::r817();
  const std::vector<std::uint16_t> prefix(r817.logical_to_physical().begin(), r817.logical_to_physical().begin() + 3);
  const auto topology = Topology::create(prefix);
  ASSERT_TRUE(topology.has_value());
  EXPECT_EQ(topology->paired_logical(0), 1u);
  EXPECT_EQ(topology->paired_logical(1), 0u);
  EXPECT_EQ(topology->paired_logical(2).error(), ExchangeError::tile(2));
  EXPECT_EQ(topology->paired_logical(3).error(), ExchangeError::tile(3));
}

TEST(TopologyCreate, RejectsEmptyOrRepeatingTables) {
  const std::vector<std::vector<std::uint16_t>> bad = {{}, {5, 5}, {0, 2, 64, 2}, {7, 1, 9, 7}};
  for (const auto& table : bad) {
    const auto topology = Topology::create(table);
    ASSERT_FALSE(topology.has_value());
    EXPECT_EQ(topology.error(), ExchangeError::receiver_set());
  }
}

TEST(TopologyCreate, KeepsTheTableInOrder) {
  const std::vector<std::uint16_t> table = {9, 3, 1000, 0};
  const auto topology = Topology::create(table);
  ASSERT_TRUE(topology.has_value());
  EXPECT_EQ(topology->logical_to_physical(), table);
  EXPECT_EQ(topology->tile_count(), 4u);
  EXPECT_EQ(topology->physical(2), 1000u);
  EXPECT_EQ(topology->physical(4).error(), ExchangeError::tile(4));
}

TEST(TopologyDirection, ExampleAndReverse) {
  EXPECT_EQ(direction(0, 4), (Direction{1, 7}));
  EXPECT_EQ(direction(4, 0), (Direction{2, -5}));
}

TEST(TopologyDirection, DeltaIsNeverZeroAndCodeFollowsItsSign) {
  for (std::uint16_t p = 0; p < 1472; ++p) {
    ASSERT_EQ(physical::sender_position(p) % 6, 0) << p;
    ASSERT_NE(physical::receiver_position(p) % 6, 0) << p;
  }
  for (std::uint16_t s = 0; s < 1472; ++s) {
    for (std::uint16_t r = 0; r < 1472; ++r) {
      const Direction d = direction(s, r);
      ASSERT_NE(d.delta, 0) << s << " -> " << r;
      ASSERT_EQ(d.code, d.delta > 0 ? 1u : 2u) << s << " -> " << r;
      ASSERT_EQ(d.delta, physical::receiver_position(r) - physical::sender_position(s));
    }
  }
}

TEST(TopologyFabric, PositionsOfFoldedColumnPairs) {
  // Column pairs 7 and 8 fold onto 7, 0 and 15 onto 0.
  EXPECT_EQ(physical::folded_column_pair(7 << 2), 7u);
  EXPECT_EQ(physical::folded_column_pair(8 << 2), 7u);
  EXPECT_EQ(physical::folded_column_pair(15 << 2), 0u);
  EXPECT_EQ(physical::half(8 << 2), 1u);
  // Lanes: pair bit 0 near 1, far 5; pair bit 1 near 2, far 4 (near: column bit equals half).
  EXPECT_EQ(physical::receiver_position(0b00), 1);
  EXPECT_EQ(physical::receiver_position(0b01), 5);
  EXPECT_EQ(physical::receiver_position(0b10), 2);
  EXPECT_EQ(physical::receiver_position(0b11), 4);
  EXPECT_EQ(physical::receiver_position((15 << 2) | 0b01), 1);
  EXPECT_EQ(physical::sender_position((15 << 2) | 0b00), 6);
  EXPECT_EQ(physical::sender_position((15 << 2) | 0b01), 0);
}

}  // namespace
}  // namespace kel_exchange

TEST(TopologyR817Partner, AgreesWithTheBoardsOwnLookup) {
  const kel_exchange::Topology board = kel_exchange::Topology::r817();
  for (std::uint32_t l = 0; l < 1600; ++l) {
    const auto logical = static_cast<std::uint16_t>(l);
    EXPECT_EQ(kel_exchange::r817_paired_logical(logical), board.paired_logical(logical)) << l;
  }
}
