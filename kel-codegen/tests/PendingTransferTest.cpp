// Snapshot validation and the conversion into pending transfers: every check
// with its exact text, in check order, and the converted records themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_exchange/Topology.h"

namespace kel_codegen::exchange {
namespace {

constexpr auto W32 = ExchangeItemWidth::Word32;
constexpr auto P64 = ExchangeItemWidth::Paired64;

ExchangeScheduleSnapshot base() { return {3, 8, {{7, {{1, {0x1000}, {{2, 0x2000}}, 4, W32}}}}}; }

ExchangeScheduleTransfer& t0(ExchangeScheduleSnapshot& s) { return s.phases[0].transfers[0]; }

void make_paired(ExchangeScheduleTransfer& t, std::uint32_t words = 128) {
  t.width = P64;
  t.words = words;
}

struct ValidateCase {
  const char* name;
  std::function<void(ExchangeScheduleSnapshot&)> change;
  std::string message;  // empty when the snapshot is valid
};

class Validate : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(Validate, ReportsTheFirstFailingCheck) {
  ExchangeScheduleSnapshot s = base();
  GetParam().change(s);
  const auto result = s.validate();
  if (GetParam().message.empty()) {
    EXPECT_TRUE(result) << result.error().message();
    return;
  }
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), GetParam().message);
  const bool overflow = GetParam().message == "exchange address arithmetic overflowed";
  EXPECT_EQ(result.error().kind(),
            overflow ? ExchangeLoweringError::Kind::Overflow : ExchangeLoweringError::Kind::InvalidSnapshot);
}

std::string validate_case_name(const ::testing::TestParamInfo<ValidateCase>& c) { return c.param.name; }

const std::string kPrefix = "invalid exchange-schedule snapshot: ";
const std::string kT0 = kPrefix + "phase 7 transfer 0 ";
const std::string kOverflow = "exchange address arithmetic overflowed";

INSTANTIATE_TEST_SUITE_P(Snapshot, Validate,
                         ::testing::Values(ValidateCase{"Valid", [](auto&) {}, ""},
                                           ValidateCase{"SchemaVersion2", [](auto& s) { s.schema_version = 2; },
                                                        kPrefix + "unsupported schema version 2 (expected 3)"},
                                           ValidateCase{"VersionBeforeTileCount",
                                                        [](auto& s) {
                                                          s.schema_version = 4;
                                                          s.tile_count = 0;
                                                        },
                                                        kPrefix + "unsupported schema version 4 (expected 3)"},
                                           ValidateCase{"TileCountZero", [](auto& s) { s.tile_count = 0; },
                                                        kPrefix + "tile count 0 is outside the R817 topology"},
                                           ValidateCase{"TileCount1473", [](auto& s) { s.tile_count = 1473; },
                                                        kPrefix + "tile count 1473 is outside the R817 topology"},
                                           ValidateCase{"TileCount1472", [](auto& s) { s.tile_count = 1472; }, ""},
                                           ValidateCase{"TileCountOne",
                                                        [](auto& s) {
                                                          s.tile_count = 1;
                                                          s.phases.clear();
                                                        },
                                                        ""},
                                           ValidateCase{"EmptyPhases", [](auto& s) { s.phases.clear(); }, ""},
                                           ValidateCase{"EmptyTransfers",
                                                        [](auto& s) { s.phases[0].transfers.clear(); }, ""},
                                           ValidateCase{"DuplicatePhaseBeforeItsTransfers",
                                                        [](auto& s) {
                                                          s.phases.push_back(s.phases[0]);
                                                          s.phases[1].transfers[0].source = 99;
                                                        },
                                                        kPrefix + "duplicate phase 7"},
                                           ValidateCase{"EarlierPhaseTransferBeforeDuplicate",
                                                        [](auto& s) {
                                                          s.phases.push_back(s.phases[0]);
                                                          t0(s).words = 0;
                                                        },
                                                        kT0 + "has invalid word count 0"},
                                           ValidateCase{"LaterPhaseNamesItsId",
                                                        [](auto& s) {
                                                          s.phases.push_back(s.phases[0]);
                                                          s.phases[1].phase = 9;
                                                          s.phases[1].transfers.push_back(s.phases[1].transfers[0]);
                                                          s.phases[1].transfers[1].source = 8;
                                                        },
                                                        kPrefix + "phase 9 transfer 1 has source tile 8 outside 0..8"}),
                         validate_case_name);

