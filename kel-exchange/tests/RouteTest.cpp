// Route building: multiplexer lead times, the exact rows of point-to-point,
// multicast and paired multicast routes, their validation order, and the
// debug events they log.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "kel_exchange/MulticastPlan.h"
#include "kel_exchange/PointToPointRoute.h"
#include "kel_exchange/RouteTiming.h"
#include "WordNotation.h"
#include "kel_exchange/Topology.h"
#include "kel_runtime/Log.h"
#include "kel_runtime/testing/LogCapture.h"

namespace kel_exchange {
namespace {

using namespace test_words;

ExchangeError reason(const char* text) { return ExchangeError::schedule(text); }

class RouteFixture : public ::testing::Test {
 protected:
  std::uint16_t phys(std::uint16_t logical) const { return topology.logical_to_physical()[logical]; }
  std::int32_t lead(std::uint16_t sender, std::uint16_t receiver) const {
    return time_to_mux(phys(sender), phys(receiver));
  }
  std::uint32_t row_of(std::uint16_t logical) const { return route_row(phys(logical)); }

  const Topology topology = Topology::r817();
};

// ---- time_to_mux ----------------------------------------------------------------

TEST_F(RouteFixture, TimeToMuxWorkedExamples) {
  const struct {
    std::uint16_t sender, receiver;
    std::int32_t lead;
  } cases[] = {{0, 1, -28}, {0, 2, -31}, {0, 92, -28}, {92, 0, -20},
               {46, 0, 19}, {0, 46, -69}, {690, 0, 96}, {780, 0, 112}};
  for (const auto& c : cases) EXPECT_EQ(lead(c.sender, c.receiver), c.lead) << c.sender << " -> " << c.receiver;
}

TEST_F(RouteFixture, TimeToMuxSpansMinus78To112OverAllR817Pairs) {
  std::int32_t lowest = INT32_MAX;
  std::int32_t highest = INT32_MIN;
  for (std::uint16_t s = 0; s < Topology::kR817Tiles; ++s)
    for (std::uint16_t r = 0; r < Topology::kR817Tiles; ++r) {
      if (s == r) continue;
      const std::int32_t h = lead(s, r);
      lowest = std::min(lowest, h);
      highest = std::max(highest, h);
    }
  EXPECT_EQ(lowest, -78);
  EXPECT_EQ(highest, 112);
}

// ---- point_to_point ---------------------------------------------------------------

TEST_F(RouteFixture, PointToPointValidationOrder) {
  EXPECT_EQ(topology.point_to_point(0, 0, 0).error(), ExchangeError::count(0));
  EXPECT_EQ(topology.point_to_point(0, 1, 4149).error(), ExchangeError::count(4149));
  // Equal endpoints are reported before either is looked up.
  EXPECT_EQ(topology.point_to_point(5000, 5000, 1).error(), ExchangeError::duplicate_tile());
  EXPECT_EQ(topology.point_to_point(1472, 1473, 1).error(), ExchangeError::tile(1472));
  EXPECT_EQ(topology.point_to_point(0, 1472, 1).error(), ExchangeError::tile(1472));
  EXPECT_TRUE(topology.point_to_point(0, 1, 1).has_value());
  EXPECT_TRUE(topology.point_to_point(0, 1, 4148).has_value());
}

TEST(PointToPoint, SenderDelayGuardsLeadTimesBeyond112) {
  // Physical tiles beyond the R817 board lie further from the receiver than
  // any sender on it.
  ASSERT_EQ(time_to_mux(1828, 0), 113);
  ASSERT_EQ(time_to_mux(1504, 0), 114);
  for (std::uint16_t far : {std::uint16_t{1828}, std::uint16_t{1504}}) {
    const auto topology = Topology::create({far, 0});
    ASSERT_TRUE(topology.has_value());
    EXPECT_EQ(topology->point_to_point(0, 1, 10).error(), reason("sender delay"));
  }
}

struct RowLayout {
  std::uint32_t count;
  ExchangeRow sender;
  std::array<std::uint32_t, 8> receiver;
};

TEST_F(RouteFixture, PointToPointRowLayouts) {
  // 0 -> 2: lead -31, direction 1, receiver on fabric row 1.
  ASSERT_EQ(lead(0, 2), -31);
  ASSERT_EQ(row_of(2), 1u);
  const RowLayout layouts[] = {
      {51,
       {Sync3, Delay(143), Send(51, 1), Ret, 0, 0, 0, 0, 0},
       {Sync3, Xpic(0, 113), Xpic(0x640, 51), Pic(0, 3), Delay(56), Ret, 0, 0}},
      {52,
       {Sync3, Delay(143), Send(52, 1), Ret, 0, 0, 0, 0, 0},
       {Sync3, Xpic(0, 113), Pic(0, 54), Xpic(0x640, 1), Delay(57), Ret, 0, 0}},
      {53,
       {Sync3, Delay(143), Send(53, 1), Ret, 0, 0, 0, 0, 0},
       {Sync3, Xpic(0, 113), Pic(0, 54), Xpic(0x640, 1), Delay(57), Ret, 0, 0}},
      {4148,
       {Sync3, Delay(143), Send(64, 1), More(4084, 1), Ret, 0, 0, 0, 0},
       {Sync3, Xpic(0, 113), Pic(0, 54), Xpic(0x640, 4096), Delay(57), Ret, 0, 0}},
  };
  for (const RowLayout& layout : layouts) {
    SCOPED_TRACE(layout.count);
    const auto route = topology.point_to_point(0, 2, layout.count);
    ASSERT_TRUE(route.has_value());
    EXPECT_EQ(route->sender_row, layout.sender);
    EXPECT_EQ(route->receiver_template.patch_index, 1u);
    EXPECT_EQ(route->receiver_template.words, layout.receiver);
  }
  // Spot-check the notation itself against literal words.
  EXPECT_EQ(Xpic(0x640, 4096), 0x67FFC640u);
  EXPECT_EQ(More(4084, 1), 0x766FC001u);
  EXPECT_EQ(Pic(0, 54), 0x61A80000u);
}

TEST_F(RouteFixture, PointToPointLeadingAndTrailingDelays) {
  // Lead 112: the first send issues at once.
  const auto latest = topology.point_to_point(780, 0, 1);
  ASSERT_TRUE(latest.has_value());
  const std::uint32_t k780 = direction(phys(780), phys(0)).code;
  // 112 - 1 > 106: the row waits 5 more cycles after its single word.
  EXPECT_EQ(latest->sender_row, (ExchangeRow{Sync3, Send(1, k780), Delay(5), Ret, 0, 0, 0, 0, 0}));
  const auto six = topology.point_to_point(780, 0, 6);
  ASSERT_TRUE(six.has_value());
  EXPECT_EQ(six->sender_row, (ExchangeRow{Sync3, Send(6, k780), Ret, 0, 0, 0, 0, 0, 0}));

  // Lead -28: 140 cycles of delay.
  const auto early = topology.point_to_point(0, 1, 1);
  ASSERT_TRUE(early.has_value());
  EXPECT_EQ(early->sender_row[1], Delay(140));
  EXPECT_EQ(early->sender_row[1], 0x40A0008Bu);
}

TEST_F(RouteFixture, PointToPointDirectionCodes) {
  ASSERT_EQ(direction(phys(92), phys(0)).code, 2u);
  const auto backwards = topology.point_to_point(92, 0, 100);
  ASSERT_TRUE(backwards.has_value());
  EXPECT_EQ(backwards->sender_row, (ExchangeRow{Sync3, Delay(132), Send(64, 2), More(36, 2), Ret, 0, 0, 0, 0}));
}

TEST(FinalizePointReceiver, PatchesTheSourceIntoTheLow13Bits) {
  PointReceiverTemplate receiver;
  receiver.words = {Sync3, Xpic(0x2000, 113), Xpic(0x640, 5), Pic(0, 60), Delay(10), Ret, 0, 0};
  const auto row = finalize_point_receiver(receiver, 0x1ABC);
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(*row, (ExchangeRow{Sync3, Xpic(0x3ABC, 113), Xpic(0x640, 5), Pic(0, 60), Delay(10), Ret, 0, 0, 0}));
  EXPECT_TRUE(finalize_point_receiver(receiver, 8191).has_value());
  EXPECT_EQ(finalize_point_receiver(receiver, 8192).error(), reason("point receiver patch index"));
  receiver.patch_index = 7;
  EXPECT_TRUE(finalize_point_receiver(receiver, 1).has_value());
  receiver.patch_index = 8;
  EXPECT_EQ(finalize_point_receiver(receiver, 1).error(), reason("point receiver patch index"));
}

// ---- multicast --------------------------------------------------------------------

TEST_F(RouteFixture, MulticastReceiverSetValidation) {
  using V = std::vector<std::uint16_t>;
  EXPECT_EQ(topology.multicast(0, V{1}, 0, 0).error(), ExchangeError::count(0));
  EXPECT_EQ(topology.multicast(0, V{1}, 4149, 0).error(), ExchangeError::count(4149));
  EXPECT_EQ(topology.multicast(1472, V{}, 1, 0).error(), ExchangeError::tile(1472));
  const struct {
    const char* name;
    V receivers;
  } rejected[] = {
      {"empty", {}},
      {"only the sender", {5}},
      {"repeat", {1, 2, 1}},
      {"out of range", {1, 1472}},
      {"long list with a late repeat", {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 3}},
      {"long list out of range", {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 2000}},
  };
  for (const auto& c : rejected)
    EXPECT_EQ(topology.multicast(5, c.receivers, 1, 0).error(), ExchangeError::receiver_set()) << c.name;
  // With several receivers the sender may be one of them.
  EXPECT_TRUE(topology.multicast(5, V{5, 6}, 1, 0).has_value());
  V many;
  for (std::uint16_t r = 100; r < 400; ++r) many.push_back(r);
  const auto wide = topology.multicast(5, many, 1, 0);
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->receiver_rows.size(), many.size());
}

TEST_F(RouteFixture, MulticastDirectionControls) {
  using V = std::vector<std::uint16_t>;
  const auto forward = topology.multicast(0, V{2}, 10, 0);
  const auto backward = topology.multicast(92, V{0}, 10, 0);
  const auto both = topology.multicast(0, V{2, 3}, 10, 0);
  const auto with_sender = topology.multicast(92, V{92, 0, 184}, 10, 0);
  ASSERT_TRUE(forward && backward && both && with_sender);
  // F = max(0, -min lead): 31, 20, 31 and the largest negative lead.
  EXPECT_EQ(forward->sender_row, (ExchangeRow{Sync3, Delay(31), Send(10, 1), Ret, 0, 0, 0, 0, 0}));
  EXPECT_EQ(backward->sender_row, (ExchangeRow{Sync3, Delay(20), Send(10, 2), Ret, 0, 0, 0, 0, 0}));
  EXPECT_EQ(both->sender_row, (ExchangeRow{Sync3, Delay(31), Send(10, 3), Ret, 0, 0, 0, 0, 0}));
  EXPECT_EQ(send_control(with_sender->sender_row[2]), 3u);
}

TEST_F(RouteFixture, MulticastShortRowsSpanSixCycles) {
  using V = std::vector<std::uint16_t>;
  ASSERT_EQ(lead(46, 0), 19);  // F = 0
  const std::uint32_t k = direction(phys(46), phys(0)).code;
  const auto one = topology.multicast(46, V{0}, 1, 0);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->sender_row, (ExchangeRow{Sync3, Send(1, k), Delay(5), Ret, 0, 0, 0, 0, 0}));
  const auto delayed = topology.multicast(46, V{0}, 1, 2);
  ASSERT_TRUE(delayed.has_value());
  EXPECT_EQ(delayed->sender_row, (ExchangeRow{Sync3, Delay(2), Send(1, k), Delay(3), Ret, 0, 0, 0, 0}));
  const auto six = topology.multicast(46, V{0}, 6, 0);
  ASSERT_TRUE(six.has_value());
  EXPECT_EQ(six->sender_row, (ExchangeRow{Sync3, Send(6, k), Ret, 0, 0, 0, 0, 0, 0}));
}

