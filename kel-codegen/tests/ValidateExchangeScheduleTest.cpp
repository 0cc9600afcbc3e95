// Validation of lowered phases: a hand-built valid phase passes, every broken
// rule is reported with its own text and in its fixed order, a naive
// all-pairs validator agrees on randomly perturbed phases, and phases lowered
// from generated problems pass.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "PhaseGenerator.h"
#include "kel_codegen/exchange/ExchangeMemoryElement.h"
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/ValidateExchangeSchedule.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/Topology.h"
#include "kel_exchange/diagnostic/PlanProgramDiagnostic.h"

namespace {

using namespace kel_codegen::exchange;
namespace ex = kel_exchange;
using Kind = ExchangeActivityKind;

constexpr std::uint32_t kPhase = 7;

/// A program that decodes to `horizon` cycles.
std::vector<std::uint32_t> program_of(std::uint32_t horizon) {
  if (horizon == 0) return {ex::RETURN_WORD};
  return {ex::delay_word(horizon), ex::RETURN_WORD};
}

struct Case {
  std::uint16_t tile_count = 0;
  ExchangeScheduleProblem problem;
  PhysicalExchangePhase phase;

  std::expected<void, ExchangeLoweringError> validate() const {
    return validate_exchange_schedule(tile_count, problem, phase);
  }
  /// Gives tile `t` a program and horizon of `horizon` cycles.
  void set_tile_horizon(std::size_t t, std::uint32_t horizon) {
    phase.programs[t] = program_of(horizon);
    phase.tile_horizons[t] = horizon;
  }
};

ExchangeActivity activity(const ExchangeScheduleProblem& problem, Kind kind, std::uint32_t transfer,
                          std::uint32_t start, std::uint32_t end, std::uint32_t memory_end, std::uint32_t address) {
  const ExchangeScheduleTransfer& t = problem.transfers[transfer];
  return ExchangeActivity{.transfer = transfer,
                          .start = start,
                          .end = end,
                          .memory_end = memory_end,
                          .address = address,
                          .words = t.words,
                          .destinations = static_cast<std::uint16_t>(t.destinations.size()),
                          .kind = kind,
                          .width = t.width};
}

// Five tiles, three transfers:
//   0: Word32 multicast 0 -> {1, 2}, two Repeat iterations (0x1000, 0x6000);
//   1: Paired64 from 2 (partner 3) -> {0, 1};
//   2: Word32 0 -> 2, its send touching transfer 0's send on tile 0.
// Tile 4 takes no part. Tile 0's activities are out of start order on purpose.
Case valid_case() {
  Case c;
  c.tile_count = 5;
  c.problem.phase = kPhase;
  c.problem.transfers = {
      {.source = 0,
       .source_addresses = {0x1000, 0x6000},
       .destinations = {{1, 0x100}, {2, 0x200}},
       .words = 8,
       .width = ExchangeItemWidth::Word32},
      {.source = 2,
       .source_addresses = {0x8000},
       .destinations = {{0, 0x4000}, {1, 0x4000}},
       .words = 128,
       .width = ExchangeItemWidth::Paired64},
      {.source = 0,
       .source_addresses = {0x3000},
       .destinations = {{2, 0x300}},
       .words = 10,
       .width = ExchangeItemWidth::Word32},
  };
  const auto& p = c.problem;
  auto& phase = c.phase;
  phase.phase = kPhase;
  phase.active = {true, true, true, true, false};
  phase.incoming_bases = {0x4000, 0x100, 0x200, 0, 0};
  phase.activities = {
      {activity(p, Kind::Send, 2, 20, 30, 30, 0x3000), activity(p, Kind::Send, 0, 10, 20, 20, 0x1000),
       activity(p, Kind::Receive, 1, 30, 94, 96, 0x4000)},
      {activity(p, Kind::Receive, 0, 12, 20, 22, 0x100), activity(p, Kind::Receive, 1, 30, 94, 96, 0x4000)},
      {activity(p, Kind::Receive, 0, 12, 20, 22, 0x200), activity(p, Kind::Receive, 2, 22, 32, 34, 0x300),
       activity(p, Kind::Send, 1, 28, 92, 94, 0x8000)},
      {activity(p, Kind::PartnerBusy, 1, 28, 94, 94, 0x8000)},
      {},
  };
  phase.repeat_patches.resize(5);
  phase.programs.resize(5);
  phase.tile_horizons.resize(5);
  for (std::size_t t = 0; t < 4; ++t) c.set_tile_horizon(t, 100);
  c.set_tile_horizon(4, 0);
  phase.horizon = 100;
  return c;
}

TEST(ValidateExchangeSchedule, HandBuiltPhasePasses) {
  const Case c = valid_case();
  const auto result = c.validate();
  EXPECT_TRUE(result.has_value()) << result.error().message();
}

TEST(ValidateExchangeSchedule, FailuresDisplayAsInvariants) {
  Case c = valid_case();
  c.phase.horizon = 99;
  const auto result = c.validate();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(),
            "exchange-schedule invariant failed: phase 7 horizon 99 differs from maximum tile horizon 100");
}