INSTANTIATE_TEST_SUITE_P(
    Transfer, Validate,
    ::testing::Values(
        ValidateCase{"SourceOutside", [](auto& s) { t0(s).source = 8; }, kT0 + "has source tile 8 outside 0..8"},
        ValidateCase{"SourceBeforeWords",
                     [](auto& s) {
                       t0(s).source = 8;
                       t0(s).words = 0;
                     },
                     kT0 + "has source tile 8 outside 0..8"},
        ValidateCase{"WordsZero", [](auto& s) { t0(s).words = 0; }, kT0 + "has invalid word count 0"},
        ValidateCase{"Words4149", [](auto& s) { t0(s).words = 4149; }, kT0 + "has invalid word count 4149"},
        ValidateCase{"Words4148", [](auto& s) { t0(s).words = 4148; }, ""},
        ValidateCase{"Paired126", [](auto& s) { make_paired(t0(s), 126); },
                     kT0 + "has invalid 126-word paired payload"},
        ValidateCase{"Paired129", [](auto& s) { make_paired(t0(s), 129); },
                     kT0 + "has invalid 129-word paired payload"},
        ValidateCase{"PairedWordCountFirst", [](auto& s) { make_paired(t0(s), 4149); },
                     kT0 + "has invalid word count 4149"},
        ValidateCase{"Paired128", [](auto& s) { make_paired(t0(s), 128); }, ""},
        ValidateCase{"Paired4148", [](auto& s) { make_paired(t0(s), 4148); }, ""},
        ValidateCase{"PayloadBeforeAddresses",
                     [](auto& s) {
                       make_paired(t0(s), 2);
                       t0(s).source_addresses.clear();
                     },
                     kT0 + "has invalid 2-word paired payload"},
        ValidateCase{"NoSourceAddresses", [](auto& s) { t0(s).source_addresses.clear(); },
                     kT0 + "has no source addresses"},
        ValidateCase{"SourceAddressesBeforeDestinations",
                     [](auto& s) {
                       t0(s).source_addresses.clear();
                       t0(s).destinations.clear();
                     },
                     kT0 + "has no source addresses"},
        ValidateCase{"UnalignedSource", [](auto& s) { t0(s).source_addresses = {0x1002}; },
                     kT0 + "has unaligned source address 0x1002"},
        ValidateCase{"UnalignedSourceNoLeadingZeros",
                     [](auto& s) {
                       t0(s).source_addresses = {0x1000, 2};
                     },
                     kT0 + "has unaligned source address 0x2"},
        ValidateCase{"PairedSourceNeedsEightBytes",
                     [](auto& s) {
                       make_paired(t0(s));
                       t0(s).source_addresses = {0x1004};
                     },
                     kT0 + "has unaligned source address 0x1004"},
        ValidateCase{"SourceOverflow",
                     [](auto& s) {
                       t0(s).words = 1;
                       t0(s).source_addresses = {0xFFFFFFFC};
                     },
                     kOverflow},
        ValidateCase{"SourceFitsAtTheTop",
                     [](auto& s) {
                       t0(s).words = 1;
                       t0(s).source_addresses = {0xFFFFFFF8};
                       t0(s).destinations = {{2, 0xFFFFFFF8}};
                     },
                     ""},
        ValidateCase{"SourceAddressesCheckedOneByOne",
                     [](auto& s) {
                       t0(s).words = 1;
                       t0(s).source_addresses = {0xFFFFFFFC, 0x1002};
                     },
                     kOverflow},
        ValidateCase{"SourceAddressesInOrder",
                     [](auto& s) {
                       t0(s).words = 1;
                       t0(s).source_addresses = {0x1002, 0xFFFFFFFC};
                     },
                     kT0 + "has unaligned source address 0x1002"},
        ValidateCase{"SourcesBeforeDestinations",
                     [](auto& s) {
                       t0(s).source_addresses = {0x1002};
                       t0(s).destinations.clear();
                     },
                     kT0 + "has unaligned source address 0x1002"},
        ValidateCase{"NoDestinations", [](auto& s) { t0(s).destinations.clear(); }, kT0 + "has no destinations"}),
    validate_case_name);