TEST_F(RouteFixture, MulticastReceiverRows) {
  using V = std::vector<std::uint16_t>;
  // 690 -> [0, 2]: leads 96 and 94, so F = 0; rows on fabric rows 0 and 1.
  const std::int32_t t0 = lead(690, 0);
  const std::int32_t t2 = lead(690, 2);
  ASSERT_GE(std::min(t0, t2), 0);
  const std::uint32_t s = phys(690);
  const auto short_plan = topology.multicast(690, V{0, 2}, 20, 0);
  ASSERT_TRUE(short_plan.has_value());
  ASSERT_EQ(short_plan->receiver_rows.size(), 2u);
  EXPECT_EQ(short_plan->receiver_rows[0],
            (ExchangeRow{Sync3, Xpic(s, t0 + 1), Xpic(0x640, 20), Pic(0x14000, 32), Delay(25), Ret, 0, 0, 0}));
  EXPECT_EQ(short_plan->receiver_rows[1],
            (ExchangeRow{Sync3, Xpic(s, t2 + 1), Xpic(0x640, 20), Pic(0x14000, 34), Delay(25), Ret, 0, 0, 0}));
  const auto long_plan = topology.multicast(690, V{2}, 52, 7);
  ASSERT_TRUE(long_plan.has_value());
  EXPECT_EQ(long_plan->receiver_rows[0],
            (ExchangeRow{Sync3, Xpic(s, t2 + 7 + 1), Pic(0x14000, 54), Xpic(0x640, 1), Delay(57), Ret, 0, 0, 0}));
}