struct Mutation {
  const char* name;
  std::function<void(Case&)> apply;
  std::string message;  ///< the Invariant text; empty when the phase must still pass
};

std::vector<ExchangeActivity>& on(Case& c, std::size_t tile) { return c.phase.activities[tile]; }

// Finds the activity of `kind` for `transfer` on `tile`.
ExchangeActivity& find(Case& c, std::size_t tile, Kind kind, std::uint32_t transfer) {
  for (ExchangeActivity& a : c.phase.activities[tile])
    if (a.kind == kind && a.transfer == transfer) return a;
  ADD_FAILURE() << "no such activity";
  static ExchangeActivity none;
  return none;
}

// Removes the activity of `kind` for `transfer` from `tile`.
void remove(Case& c, std::size_t tile, Kind kind, std::uint32_t transfer) {
  std::erase_if(c.phase.activities[tile],
                [&](const ExchangeActivity& a) { return a.kind == kind && a.transfer == transfer; });
}

const std::vector<Mutation>& mutations() {
  static const std::vector<Mutation> table = {
      // 1: the phase id comes before any length.
      {"phase id before lengths",
       [](Case& c) {
         c.phase.phase = 8;
         c.phase.programs.pop_back();
       },
       "phase id 8 differs from snapshot phase 7"},
      // 2: lengths, in their fixed order.
      {"short active", [](Case& c) { c.phase.active.pop_back(); }, "phase 7 has 4 active entries for 5 tiles"},
      {"programs named before activities",
       [](Case& c) {
         c.phase.programs.pop_back();
         c.phase.activities.pop_back();
       },
       "phase 7 has 4 programs entries for 5 tiles"},
      {"long incoming bases", [](Case& c) { c.phase.incoming_bases.push_back(0); },
       "phase 7 has 6 incoming bases entries for 5 tiles"},
      {"short tile horizons", [](Case& c) { c.phase.tile_horizons.pop_back(); },
       "phase 7 has 4 tile horizons entries for 5 tiles"},
      {"short activities", [](Case& c) { c.phase.activities.pop_back(); },
       "phase 7 has 4 activities entries for 5 tiles"},
      {"short repeat patches", [](Case& c) { c.phase.repeat_patches.pop_back(); },
       "phase 7 has 4 repeat patches entries for 5 tiles"},
      {"tile count differs from every array", [](Case& c) { c.tile_count = 6; },
       "phase 7 has 5 active entries for 6 tiles"},
      // 3, 4.
      {"repeat patch",
       [](Case& c) {
         c.phase.repeat_patches[4].push_back({0, {1}});
       },
       "standalone phase 7 unexpectedly contains repeat patches"},
      {"horizon above every tile", [](Case& c) { c.phase.horizon = 101; },
       "phase 7 horizon 101 differs from maximum tile horizon 100"},
      {"no tiles has maximum horizon 0",
       [](Case& c) {
         c = Case{};
         c.problem.phase = kPhase;
         c.phase.phase = kPhase;
         c.phase.horizon = 5;
       },
       "phase 7 horizon 5 differs from maximum tile horizon 0"},
      // 6.2, 6.3.
      {"declared horizon differs from the decoded one", [](Case& c) { c.phase.tile_horizons[1] = 99; },
       "phase 7 tile 1 decoded horizon 100 differs from 99"},
      {"tile with activities and horizon 0", [](Case& c) { c.set_tile_horizon(1, 0); },
       "phase 7 tile 1 has inconsistent active state"},
      {"inactive tile with a horizon", [](Case& c) { c.set_tile_horizon(4, 10); },
       "phase 7 tile 4 has inconsistent active state"},
      {"active tile marked inactive", [](Case& c) { c.phase.active[0] = false; },
       "phase 7 tile 0 has inconsistent active state"},
      {"idle tile marked active",
       [](Case& c) {
         c.phase.active[4] = true;
         c.set_tile_horizon(4, 10);
       },
       "phase 7 tile 4 has inconsistent active state"},
      {"partner-only tile must be active",
       [](Case& c) {
         remove(c, 3, Kind::PartnerBusy, 1);
         c.phase.active[3] = false;
         c.set_tile_horizon(3, 0);
       },
       "phase 7 tile 3 has inconsistent active state"},
      {"active partner-only tile passes the tile loop", [](Case& c) { remove(c, 3, Kind::PartnerBusy, 1); },
       "phase 7 transfer 1 has 0 partner-busy activities, expected 1"},
      // 6.4.1 to 6.4.3, in that order for one activity.
      {"start after end", [](Case& c) { find(c, 0, Kind::Send, 0).start = 21; },
       "phase 7 tile 0 transfer 0 has invalid cycle interval"},
      {"end after memory end", [](Case& c) { find(c, 1, Kind::Receive, 0).end = 23; },
       "phase 7 tile 1 transfer 0 has invalid cycle interval"},
      {"memory end after the tile horizon", [](Case& c) { find(c, 3, Kind::PartnerBusy, 1).memory_end = 101; },
       "phase 7 tile 3 transfer 1 has invalid cycle interval"},
      {"interval checked before the transfer index",
       [](Case& c) {
         auto& a = find(c, 2, Kind::Send, 1);
         a.transfer = 9;
         a.start = 93;
       },
       "phase 7 tile 2 transfer 9 has invalid cycle interval"},
      {"missing transfer", [](Case& c) { find(c, 2, Kind::Send, 1).transfer = 3; },
       "phase 7 tile 2 references missing transfer 3"},
      {"wrong word count", [](Case& c) { find(c, 1, Kind::Receive, 1).words = 64; },
       "phase 7 tile 1 transfer 1 has wrong word count"},
      // 6.4.4.
      {"send from another tile",
       [](Case& c) {
         on(c, 1).push_back(find(c, 0, Kind::Send, 2));
         remove(c, 0, Kind::Send, 2);
       },
       "phase 7 transfer 2 has a mismatched send activity"},
      {"send at the second source address", [](Case& c) { find(c, 0, Kind::Send, 0).address = 0x6000; },
       "phase 7 transfer 0 has a mismatched send activity"},
      {"receive at another address", [](Case& c) { find(c, 1, Kind::Receive, 0).address = 0x104; },
       "phase 7 transfer 0 has an unexpected receive activity on tile 1"},
      {"receive on a tile that is no destination",
       [](Case& c) {
         ExchangeActivity a = find(c, 2, Kind::Receive, 2);
         on(c, 3).push_back(a);
       },
       "phase 7 transfer 2 has an unexpected receive activity on tile 3"},
      {"partner-busy record of a Word32 transfer",
       [](Case& c) {
         ExchangeActivity a = find(c, 0, Kind::Send, 0);
         a.kind = Kind::PartnerBusy;
         a.start = 0;
         a.end = a.memory_end = 10;
         on(c, 1).push_back(a);
       },
       "phase 7 transfer 0 has a mismatched partner-busy activity"},
      {"partner-busy record on a tile that is not the partner",
       [](Case& c) {
         on(c, 1).push_back(find(c, 3, Kind::PartnerBusy, 1));
         remove(c, 3, Kind::PartnerBusy, 1);
       },
       "phase 7 transfer 1 has a mismatched partner-busy activity"},
      {"partner-busy record at another address", [](Case& c) { find(c, 3, Kind::PartnerBusy, 1).address = 0x8008; },
       "phase 7 transfer 1 has a mismatched partner-busy activity"},
      // 6.5: half-open bus intervals; Send before Receive.
      {"overlapping sends", [](Case& c) { find(c, 0, Kind::Send, 0).end = find(c, 0, Kind::Send, 0).memory_end = 21; },
       "phase 7 tile 0 has overlapping Send bus intervals"},
      {"overlapping receives", [](Case& c) { find(c, 2, Kind::Receive, 2).start = 19; },
       "phase 7 tile 2 has overlapping Receive bus intervals"},
      {"touching receives",
       [](Case& c) {
         find(c, 2, Kind::Receive, 0).end = 22;
         find(c, 2, Kind::Receive, 0).memory_end = 22;
       },
       ""},
      {"send overlap named before receive overlap",
       [](Case& c) {
         find(c, 0, Kind::Send, 0).end = find(c, 0, Kind::Send, 0).memory_end = 21;
         find(c, 2, Kind::Receive, 2).start = 19;
       },
       "phase 7 tile 0 has overlapping Send bus intervals"},
      {"a send inside another", [](Case& c) { find(c, 0, Kind::Send, 2).start = 12; },
       "phase 7 tile 0 has overlapping Send bus intervals"},
      {"partner hold may span a receive of the tile",
       [](Case& c) {
         // Transfer 1's partner hold on tile 3 spans a receive of tile 3.
         c.problem.transfers[2].destinations.push_back({3, 0x300});
         on(c, 3).push_back(activity(c.problem, Kind::Receive, 2, 40, 50, 52, 0x300));
       },
       ""},
      // 6.6: every Repeat iteration's source span counts.
      {"receive into the element of the second source iteration",
       [](Case& c) {
         c.problem.transfers[1].destinations[0].address = 0x5000;
         auto& r = find(c, 0, Kind::Receive, 1);
         r.address = 0x5000;
         r.start = 15;
       },
       "phase 7 tile 0 overlaps send/receive access to one SRAM element"},
      {"receive into another element",
       [](Case& c) {
         c.problem.transfers[1].destinations[0].address = 0x9000;
         auto& r = find(c, 0, Kind::Receive, 1);
         r.address = 0x9000;
         r.start = 15;
       },
       ""},
      {"receive into the element once the read has ended",
       [](Case& c) {
         c.problem.transfers[1].destinations[0].address = 0x5000;
         auto& r = find(c, 0, Kind::Receive, 1);
         r.address = 0x5000;
         r.start = 20;
       },
       ""},
      {"read held past the send end",
       [](Case& c) {
         c.problem.transfers[1].destinations[0].address = 0x5000;
         auto& r = find(c, 0, Kind::Receive, 1);
         r.address = 0x5000;
         r.start = 20;
         find(c, 0, Kind::Send, 0).memory_end = 21;
       },
       "phase 7 tile 0 overlaps send/receive access to one SRAM element"},
      {"write held past the receive end",
       [](Case& c) {
         // Transfer 2's receive on tile 2 lies in the element transfer 1 reads.
         c.problem.transfers[2].destinations[0].address = 0x8100;
         find(c, 2, Kind::Receive, 2).address = 0x8100;
         auto& s = find(c, 2, Kind::Send, 1);
         s.start = 33;
         s.end = 92;
         s.memory_end = 94;
         find(c, 3, Kind::PartnerBusy, 1).start = 33;
         find(c, 2, Kind::Receive, 2).memory_end = 34;
       },
       "phase 7 tile 2 overlaps send/receive access to one SRAM element"},
      // 6.7.
      {"local send inside a partner hold",
       [](Case& c) {
         c.problem.transfers[2].source = 3;
         ExchangeActivity s = find(c, 0, Kind::Send, 2);
         remove(c, 0, Kind::Send, 2);
         s.start = 85;
         s.end = s.memory_end = 95;
         on(c, 3).push_back(s);
       },
       "phase 7 tile 3 overlaps borrowed and local transmit intervals"},
      {"local send touching a partner hold",
       [](Case& c) {
         c.problem.transfers[2].source = 3;
         ExchangeActivity s = find(c, 0, Kind::Send, 2);
         remove(c, 0, Kind::Send, 2);
         s.start = 18;
         s.end = s.memory_end = 28;
         on(c, 3).push_back(s);
       },
       ""},
      // 7 to 9.
      {"missing send", [](Case& c) { remove(c, 0, Kind::Send, 2); }, "phase 7 transfer 2 has 0 send activities"},
      {"two sends",
       [](Case& c) {
         ExchangeActivity s = find(c, 0, Kind::Send, 0);
         s.start = 0;
         s.end = s.memory_end = 10;
         on(c, 0).push_back(s);
       },
       "phase 7 transfer 0 has 2 send activities"},
      {"send counts before partner-busy counts",
       [](Case& c) {
         remove(c, 0, Kind::Send, 2);
         remove(c, 3, Kind::PartnerBusy, 1);
       },
       "phase 7 transfer 2 has 0 send activities"},
      {"two partner holds of one transfer", [](Case& c) { on(c, 3).push_back(find(c, 3, Kind::PartnerBusy, 1)); },
       "phase 7 transfer 1 has 2 partner-busy activities, expected 1"},
      {"multicast destination without its receive", [](Case& c) { remove(c, 2, Kind::Receive, 0); },
       "phase 7 transfer 0 does not have exactly one activity per destination"},
      {"destination received twice",
       [](Case& c) {
         ExchangeActivity r = find(c, 1, Kind::Receive, 0);
         r.start = 0;
         r.end = 8;
         r.memory_end = 10;
         on(c, 1).push_back(r);
       },
       "phase 7 transfer 0 does not have exactly one activity per destination"},
      {"a receive counts for the first equal destination only",
       [](Case& c) {
         c.problem.transfers[2].destinations.push_back({2, 0x300});
       },
       "phase 7 transfer 2 does not have exactly one activity per destination"},
      {"receive counts come last",
       [](Case& c) {
         remove(c, 2, Kind::Receive, 0);
         on(c, 3).push_back(find(c, 3, Kind::PartnerBusy, 1));
       },
       "phase 7 transfer 1 has 2 partner-busy activities, expected 1"},
  };
  return table;
}