INSTANTIATE_TEST_SUITE_P(Destinations, Validate,
                         ::testing::Values(ValidateCase{"TileOutside",
                                                        [](auto& s) {
                                                          t0(s).destinations = {{8, 0x2000}};
                                                        },
                                                        kT0 + "has invalid destination tile 8"},
                                           ValidateCase{"TileBeforeAddress",
                                                        [](auto& s) {
                                                          t0(s).destinations = {{9, 0x2002}};
                                                        },
                                                        kT0 + "has invalid destination tile 9"},
                                           ValidateCase{"InDestinationOrder",
                                                        [](auto& s) {
                                                          t0(s).destinations = {{2, 0x2002}, {9, 0}};
                                                        },
                                                        kT0 + "has unaligned destination address 0x2002"},
                                           ValidateCase{"InDestinationOrderReversed",
                                                        [](auto& s) {
                                                          t0(s).destinations = {{9, 0}, {2, 0x2002}};
                                                        },
                                                        kT0 + "has invalid destination tile 9"},
                                           ValidateCase{"OnlyLoopback",
                                                        [](auto& s) {
                                                          t0(s).destinations = {{1, 0x8000}};
                                                        },
                                                        kT0 + "has invalid destination tile 1"},
                                           ValidateCase{"LoopbackInOtherElement",
                                                        [](auto& s) {
                                                          t0(s).words = 1;
                                                          t0(s).source_addresses = {0x0};
                                                          t0(s).destinations = {{2, 0x0}, {1, 0x4000}};
                                                        },
                                                        ""},
                                           ValidateCase{"LoopbackInSameElement",
                                                        [](auto& s) {
                                                          t0(s).words = 1;
                                                          t0(s).source_addresses = {0x0};
                                                          t0(s).destinations = {{2, 0x0}, {1, 0x3FFC}};
                                                        },
                                                        kT0 + "has invalid destination tile 1"},
                                           ValidateCase{"LoopbackAgainstEveryRepeatSource",
                                                        [](auto& s) {
                                                          t0(s).words = 1;
                                                          t0(s).source_addresses = {0x0, 0x8000};
                                                          t0(s).destinations = {{1, 0x8004}, {2, 0x0}};
                                                        },
                                                        kT0 + "has invalid destination tile 1"},
                                           ValidateCase{"LoopbackSpanReachingIntoTheSourceElement",
                                                        [](auto& s) {
                                                          t0(s).words = 8;
                                                          t0(s).source_addresses = {0x4000};
                                                          t0(s).destinations = {{2, 0x0}, {1, 0x3FF0}};
                                                        },
                                                        kT0 + "has invalid destination tile 1"},
                                           ValidateCase{"PairedLoopback",
                                                        [](auto& s) {
                                                          make_paired(t0(s));
                                                          t0(s).source_addresses = {0x0};
                                                          t0(s).destinations = {{2, 0x10000}, {1, 0x20000}};
                                                        },
                                                        kT0 + "has invalid destination tile 1"},
                                           ValidateCase{"DuplicateTile",
                                                        [](auto& s) {
                                                          t0(s).destinations = {{2, 0x2000}, {2, 0x3000}};
                                                        },
                                                        kT0 + "has invalid destination tile 2"},
                                           ValidateCase{"DuplicateLoopback",
                                                        [](auto& s) {
                                                          t0(s).words = 1;
                                                          t0(s).source_addresses = {0x0};
                                                          t0(s).destinations = {{2, 0x0}, {1, 0x4000}, {1, 0x8000}};
                                                        },
                                                        kT0 + "has invalid destination tile 1"},
                                           ValidateCase{"UnalignedAddress",
                                                        [](auto& s) {
                                                          t0(s).destinations = {{2, 0x2002}};
                                                        },
                                                        kT0 + "has unaligned destination address 0x2002"},
                                           ValidateCase{"PairedAddressNeedsEightBytes",
                                                        [](auto& s) {
                                                          make_paired(t0(s));
                                                          t0(s).destinations = {{2, 0x2004}};
                                                        },
                                                        kT0 + "has unaligned destination address 0x2004"},
                                           ValidateCase{"AddressOverflow",
                                                        [](auto& s) {
                                                          t0(s).words = 1;
                                                          t0(s).destinations = {{2, 0xFFFFFFFC}};
                                                        },
                                                        kOverflow},
                                           ValidateCase{"SecondTransferIsIndexed",
                                                        [](auto& s) {
                                                          s.phases[0].transfers.push_back(t0(s));
                                                          s.phases[0].transfers[1].destinations = {{3, 0}, {3, 4}};
                                                        },
                                                        kPrefix + "phase 7 transfer 1 has invalid destination tile 3"},
                                           ValidateCase{"DestinationSetIsPerTransfer",
                                                        [](auto& s) {
                                                          s.phases[0].transfers.push_back(t0(s));
                                                          s.phases[0].transfers.push_back(t0(s));
                                                        },
                                                        ""}),
                         validate_case_name);