TEST_F(RouteFixture, MulticastCycleLimits) {
  using V = std::vector<std::uint16_t>;
  // 0 -> 2 needs F = 31 before any offset.
  EXPECT_TRUE(topology.multicast(0, V{2}, 1, 4064).has_value());
  EXPECT_EQ(topology.multicast(0, V{2}, 1, 4065).error(), reason("multicast start cycle"));
  EXPECT_EQ(topology.multicast(0, V{2}, 1, 0xFFFFFFFF).error(), reason("multicast start cycle"));
  EXPECT_EQ(topology.multicast(0, V{2}, 1, 0xFFFFFFE1).error(), reason("multicast start cycle"));
  // 690 -> 0 has lead 96 on top of the offset: its source would be issued
  // beyond the Xpic advance.
  const auto last = topology.multicast(690, V{0}, 1, 3999);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->receiver_rows[0][1], Xpic(phys(690), 4096));
  EXPECT_EQ(topology.multicast(690, V{0}, 1, 4000).error(), reason("multicast receive cycle"));
}

// ---- paired_multicast ------------------------------------------------------------

TEST_F(RouteFixture, PairedMulticastValidation) {
  using V = std::vector<std::uint16_t>;
  EXPECT_EQ(topology.paired_multicast(0, V{2, 3}, 63).error(), ExchangeError::count(63));
  EXPECT_EQ(topology.paired_multicast(0, V{2, 3}, 0).error(), ExchangeError::count(0));
  EXPECT_EQ(topology.paired_multicast(0, V{2, 3}, 4149).error(), ExchangeError::count(4149));
  const struct {
    const char* name;
    V receivers;
  } rejected[] = {
      {"empty", {}},
      {"odd length", {2}},
      {"repeat", {2, 2}},
      {"contains the sender", {0, 2}},
      {"contains the sender's partner", {1, 2}},
      {"partners missing", {2, 4}},
      {"receiver out of range", {2, 3, 1472, 1473}},
  };
  for (const auto& c : rejected)
    EXPECT_EQ(topology.paired_multicast(0, c.receivers, 64).error(), ExchangeError::receiver_set()) << c.name;
  EXPECT_EQ(topology.paired_multicast(1472, V{2, 3}, 64).error(), ExchangeError::tile(1472));

  // The last tile of an odd prefix has no partner.
  const std::vector<std::uint16_t> prefix(topology.logical_to_physical().begin(),
                                          topology.logical_to_physical().begin() + 5);
  const auto odd = Topology::create(prefix);
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(odd->paired_multicast(4, V{0, 1}, 64).error(), ExchangeError::tile(4));
  EXPECT_EQ(odd->paired_multicast(0, V{2, 4}, 64).error(), ExchangeError::receiver_set());
  EXPECT_TRUE(odd->paired_multicast(0, V{3, 2}, 64).has_value());
}