TEST(ValidateExchangeSchedule, EachMutationFailsWithItsOwnText) {
  for (const Mutation& m : mutations()) {
    SCOPED_TRACE(m.name);
    Case c = valid_case();
    m.apply(c);
    const auto result = c.validate();
    if (m.message.empty()) {
      EXPECT_TRUE(result.has_value()) << result.error().message();
      continue;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ExchangeLoweringError::Kind::Invariant) << result.error().debug();
    EXPECT_EQ(result.error().text(), m.message);
  }
}

TEST(ValidateExchangeSchedule, PartnerHoldsOfTwoTransfersMustNotOverlap) {
  // A second paired transfer from tile 2, sent right after the first: the
  // sends touch, but the first partner hold runs two cycles past its send.
  Case c = valid_case();
  auto& transfers = c.problem.transfers;
  transfers.push_back({.source = 2,
                       .source_addresses = {0xA000},
                       .destinations = {{1, 0x8000}},
                       .words = 128,
                       .width = ExchangeItemWidth::Paired64});
  on(c, 1).push_back(activity(c.problem, Kind::Receive, 3, 94, 158, 160, 0x8000));
  on(c, 2).push_back(activity(c.problem, Kind::Send, 3, 92, 156, 158, 0xA000));
  on(c, 3).push_back(activity(c.problem, Kind::PartnerBusy, 3, 92, 158, 158, 0xA000));
  for (std::size_t t = 0; t < 4; ++t) c.set_tile_horizon(t, 160);
  c.phase.horizon = 160;

  const auto overlapping = c.validate();
  ASSERT_FALSE(overlapping.has_value());
  EXPECT_EQ(overlapping.error().text(), "phase 7 tile 3 overlaps borrowed and local transmit intervals");

  find(c, 2, Kind::Send, 3).start = 94;
  find(c, 3, Kind::PartnerBusy, 3).start = 94;
  const auto touching = c.validate();
  EXPECT_TRUE(touching.has_value()) << touching.error().message();
}