// The partner of tile 2 on the R817 board is tile 3, so with three tiles a
// paired transfer from tile 2 has a partner outside the phase.
INSTANTIATE_TEST_SUITE_P(Partner, Validate,
                         ::testing::Values(ValidateCase{"PartnerOutsideTheTileCount",
                                                        [](auto& s) {
                                                          s.tile_count = 3;
                                                          make_paired(t0(s));
                                                          t0(s).source = 2;
                                                          t0(s).destinations = {{0, 0x2000}};
                                                        },
                                                        kT0 + "has paired partner tile 3 outside 0..3"},
                                           ValidateCase{"PartnerInsideTheTileCount",
                                                        [](auto& s) {
                                                          s.tile_count = 4;
                                                          make_paired(t0(s));
                                                          t0(s).source = 2;
                                                          t0(s).destinations = {{0, 0x2000}};
                                                        },
                                                        ""},
                                           ValidateCase{"PartnerAfterDestinations",
                                                        [](auto& s) {
                                                          s.tile_count = 3;
                                                          make_paired(t0(s));
                                                          t0(s).source = 2;
                                                          t0(s).destinations = {{0, 0x2004}};
                                                        },
                                                        kT0 + "has unaligned destination address 0x2004"}),
                         validate_case_name);

TEST(PendingFromProblem, PartnerComesFromTheFullBoard) {
  const auto board = kel_exchange::Topology::r817();
  ASSERT_EQ(board.paired_logical(2), 3);
  for (std::uint16_t tile : {std::uint16_t{0}, std::uint16_t{45}, std::uint16_t{46}, std::uint16_t{1471}}) {
    ExchangeScheduleProblem p{1, {{tile, {0}, {{static_cast<std::uint16_t>(tile == 0 ? 5 : 0), 0}}, 128, P64}}};
    const auto pending = pending_from_problem(p, 1472);
    ASSERT_TRUE(pending) << pending.error().message();
    EXPECT_EQ((*pending)[0].partner, board.paired_logical(tile).value());
  }
}