TEST_F(RouteFixture, PairedMulticastToOnePair) {
  using V = std::vector<std::uint16_t>;
  // Leads from 0: to 2 -31 (its partner 3: -30), to 3 -30 (partner -31). The
  // common minimum is -30, so both rows start their format at 1 + 2 + 51.
  const auto plan = topology.paired_multicast(0, V{2, 3}, 64);
  ASSERT_TRUE(plan.has_value());
  // Direction code 1 with the paired bit; F = 31 from the plain multicast.
  EXPECT_EQ(plan->sender_row, (ExchangeRow{Sync3, Delay(31), Send(64, 5), Ret, 0, 0, 0, 0, 0}));
  ASSERT_EQ(plan->receiver_rows.size(), 2u);
  // Tile 2 selects the pair's source at 1 and releases it at 65.
  EXPECT_EQ(plan->receiver_rows[0], (ExchangeRow{Sync3, Xpic(0x2000, 1), Pic(0x40001, 53), Pic(0, 2), Xpic(0x2640, 9),
                                                 Pic(0x40000, 53), Delay(7), Ret, 0}));
  EXPECT_EQ(plan->receiver_rows[1],
            (ExchangeRow{Sync3, Pic(0x40001, 54), Pic(0, 2), Pic(0x40000, 62), Delay(7), Ret, 0, 0, 0}));

  const auto longer = topology.paired_multicast(0, V{3, 2}, 200);
  ASSERT_TRUE(longer.has_value());
  EXPECT_EQ(longer->sender_row, (ExchangeRow{Sync3, Delay(31), Send(64, 5), More(136, 5), Ret, 0, 0, 0, 0}));
  // Format end 54 + 200 is beyond one Pic advance from the pointer at 56.
  EXPECT_EQ(longer->receiver_rows[0],
            (ExchangeRow{Sync3, Pic(0x40001, 54), Pic(0, 2), Delay(70), Pic(0x40000, 128), Delay(7), Ret, 0, 0}));
}