TEST(ValidateExchangeSchedule, ExchangeLayerFailuresPassThrough) {
  // A partner look-up off the R817 board fails before any program is decoded.
  Case off_board = valid_case();
  off_board.problem.transfers[1].source = ex::Topology::kR817Tiles;
  off_board.phase.programs[0] = {0xF0000000};
  const auto lookup = off_board.validate();
  ASSERT_FALSE(lookup.has_value());
  EXPECT_EQ(lookup.error().exchange_error(), ex::ExchangeError::tile(ex::Topology::kR817Tiles));

  // A paired send without its second word cannot be decoded.
  Case truncated = valid_case();
  truncated.phase.programs[1] = {ex::delay_word(100), 0xF0000000};
  const auto decoding = truncated.validate();
  ASSERT_FALSE(decoding.has_value());
  EXPECT_EQ(decoding.error().exchange_error(), ex::ExchangeError::schedule("truncated SENDPICP payload"));
  const auto expected =
      ex::diagnostic::diagnose_plan_program(std::span<const std::uint32_t>(truncated.phase.programs[1]));
  ASSERT_FALSE(expected.has_value());
  EXPECT_EQ(decoding.error().exchange_error(), expected.error());
}

TEST(ValidateExchangeSchedule, OddTileCountLeavesTheLastPartnerOffThePhase) {
  // Tile 4 pairs with tile 5, which is not a tile of the phase.
  Case c = valid_case();
  c.problem.transfers.push_back({.source = 4,
                                 .source_addresses = {0x0},
                                 .destinations = {{0, 0x9000}},
                                 .words = 128,
                                 .width = ExchangeItemWidth::Paired64});
  on(c, 4).push_back(activity(c.problem, Kind::Send, 3, 0, 64, 66, 0x0));
  on(c, 0).push_back(activity(c.problem, Kind::Receive, 3, 0, 8, 9, 0x9000));
  c.phase.active[4] = true;
  c.set_tile_horizon(4, 100);
  const auto result = c.validate();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), "phase 7 transfer 3 has 0 partner-busy activities, expected 1");
}

