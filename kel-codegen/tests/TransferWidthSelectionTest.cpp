// Which ordinary transfers have a paired form, and the choice between the
// ordinary and the paired schedule of a phase.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/TransferWidthSelection.h"
#include "kel_runtime/testing/LogCapture.h"

namespace kel_codegen::exchange {
namespace {

PendingTransfer word32(std::uint16_t source, std::vector<std::uint32_t> source_addresses,
                       std::vector<PendingDestination> destinations, std::uint32_t words, BlockValueId value = 0) {
  PendingTransfer t;
  t.source = source;
  t.source_addresses = std::move(source_addresses);
  t.destinations = std::move(destinations);
  t.words = words;
  t.value = {value, 0};
  t.refresh_source_elements();
  return t;
}

kel_exchange::Topology topology(std::uint16_t tiles) { return *phase_topology(tiles); }

// In the R817 map logical tiles 2k and 2k + 1 form a pair: (10, 11) is one.
TEST(PairedTransferAlternatives, ConvertibleOnlyWithEvenAlignedPairedPayload) {
  struct Case {
    const char* name;
    PendingTransfer transfer;
    bool convertible;
  };
  const Case cases[] = {
      {"128 words to the pair (10, 11)", word32(0, {0x100}, {{10, 0x2000}, {11, 0x2000}}, 128), true},
      {"every Repeat address 8-aligned", word32(0, {0x100, 0x900}, {{10, 0x2000}, {11, 0x2000}}, 128), true},
      {"two pairs", word32(4, {0x100}, {{10, 0x2000}, {11, 0x2000}, {12, 0x800}, {13, 0x800}}, 256), true},
      {"126 words", word32(0, {0x100}, {{10, 0x2000}, {11, 0x2000}}, 126), false},
      {"129 words", word32(0, {0x100}, {{10, 0x2000}, {11, 0x2000}}, 129), false},
      {"4-aligned source address", word32(0, {0x104}, {{10, 0x2000}, {11, 0x2000}}, 128), false},
      {"one 4-aligned Repeat address", word32(0, {0x100, 0x904}, {{10, 0x2000}, {11, 0x2000}}, 128), false},
      {"different addresses on 10 and 11", word32(0, {0x100}, {{10, 0x2000}, {11, 0x2008}}, 128), false},
      {"equal 4-aligned destination addresses", word32(0, {0x100}, {{10, 0x2004}, {11, 0x2004}}, 128), false},
      {"only tile 10", word32(0, {0x100}, {{10, 0x2000}}, 128), false},
      {"half of a second pair", word32(0, {0x100}, {{10, 0x2000}, {11, 0x2000}, {12, 0x800}}, 128), false},
      {"the source's own pair", word32(0, {0x100}, {{0, 0x2000}, {1, 0x2000}}, 128), false},
      {"the source's partner paired with another tile is still its pair",
       word32(2, {0x100}, {{3, 0x2000}, {2, 0x2000}, {10, 0x400}, {11, 0x400}}, 128), false},
  };
  const auto topo = topology(16);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<PendingTransfer> pending{c.transfer};
    const auto alternatives = paired_transfer_alternatives(pending, topo, 16);
    ASSERT_TRUE(alternatives.has_value()) << alternatives.error().message();
    ASSERT_EQ(alternatives->size(), 1u);
    EXPECT_EQ((*alternatives)[0].has_value(), c.convertible);
  }
}

TEST(PairedTransferAlternatives, PairedFormListsPairsByIdentifierInInputOrder) {
  // Pair (12, 13) has a higher identifier than (10, 11); within a pair the
  // input order stays.
  auto ordinary = word32(4, {0x100, 0x300}, {{13, 0x800}, {11, 0x2000}, {12, 0x800}, {10, 0x2000}}, 256, 7);
  const std::vector<PendingTransfer> pending{ordinary};
  const auto alternatives = paired_transfer_alternatives(pending, topology(16), 16);
  ASSERT_TRUE(alternatives.has_value());
  ASSERT_TRUE((*alternatives)[0].has_value());
  const PendingTransfer& paired = *(*alternatives)[0];

  PendingTransfer expected = ordinary;
  expected.width = ExchangeItemWidth::Paired64;
  expected.partner = 5;
  expected.destinations = {{11, 0x2000}, {10, 0x2000}, {13, 0x800}, {12, 0x800}};
  EXPECT_EQ(paired, expected);
}

TEST(PairedTransferAlternatives, PairedTransfersAndMixedListsKeepTheirWidth) {
  PendingTransfer already = word32(0, {0x100}, {{10, 0x2000}, {11, 0x2000}}, 128);
  already.width = ExchangeItemWidth::Paired64;
  already.partner = 1;
  const std::vector<PendingTransfer> pending{already, word32(2, {0x100}, {{3, 0x40}}, 4),
                                             word32(6, {0x200}, {{12, 0x40}, {13, 0x40}}, 128)};
  const auto alternatives = paired_transfer_alternatives(pending, topology(16), 16);
  ASSERT_TRUE(alternatives.has_value());
  EXPECT_FALSE((*alternatives)[0].has_value());
  EXPECT_FALSE((*alternatives)[1].has_value());
  EXPECT_TRUE((*alternatives)[2].has_value());
}

TEST(PairedTransferAlternatives, SourceWithoutPartnerFailsTheCall) {
  // With three tiles, tile 2's partner is not part of the topology.
  const std::vector<PendingTransfer> pending{word32(2, {0x100}, {{0, 0x2000}, {1, 0x2000}}, 128)};
  const auto alternatives = paired_transfer_alternatives(pending, topology(3), 3);
  ASSERT_FALSE(alternatives.has_value());
  EXPECT_EQ(alternatives.error().message(), "logical tile 2 is out of range");

  // The cheap checks come first: an odd payload never asks for the partner.
  const std::vector<PendingTransfer> odd{word32(2, {0x100}, {{0, 0x2000}, {1, 0x2000}}, 129)};
  EXPECT_TRUE(paired_transfer_alternatives(odd, topology(3), 3).has_value());
}

class WidthSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    log_.install("kel_codegen::exchange=debug,kel_codegen::exchange::order=off");
  }
  kel_runtime::testing::LogCapture log_;
};