TEST_F(RouteFixture, PairedMulticastControlWithSeveralPairs) {
  using V = std::vector<std::uint16_t>;
  const auto plan = topology.paired_multicast(0, V{2, 3, 94, 95}, 100);
  ASSERT_TRUE(plan.has_value());
  EXPECT_EQ(send_control(plan->sender_row[2]), 7u);
  EXPECT_EQ(send_control(plan->sender_row[3]), 7u);
  // Towards lower positions the pair control carries direction code 2.
  const auto back = topology.paired_multicast(94, V{0, 1}, 100);
  ASSERT_TRUE(back.has_value());
  ASSERT_EQ(direction(phys(94), phys(0)).code, 2u);
  EXPECT_EQ(send_control(back->sender_row[2]), 6u);
  // Format value 2 towards lower positions.
  const ExchangeRow& row = back->receiver_rows[0];
  EXPECT_NE(std::find_if(row.begin(), row.end(), [](std::uint32_t w) { return is_pic_word(w) && pic_value(w) == 0x40002u; }),
            row.end());
}

TEST_F(RouteFixture, PairedMulticastCoincidentControls) {
  using V = std::vector<std::uint16_t>;
  // Receiver 14 (fabric row 7) selects the source at 1; its format starts at
  // 1 + 14 + 51 = 66 and its pointer at 68.
  ASSERT_EQ(row_of(14), 7u);
  ASSERT_LT(lead(0, 14), time_to_mux(phys(0), phys(14) ^ 2));
  // Release at 1 + 65 = 66: on the format start.
  EXPECT_EQ(topology.paired_multicast(0, V{14, 15}, 65).error(), reason("paired receive coincident controls"));
  // Release at 68: on the pointer.
  EXPECT_EQ(topology.paired_multicast(0, V{14, 15}, 67).error(), reason("paired receive coincident controls"));
  EXPECT_TRUE(topology.paired_multicast(0, V{14, 15}, 66).has_value());
  EXPECT_TRUE(topology.paired_multicast(0, V{14, 15}, 68).has_value());
}