TEST(ValidateExchangeSchedule, BroadcastReceivesAreMatchedByTileAndAddress) {
  // Enough destinations to take the sorted look-up; some tiles are listed
  // twice at different addresses.
  Case c;
  c.tile_count = 40;
  c.problem.phase = kPhase;
  ExchangeScheduleTransfer broadcast{.source = 0, .source_addresses = {0x0}, .destinations = {}, .words = 4};
  for (std::uint16_t t = 39; t >= 1; --t) broadcast.destinations.push_back({t, 0x400u * t});
  for (std::uint16_t t = 5; t <= 9; ++t) broadcast.destinations.push_back({t, 0x100u});
  c.problem.transfers.push_back(broadcast);
  auto& phase = c.phase;
  phase.phase = kPhase;
  phase.active.assign(40, true);
  phase.incoming_bases.assign(40, 0);
  phase.activities.resize(40);
  phase.repeat_patches.resize(40);
  phase.programs.resize(40);
  phase.tile_horizons.resize(40);
  for (std::size_t t = 0; t < 40; ++t) c.set_tile_horizon(t, 30);
  phase.horizon = 30;
  on(c, 0).push_back(activity(c.problem, Kind::Send, 0, 0, 4, 5, 0x0));
  for (const auto& d : broadcast.destinations)
    on(c, d.tile).insert(on(c, d.tile).begin(),
                         activity(c.problem, Kind::Receive, 0, d.address == 0x100 ? 10 : 2, d.address == 0x100 ? 14 : 6,
                                  d.address == 0x100 ? 15 : 7, d.address));
  const auto result = c.validate();
  EXPECT_TRUE(result.has_value()) << result.error().message();

  on(c, 7).front().address = 0x104;
  const auto wrong = c.validate();
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().text(), "phase 7 transfer 0 has an unexpected receive activity on tile 7");

  on(c, 7).front().address = 0x100;
  on(c, 7).push_back(on(c, 7).front());
  on(c, 7).back().start = 20;
  on(c, 7).back().end = 24;
  on(c, 7).back().memory_end = 25;
  const auto twice = c.validate();
  ASSERT_FALSE(twice.has_value());
  EXPECT_EQ(twice.error().text(), "phase 7 transfer 0 does not have exactly one activity per destination");
}

// ---------------------------------------------------------------------------
// A naive validator: every rule checked literally, all pairs compared.