TEST(PendingFromProblem, ExchangeErrorOfThePartnerLookupPassesThrough) {
  // A caller beyond the board's tile count reaches the lookup with a tile the
  // board does not have.
  ExchangeScheduleProblem p{1, {{1500, {0}, {{0, 0}}, 128, P64}}};
  const auto pending = pending_from_problem(p, 2000);
  ASSERT_FALSE(pending);
  EXPECT_EQ(pending.error(), ExchangeLoweringError(kel_exchange::ExchangeError::tile(1500)));
  EXPECT_EQ(pending.error().message(), "logical tile 1500 is out of range");
}

TEST(PendingFromProblem, BuildsTheRecords) {
  ExchangeScheduleProblem p{
      4, {{1, {0x8000, 0x0, 0x7FF0}, {{3, 0x4000}, {1, 0x10000}}, 8, W32}, {2, {0x100}, {{0, 0x200}}, 128, P64}}};
  const auto pending = pending_from_problem(p, 8);
  ASSERT_TRUE(pending) << pending.error().message();
  ASSERT_EQ(pending->size(), 2u);

  const PendingTransfer& a = (*pending)[0];
  EXPECT_EQ(a.destinations, (std::vector<PendingDestination>{{3, 0x4000}, {1, 0x10000}}));
  EXPECT_EQ(a.source_addresses, (std::vector<std::uint32_t>{0x8000, 0x0, 0x7FF0}));
  EXPECT_EQ(a.source_elements, (std::vector<ExchangeMemoryElement>{{false, 0}, {false, 1}, {false, 2}}));
  EXPECT_EQ(a.partner, std::nullopt);
  EXPECT_EQ(a.value, (std::pair<BlockValueId, std::uint32_t>{0, 0}));
  EXPECT_EQ(a.words, 8u);
  EXPECT_EQ(a.source, 1);
  EXPECT_EQ(a.width, W32);
  EXPECT_EQ(a.payload_cycles(), 8u);
  EXPECT_EQ(std::vector<std::uint16_t>(a.tiles().begin(), a.tiles().end()), (std::vector<std::uint16_t>{1, 3, 1}));
  EXPECT_EQ(a.tiles().size(), 3u);

  const PendingTransfer& b = (*pending)[1];
  EXPECT_EQ(b.partner, std::optional<std::uint16_t>(3));
  EXPECT_EQ(b.value, (std::pair<BlockValueId, std::uint32_t>{1, 0}));
  EXPECT_EQ(b.payload_cycles(), 64u);
  EXPECT_EQ(std::vector<std::uint16_t>(b.tiles().begin(), b.tiles().end()), (std::vector<std::uint16_t>{2, 3, 0}));
  EXPECT_EQ(b.tiles().size(), 3u);
}

TEST(PendingFromProblem, EmptyProblemGivesNoTransfers) {
  const auto pending = pending_from_problem({3, {}}, 8);
  ASSERT_TRUE(pending);
  EXPECT_TRUE(pending->empty());
}

static_assert(std::forward_iterator<PendingTransfer::TileRange::iterator>);
static_assert(std::forward_iterator<MemoryElementWalk::iterator>);

TEST(PendingTransfer, PayloadCycles) {
  EXPECT_EQ(payload_cycles(0, W32), std::nullopt);
  EXPECT_EQ(payload_cycles(5, W32), 5u);
  EXPECT_EQ(payload_cycles(0, P64), std::nullopt);
  EXPECT_EQ(payload_cycles(128, P64), 64u);
  EXPECT_EQ(payload_cycles(129, P64), std::nullopt);
  EXPECT_EQ(payload_cycles(2, P64), 1u);
}