TEST_F(WidthSelection, NoCandidateMeansOneOrdinaryScheduleAndNoEvent) {
  const std::vector<PendingTransfer> pending{word32(0, {0x100}, {{10, 0x2000}}, 200),
                                             word32(2, {0x104}, {{10, 0x3000}, {11, 0x3000}}, 128)};
  const auto selected = select_transfer_widths(9, topology(16), pending, 16);
  ASSERT_TRUE(selected.has_value()) << selected.error().message();
  const auto direct = optimize_owned_pending(topology(16), pending, 16);
  ASSERT_TRUE(direct.has_value());
  EXPECT_EQ(selected->pending, pending);
  EXPECT_EQ(selected->optimized.schedule.horizon, direct->optimized.schedule.horizon);
  EXPECT_EQ(selected->optimized.schedule.order, direct->optimized.schedule.order);
  EXPECT_EQ(log_.count("compared ordinary and paired"), 0u);
  EXPECT_EQ(log_.count("not encodable"), 0u);
}

TEST_F(WidthSelection, ShorterPairedScheduleWins) {
  const std::vector<PendingTransfer> pending{word32(0, {0x100}, {{10, 0x2000}, {11, 0x2000}}, 1024)};
  const auto selected = select_transfer_widths(9, topology(16), pending, 16);
  ASSERT_TRUE(selected.has_value()) << selected.error().message();
  ASSERT_EQ(selected->pending.size(), 1u);
  EXPECT_EQ(selected->pending[0].width, ExchangeItemWidth::Paired64);
  const auto ordinary = optimize_owned_pending(topology(16), pending, 16);
  ASSERT_TRUE(ordinary.has_value());
  const std::string expected = fmt::format(
      "\"fields\":{{\"message\":\"compared ordinary and paired exchange schedules\",\"phase\":9,\"candidates\":1,"
      "\"ordinary_horizon\":{},\"paired_horizon\":{},\"use_paired\":true}}",
      ordinary->optimized.schedule.horizon, selected->optimized.schedule.horizon);
  EXPECT_LT(selected->optimized.schedule.horizon, ordinary->optimized.schedule.horizon);
  EXPECT_EQ(log_.count(expected), 1u) << log_.output();
}

TEST_F(WidthSelection, EqualHorizonsKeepTheOrdinarySchedule) {
  // A long transfer between other tiles sets the horizon either way.
  const std::vector<PendingTransfer> pending{word32(4, {0x100}, {{6, 0x100}}, 4000),
                                             word32(0, {0x100}, {{10, 0x2000}, {11, 0x2000}}, 128)};
  const auto selected = select_transfer_widths(3, topology(16), pending, 16);
  ASSERT_TRUE(selected.has_value()) << selected.error().message();
  EXPECT_EQ(selected->pending, pending);
  EXPECT_EQ(log_.count("\"use_paired\":false"), 1u) << log_.output();
}

TEST_F(WidthSelection, MissingPartnerFailsTheSelection) {
  const std::vector<PendingTransfer> pending{word32(2, {0x100}, {{0, 0x2000}, {1, 0x2000}}, 128)};
  const auto selected = select_transfer_widths(3, topology(3), pending, 3);
  ASSERT_FALSE(selected.has_value());
  EXPECT_EQ(selected.error().message(), "logical tile 2 is out of range");
}

}  // namespace
}  // namespace kel_codegen::exchange