std::expected<void, ExchangeLoweringError> reference_validate(std::uint16_t tile_count,
                                                              const ExchangeScheduleProblem& problem,
                                                              const PhysicalExchangePhase& phase) {
  const auto fail = [](std::string text) { return std::unexpected(ExchangeLoweringError::invariant(std::move(text))); };
  const std::uint32_t id = problem.phase;
  if (phase.phase != id) return fail(fmt::format("phase id {} differs from snapshot phase {}", phase.phase, id));
  const std::vector<std::pair<std::size_t, std::string>> lengths = {{phase.active.size(), "active"},
                                                                    {phase.programs.size(), "programs"},
                                                                    {phase.incoming_bases.size(), "incoming bases"},
                                                                    {phase.tile_horizons.size(), "tile horizons"},
                                                                    {phase.activities.size(), "activities"},
                                                                    {phase.repeat_patches.size(), "repeat patches"}};
  for (const auto& [length, name] : lengths)
    if (length != tile_count)
      return fail(fmt::format("phase {} has {} {} entries for {} tiles", id, length, name, tile_count));
  for (const auto& patches : phase.repeat_patches)
    if (!patches.empty()) return fail(fmt::format("standalone phase {} unexpectedly contains repeat patches", id));
  const std::uint32_t maximum =
      phase.tile_horizons.empty() ? 0 : *std::max_element(phase.tile_horizons.begin(), phase.tile_horizons.end());
  if (maximum != phase.horizon)
    return fail(fmt::format("phase {} horizon {} differs from maximum tile horizon {}", id, phase.horizon, maximum));

  const ex::Topology board = ex::Topology::r817();
  const auto& transfers = problem.transfers;
  std::set<std::uint16_t> partners;
  for (const auto& t : transfers) {
    if (t.width != ExchangeItemWidth::Paired64) continue;
    const auto partner = board.paired_logical(t.source);
    if (!partner) return std::unexpected(ExchangeLoweringError(partner.error()));
    partners.insert(*partner);
  }
  std::vector<std::uint64_t> sends(transfers.size()), busy(transfers.size());
  std::vector<std::vector<std::uint64_t>> receives;
  for (const auto& t : transfers) receives.emplace_back(t.destinations.size(), 0);

  for (std::size_t t = 0; t < tile_count; ++t) {
    const auto decoded = ex::diagnostic::diagnose_plan_program(std::span<const std::uint32_t>(phase.programs[t]));
    if (!decoded) return std::unexpected(ExchangeLoweringError(decoded.error()));
    if (decoded->end_cycle != phase.tile_horizons[t])
      return fail(fmt::format("phase {} tile {} decoded horizon {} differs from {}", id, t, decoded->end_cycle,
                              phase.tile_horizons[t]));
    const auto& acts = phase.activities[t];
    const bool expected = !acts.empty() || partners.contains(static_cast<std::uint16_t>(t));
    if (phase.active[t] != expected || phase.active[t] != (phase.tile_horizons[t] != 0))
      return fail(fmt::format("phase {} tile {} has inconsistent active state", id, t));
    for (const auto& a : acts) {
      if (!(a.start <= a.end && a.end <= a.memory_end && a.memory_end <= phase.tile_horizons[t]))
        return fail(fmt::format("phase {} tile {} transfer {} has invalid cycle interval", id, t, a.transfer));
      if (a.transfer >= transfers.size())
        return fail(fmt::format("phase {} tile {} references missing transfer {}", id, t, a.transfer));
      const auto& x = transfers[a.transfer];
      if (a.words != x.words)
        return fail(fmt::format("phase {} tile {} transfer {} has wrong word count", id, t, a.transfer));
      const bool first_source = !x.source_addresses.empty() && x.source_addresses[0] == a.address;
      if (a.kind == Kind::Send) {
        if (x.source != t || !first_source)
          return fail(fmt::format("phase {} transfer {} has a mismatched send activity", id, a.transfer));
        ++sends[a.transfer];
      } else if (a.kind == Kind::Receive) {
        std::size_t k = 0;
        while (k < x.destinations.size() && !(x.destinations[k].tile == t && x.destinations[k].address == a.address))
          ++k;
        if (k == x.destinations.size())
          return fail(
              fmt::format("phase {} transfer {} has an unexpected receive activity on tile {}", id, a.transfer, t));
        ++receives[a.transfer][k];
      } else {
        bool ok = x.width == ExchangeItemWidth::Paired64;
        if (ok) {
          const auto partner = board.paired_logical(x.source);
          if (!partner) return std::unexpected(ExchangeLoweringError(partner.error()));
          ok = *partner == t && first_source;
        }
        if (!ok)
          return fail(fmt::format("phase {} transfer {} has a mismatched partner-busy activity", id, a.transfer));
        ++busy[a.transfer];
      }
    }
    for (const Kind kind : {Kind::Send, Kind::Receive}) {
      std::vector<std::pair<std::uint32_t, std::uint32_t>> intervals;
      for (const auto& a : acts)
        if (a.kind == kind) intervals.emplace_back(a.start, a.end);
      std::sort(intervals.begin(), intervals.end());
      for (std::size_t i = 1; i < intervals.size(); ++i)
        if (intervals[i].first < intervals[i - 1].second)
          return fail(fmt::format("phase {} tile {} has overlapping {} bus intervals", id, t,
                                  kind == Kind::Send ? "Send" : "Receive"));
    }
    for (const auto& s : acts) {
      if (s.kind != Kind::Send) continue;
      for (const auto& r : acts) {
        if (r.kind != Kind::Receive || !(s.start < r.memory_end && r.start < s.memory_end)) continue;
        for (const std::uint32_t x : transfers[s.transfer].source_addresses)
          if (spans_share_effective_memory_element(x, s.words, r.address, r.words))
            return fail(fmt::format("phase {} tile {} overlaps send/receive access to one SRAM element", id, t));
      }
    }
    for (const auto& p : acts) {
      if (p.kind != Kind::PartnerBusy) continue;
      for (const auto& q : acts)
        if (q.transfer != p.transfer && q.kind != Kind::Receive && q.start < p.end && p.start < q.end)
          return fail(fmt::format("phase {} tile {} overlaps borrowed and local transmit intervals", id, t));
    }
  }
  for (std::size_t i = 0; i < transfers.size(); ++i)
    if (sends[i] != 1) return fail(fmt::format("phase {} transfer {} has {} send activities", id, i, sends[i]));
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    const std::uint64_t expected = transfers[i].width == ExchangeItemWidth::Paired64 ? 1 : 0;
    if (busy[i] != expected)
      return fail(
          fmt::format("phase {} transfer {} has {} partner-busy activities, expected {}", id, i, busy[i], expected));
  }
  for (std::size_t i = 0; i < transfers.size(); ++i)
    if (std::ranges::any_of(receives[i], [](std::uint64_t n) { return n != 1; }))
      return fail(fmt::format("phase {} transfer {} does not have exactly one activity per destination", id, i));
  return {};
}