TEST(PendingTransfer, RefreshSourceElementsFollowsTheAddresses) {
  PendingTransfer t;
  t.words = 2;
  t.source_addresses = {0x88000, 0x7FFFC, 0x80000};
  t.refresh_source_elements();
  EXPECT_EQ(t.source_elements, (std::vector<ExchangeMemoryElement>{{false, 31}, {true, 0}, {true, 1}}));
  t.source_addresses = {0x4000};
  t.refresh_source_elements();
  EXPECT_EQ(t.source_elements, (std::vector<ExchangeMemoryElement>{{false, 1}}));
  t.words = 0;
  t.refresh_source_elements();
  EXPECT_TRUE(t.source_elements.empty());
}

// Validation and conversion run the same checks: on random transfers near
// every boundary they fail identically, and converted records keep the
// invariants later stages rely on.
TEST(PendingFromProblem, ValidationAndConversionAgree) {
  std::mt19937_64 rng(5);
  auto pick = [&](std::initializer_list<std::uint32_t> values) { return *(values.begin() + rng() % values.size()); };
  int converted = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const auto tile_count = static_cast<std::uint16_t>(pick({1, 2, 3, 5, 8, 1472}));
    ExchangeScheduleProblem p{static_cast<std::uint32_t>(rng() % 3), {}};
    const std::size_t n = rng() % 4;
    for (std::size_t i = 0; i < n; ++i) {
      ExchangeScheduleTransfer t;
      t.source = static_cast<std::uint16_t>(rng() % (tile_count + 1u));
      t.words = pick({0, 1, 4, 126, 128, 129, 130, 4148, 4149});
      t.width = rng() % 3 == 0 ? P64 : W32;
      const std::size_t sources = rng() % 3;
      for (std::size_t k = 0; k < sources; ++k)
        t.source_addresses.push_back(pick({0, 4, 8, 0x3FF8, 0x4000, 0x7FFF8, 0xFFFFFFF8, 0xFFFFFFFC, 0x1002}));
      const std::size_t destinations = rng() % 4;
      for (std::size_t k = 0; k < destinations; ++k)
        t.destinations.push_back({static_cast<std::uint16_t>(rng() % (tile_count + 1u)),
                                  pick({0, 8, 0x4000, 0x8000, 0x3FFC, 0xFFFFFFF8, 0x2004})});
      p.transfers.push_back(std::move(t));
    }
    const auto checked = check_problem_transfers(p, tile_count);
    const auto pending = pending_from_problem(p, tile_count);
    const auto validated = ExchangeScheduleSnapshot{3, tile_count, {p}}.validate();
    ASSERT_EQ(checked.has_value(), pending.has_value()) << trial;
    ASSERT_EQ(checked.has_value(), validated.has_value()) << trial;
    if (!checked) {
      EXPECT_EQ(checked.error(), pending.error()) << trial;
      EXPECT_EQ(checked.error(), validated.error()) << trial;
      continue;
    }
    ++converted;
    ASSERT_EQ(pending->size(), p.transfers.size());
    for (std::size_t i = 0; i < pending->size(); ++i) {
      const PendingTransfer& t = (*pending)[i];
      EXPECT_EQ(t.value.first, i);
      std::set<std::uint16_t> tiles;
      for (const PendingDestination& d : t.destinations) {
        EXPECT_LT(d.tile, tile_count);
        EXPECT_TRUE(tiles.insert(d.tile).second);
      }
      for (const std::uint16_t tile : t.tiles()) EXPECT_LT(tile, tile_count);
      EXPECT_EQ(t.partner.has_value(), t.width == P64);
      EXPECT_TRUE(t.payload_cycles().has_value());
      EXPECT_TRUE(std::is_sorted(t.source_elements.begin(), t.source_elements.end()));
      EXPECT_EQ(std::adjacent_find(t.source_elements.begin(), t.source_elements.end()), t.source_elements.end());
    }
  }
  EXPECT_GT(converted, 100);
}

}  // namespace
}  // namespace kel_codegen::exchange