TEST_F(RouteFixture, PairedReceiverRowGuards) {
  EXPECT_EQ(topology.paired_receiver_row(1472, 2, 64, 0).error(), ExchangeError::tile(1472));
  EXPECT_EQ(topology.paired_receiver_row(0, 1472, 64, 0).error(), ExchangeError::tile(1472));
  // A common minimum above this pair's lead would place its source before
  // the phase-entry sync.
  EXPECT_EQ(topology.paired_receiver_row(0, 2, 64, 100).error(), reason("paired source timing"));
  // Too few words put the format end onto the pointer or the format start.
  EXPECT_EQ(topology.paired_receiver_row(0, 3, 2, -30).error(), reason("paired receive coincident controls"));
  EXPECT_EQ(topology.paired_receiver_row(0, 3, 0, -30).error(), reason("paired receive coincident controls"));
  // The format end must leave room for the row's last seven cycles.
  EXPECT_EQ(topology.paired_receiver_row(0, 3, 0xFFFFFF00u, INT32_MIN).error(),
            reason("paired receive horizon overflow"));
  EXPECT_EQ(topology.paired_receiver_row(0, 3, 0xFFFFFFFFu, INT32_MIN).error(),
            reason("paired receive horizon overflow"));
  // A source far from the sync needs two delay words before it: the row no
  // longer fits nine words.
  EXPECT_EQ(topology.paired_receiver_row(0, 2, 64, -600000).error(), reason("paired receive row capacity"));
  // Without its own source the same timing still fits.
  const auto fits = topology.paired_receiver_row(0, 3, 64, -600000);
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ((*fits)[0], Sync3);
}

TEST_F(RouteFixture, PairedReceiverRowRejectsASourceAtPhaseEntry) {
  // 4 -> 737 has lead -1 and its partner lead 0; with a common minimum of 1
  // the source would take effect at cycle 0, where no control can be issued.
  ASSERT_EQ(lead(4, 737), -1);
  ASSERT_EQ(time_to_mux(phys(4), phys(737) ^ 2), 0);
  EXPECT_EQ(topology.paired_receiver_row(4, 737, 64, 1).error(), reason("receive control issue interval"));
  EXPECT_TRUE(topology.paired_receiver_row(4, 737, 64, 0).has_value());
}

// ---- debug events --------------------------------------------------------------

class RouteLogCapture : public RouteFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(log_.ok()); }
  void install(std::string_view filter) { log_.install(filter, /*json=*/true); }
  std::string output() { return log_.output(); }

  kel_runtime::testing::LogCapture log_;
};

TEST_F(RouteLogCapture, RoutesLogTheirAssembly) {
  install("kel_exchange=debug");
  ASSERT_TRUE(topology.point_to_point(0, 2, 51).has_value());
  ASSERT_TRUE(topology.multicast(0, std::vector<std::uint16_t>{2, 3}, 9, 4).has_value());
  const std::string text = output();
  EXPECT_NE(text.find(R"("fields":{"message":"assembled point-to-point exchange","sender_logical":0,)"
                      R"("receiver_logical":2,"count":51},"target":"kel_exchange"})"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(R"("fields":{"message":"assembled multicast exchange","sender_logical":0,)"
                      R"("receiver_logical":"[2, 3]","count":9,"schedule_offset":4},"target":"kel_exchange"})"),
            std::string::npos)
      << text;
}

TEST_F(RouteLogCapture, FailedRoutesLogNothing) {
  install("kel_exchange=debug");
  EXPECT_FALSE(topology.point_to_point(0, 0, 1).has_value());
  EXPECT_FALSE(topology.multicast(0, std::vector<std::uint16_t>{}, 1, 0).has_value());
  EXPECT_EQ(output(), "");
}

TEST_F(RouteLogCapture, EventsAreDebugLevel) {
  install("kel_exchange=info");
  ASSERT_TRUE(topology.point_to_point(0, 2, 51).has_value());
  ASSERT_TRUE(topology.multicast(0, std::vector<std::uint16_t>{2}, 9, 0).has_value());
  EXPECT_EQ(output(), "");
}

}  // namespace
}  // namespace kel_exchange