// A random phase whose activities follow its transfers' roles, with timings
// that overlap now and then, followed by a few random corruptions.
Case random_case(std::mt19937& rng) {
  const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  Case c;
  c.tile_count = static_cast<std::uint16_t>(pick(1, 40));
  c.problem.phase = pick(0, 3);
  const std::size_t transfer_count = pick(0, 10);
  // A small address window so that SRAM elements are shared often.
  const auto address = [&](std::uint32_t align) { return pick(0, 0x10000 / align) * align; };
  for (std::size_t i = 0; i < transfer_count; ++i) {
    ExchangeScheduleTransfer t;
    t.source = static_cast<std::uint16_t>(pick(0, c.tile_count - 1u));
    const bool paired = pick(0, 3) == 0 && (t.source ^ 1u) < c.tile_count;
    t.width = paired ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
    t.words = paired ? 2 * pick(64, 70) : pick(1, 60);
    for (std::uint32_t r = pick(1, 3); r > 0; --r) t.source_addresses.push_back(address(8));
    for (std::uint32_t d = pick(1, 3) == 1 ? pick(17, 30) : pick(1, 4); d > 0; --d)
      t.destinations.push_back({static_cast<std::uint16_t>(pick(0, c.tile_count - 1u)), address(4)});
    c.problem.transfers.push_back(std::move(t));
  }

  auto& phase = c.phase;
  phase.phase = pick(0, 49) == 0 ? c.problem.phase + 1 : c.problem.phase;
  phase.activities.resize(c.tile_count);
  phase.repeat_patches.resize(c.tile_count);
  phase.incoming_bases.assign(c.tile_count, 0);
  // Transfers mostly one after another; now and then one starts anywhere, or
  // a little before the previous one ends.
  std::uint32_t clock = pick(0, 5);
  std::vector<std::uint32_t> receive_free(c.tile_count, 0);
  for (std::uint32_t i = 0; i < c.problem.transfers.size(); ++i) {
    const auto& t = c.problem.transfers[i];
    const std::uint32_t length = t.width == ExchangeItemWidth::Paired64 ? t.words / 2 : t.words;
    const std::uint32_t start = pick(0, 9) == 0 ? pick(0, 150) : clock;
    const std::uint32_t hold = pick(0, 3);
    phase.activities[t.source].push_back(
        activity(c.problem, Kind::Send, i, start, start + length, start + length + hold, t.source_addresses[0]));
    if (t.width == ExchangeItemWidth::Paired64)
      phase.activities[t.source ^ 1u].push_back(activity(c.problem, Kind::PartnerBusy, i, start, start + length + hold,
                                                         start + length + hold, t.source_addresses[0]));
    for (const auto& d : t.destinations) {
      const std::uint32_t r = pick(0, 199) == 0 ? start + 2 : std::max(start + 2, receive_free[d.tile]);
      const std::uint32_t tail = pick(0, 3);
      phase.activities[d.tile].push_back(
          activity(c.problem, Kind::Receive, i, r, r + length, r + length + tail, d.address));
      receive_free[d.tile] = r + length;
    }
    const std::uint32_t gap = pick(0, 4) + pick(0, 1) * 2 * length;
    const std::uint32_t overlap = std::min(pick(0, 3), start);
    clock = start + length + hold + gap - overlap;
  }
  for (auto& tile : phase.activities) std::shuffle(tile.begin(), tile.end(), rng);

  // Corruptions.
  for (std::uint32_t n = pick(0, 3); n > 0; --n) {
    auto& tile = phase.activities[pick(0, c.tile_count - 1u)];
    if (tile.empty()) continue;
    const std::size_t at = pick(0, static_cast<std::uint32_t>(tile.size()) - 1);
    auto& a = tile[at];
    switch (pick(0, 10)) {
      case 0:
        a.start += pick(0, 20);
        break;
      case 1: {
        const std::uint32_t later = pick(0, 6);
        a.end = a.end + later - std::min(a.end, pick(0, 6));
        break;
      }
      case 2:
        a.memory_end += pick(0, 6);
        break;
      case 3:
        a.address = address(4);
        break;
      case 4:
        a.transfer = pick(0, static_cast<std::uint32_t>(c.problem.transfers.size()));
        break;
      case 5:
        a.kind = static_cast<Kind>(pick(0, 2));
        break;
      case 6:
        a.words += 1;
        break;
      case 7:
        tile.erase(tile.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 8:
        phase.activities[pick(0, c.tile_count - 1u)].push_back(a);
        break;
      case 9:
        std::erase_if(tile, [](const ExchangeActivity& x) { return x.kind == Kind::PartnerBusy; });
        break;
      default:
        a.start = a.start - std::min(a.start, pick(0, 30));
        break;
    }
  }

  // Horizons that mostly agree with the activities and the partner set.
  phase.active.assign(c.tile_count, false);
  phase.tile_horizons.assign(c.tile_count, 0);
  phase.programs.assign(c.tile_count, program_of(0));
  std::vector<bool> lends(c.tile_count, false);
  for (const auto& t : c.problem.transfers)
    if (t.width == ExchangeItemWidth::Paired64) lends[t.source ^ 1u] = true;
  for (std::size_t t = 0; t < c.tile_count; ++t) {
    if (phase.activities[t].empty() && !lends[t]) continue;
    std::uint32_t horizon = 1;
    for (const auto& a : phase.activities[t]) horizon = std::max(horizon, a.memory_end);
    if (pick(0, 40) == 0) horizon -= std::min<std::uint32_t>(horizon, 1);
    phase.active[t] = pick(0, 80) != 0;
    c.set_tile_horizon(t, horizon);
  }
  for (const std::uint32_t h : phase.tile_horizons) phase.horizon = std::max(phase.horizon, h);
  if (pick(0, 30) == 0) phase.horizon += 1;
  return c;
}

// The check a failure text belongs to, for coverage counting.
std::string outcome(const std::expected<void, ExchangeLoweringError>& result) {
  if (result) return "pass";
  std::string text(result.error().message());
  for (const char* key :
       {"phase id", "entries for", "horizon", "inconsistent", "invalid cycle", "missing transfer", "word count",
        "mismatched send", "unexpected receive", "mismatched partner", "Send bus", "Receive bus", "SRAM", "borrowed",
        "send activities", "partner-busy activities", "exactly one"})
    if (text.find(key) != std::string::npos) return key;
  return text;
}

TEST(ValidateExchangeSchedule, AgreesWithANaiveValidator) {
  std::mt19937 rng(91);
  std::map<std::string, int> outcomes;
  for (int round = 0; round < 6000; ++round) {
    SCOPED_TRACE(round);
    const Case c = random_case(rng);
    const auto expected = reference_validate(c.tile_count, c.problem, c.phase);
    const auto actual = c.validate();
    ASSERT_EQ(actual.has_value(), expected.has_value()) << outcome(expected) << " vs " << outcome(actual);
    if (!expected) {
      ASSERT_EQ(actual.error(), expected.error())
          << actual.error().message() << "\nexpected " << expected.error().message();
    }
    ++outcomes[outcome(expected)];
  }
  // The random phases must reach every kind of outcome, deep checks included.
  for (const char* key :
       {"pass", "phase id", "horizon", "inconsistent", "invalid cycle", "missing transfer", "word count",
        "mismatched send", "unexpected receive", "mismatched partner", "Send bus", "Receive bus", "SRAM", "borrowed",
        "send activities", "partner-busy activities", "exactly one"})
    EXPECT_GE(outcomes[key], 3) << key;
}

TEST(ValidateExchangeSchedule, LoweredGeneratedPhasesPass) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const auto generated = test_support::generate_phase(rng, 24, 40);
    const auto run = schedule_exchange_problem(generated.tile_count, generated.problem);
    ASSERT_TRUE(run.has_value()) << run.error().message();
    const auto result = validate_exchange_schedule(generated.tile_count, generated.problem, run->physical);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(reference_validate(generated.tile_count, generated.problem, run->physical), result);
  }
}

}  // namespace
