// The phase program builder's offset search, proofs, staging, budget and
// placement rules on small real routes.
#include "kel_exchange/PhaseProgramBuilder.h"

#include <gtest/gtest.h>

#include "kel_exchange/Topology.h"

namespace {

using namespace kel_exchange;


/// A plan with its prepared timing; the timing points into the plan.
struct Route {
  MulticastPlan plan;
  PreparedTransfer prepared;
  std::vector<std::uint16_t> receivers;

  Route(const Topology& topology, std::uint16_t source, std::vector<std::uint16_t> to, std::uint32_t words)
      : plan(topology.multicast(source, to, words, 0).value()), receivers(std::move(to)) {
    prepared = plan.prepare().value();
  }
  Route(const Route&) = delete;
};

/// A send with no receivers whose payload occupies [send_start, send_end)
/// relative to the offset.
struct BareSend {
  MulticastPlan plan;
  PreparedTransfer prepared;
  BareSend(const Topology& topology, std::uint32_t send_start, std::uint32_t length) {
    plan = topology.multicast(0, std::vector<std::uint16_t>{1}, length, send_start).value();
    plan.receiver_rows.clear();
    prepared = plan.prepare().value();
  }
  BareSend(const BareSend&) = delete;
};

const Topology kTopology = Topology::r817_prefix(8).value();

std::string reason(const ExchangeError& e) { return std::string(e.reason()); }

TEST(PhaseProgramBuilder, EmptyBuilderFinishesEmpty) {
  const auto builder = PhaseProgramBuilder::create(0);
  EXPECT_EQ(builder.event_cycles(), 0u);
  const auto programs = builder.finish();
  ASSERT_TRUE(programs.has_value());
  EXPECT_TRUE(programs->programs.empty());
  EXPECT_TRUE(programs->tile_event_cycles.empty());
  EXPECT_EQ(programs->event_cycles, 0u);
}

TEST(PhaseProgramBuilder, ReceiverCountMustMatchTheRows) {
  auto builder = PhaseProgramBuilder::create(8);
  const Route route(kTopology, 0, {1, 2}, 16);
  const std::vector<std::uint16_t> one{1};
  EXPECT_EQ(reason(builder.earliest_transfer_offset(0, {}, one, route.prepared, 16, 0).error()),
            "receiver row count");
  EXPECT_EQ(reason(builder.earliest_transfer_offset_deferred(0, {}, one, route.prepared, 16, 0).error()),
            "receiver row count");
  EXPECT_EQ(reason(builder.transfer_timing_at(0, one, route.prepared, 0, 16).error()), "receiver row count");
  EXPECT_EQ(reason(builder.append_transfer_at(0, {}, one, route.prepared, 0, 16).error()), "receiver row count");
}

TEST(PhaseProgramBuilder, RepeatedReceiverIsCaughtWhenPrepared) {
  auto builder = PhaseProgramBuilder::create(8);
  const Route route(kTopology, 0, {1, 2}, 16);
  const std::vector<std::uint16_t> twice{1, 1};
  EXPECT_TRUE(builder.earliest_transfer_offset_deferred(0, {}, twice, route.prepared, 16, 0).has_value());
  EXPECT_EQ(builder.earliest_transfer_offset(0, {}, twice, route.prepared, 16, 0).error(),
            ExchangeError::duplicate_tile());
  EXPECT_EQ(builder.append_transfer_at(0, {}, twice, route.prepared, 200, 16).error(),
            ExchangeError::duplicate_tile());
  EXPECT_EQ(builder.event_cycles(), 0u);
}

TEST(PhaseProgramBuilder, SearchThenAppendUsesTheStagedProof) {
  auto builder = PhaseProgramBuilder::create(8);
  const Route route(kTopology, 0, {1, 2}, 100);
  const auto offset = builder.earliest_transfer_offset(0, {}, route.receivers, route.prepared, 100, 0);
  ASSERT_TRUE(offset.has_value());
  ASSERT_TRUE(builder.staged().has_value());
  const auto timing = builder.append_transfer_at(0, {}, route.receivers, route.prepared, *offset, 100);
  ASSERT_TRUE(timing.has_value());
  EXPECT_FALSE(builder.staged().has_value());
  EXPECT_EQ(timing->send_start, *offset + route.prepared.send_start);
  EXPECT_EQ(builder.tiles()[0].sender_rows.len(), 1u);
  EXPECT_GT(builder.tiles()[1].receive_events.len(), 0u);
  const auto programs = builder.finish();
  ASSERT_TRUE(programs.has_value()) << programs.error().message();
  EXPECT_TRUE(programs->programs[1].has_value());
  EXPECT_FALSE(programs->programs[5].has_value());
  EXPECT_EQ(programs->tile_event_cycles[5], 0u);
  EXPECT_EQ(programs->event_cycles, builder.event_cycles());
}

TEST(PhaseProgramBuilder, NewRowWaitsForTheSourcesBusyRow) {
  auto builder = PhaseProgramBuilder::create(8);
  // Rows are [offset + s, offset + s + length) for the route's lead s.
  const BareSend busy(kTopology, 0, 10);
  ASSERT_TRUE(builder.append_transfer_at(0, {}, {}, busy.prepared, 10, 10).has_value());
  const BareSend next(kTopology, 0, 5);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, {}, next.prepared, 5, 12), 20u);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, {}, next.prepared, 5, 0), 0u);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, {}, next.prepared, 5, 6), 20u);
}

TEST(PhaseProgramBuilder, SendAvoidsItsOwnReceiveControls) {
  auto builder = PhaseProgramBuilder::create(8);
  const Route into_zero(kTopology, 1, {0}, 300);
  ASSERT_TRUE(builder.append_transfer_at(1, {}, into_zero.receivers, into_zero.prepared, 100, 300).has_value());
  const BareSend send(kTopology, 0, 4);
  const std::uint32_t lead = send.prepared.send_start;
  const auto& events = builder.tiles()[0].receive_events;
  ASSERT_GT(events.len(), 0u);
  const auto forbidden = [&](std::uint32_t start) {
    for (const ReceiveEvent& e : events)
      if (start == e.cycle || start + 1 == e.cycle) return true;
    return false;
  };
  for (const ReceiveEvent& e : events) {
    ASSERT_GE(e.cycle, lead + 1);
    // A row starting on a control's cycle or the cycle before it is refused.
    for (const std::uint32_t start : {e.cycle - 1, e.cycle}) {
      const auto offset = builder.earliest_transfer_offset_deferred(0, {}, {}, send.prepared, 4, start - lead);
      ASSERT_TRUE(offset.has_value());
      EXPECT_GT(*offset, start - lead);
      EXPECT_FALSE(forbidden(*offset + lead));
    }
  }
}

TEST(PhaseProgramBuilder, PartnersMustBeDistinctAndAreHeldBusy) {
  auto builder = PhaseProgramBuilder::create(8);
  const Route route(kTopology, 0, {2}, 30);
  const std::vector<std::uint16_t> source_partner{0}, receiver_partner{2}, partner{1};
  EXPECT_EQ(builder.append_transfer_at(0, source_partner, route.receivers, route.prepared, 0, 30).error(),
            ExchangeError::duplicate_tile());
  EXPECT_EQ(builder.append_transfer_at(0, receiver_partner, route.receivers, route.prepared, 0, 30).error(),
            ExchangeError::duplicate_tile());
  EXPECT_EQ(builder.event_cycles(), 0u);

  const auto timing = builder.append_transfer_at(0, partner, route.receivers, route.prepared, 0, 30);
  ASSERT_TRUE(timing.has_value());
  EXPECT_GE(builder.tiles()[1].ready_cycle, timing->sender_horizon);
  EXPECT_GE(builder.tiles()[1].event_horizon, timing->sender_horizon);

  const Route later(kTopology, 1, {3}, 10);
  const auto offset = builder.earliest_transfer_offset_deferred(1, {}, later.receivers, later.prepared, 10, 0);
  ASSERT_TRUE(offset.has_value());
  EXPECT_GE(*offset + later.prepared.send_start, timing->sender_horizon);
}

TEST(PhaseProgramBuilder, SourceMayReceiveItsOwnMulticast) {
  auto builder = PhaseProgramBuilder::create(8);
  const Route route(kTopology, 0, {0, 3}, 200);
  const auto offset = builder.earliest_transfer_offset(0, {}, route.receivers, route.prepared, 200, 0);
  ASSERT_TRUE(offset.has_value()) << offset.error().message();
  ASSERT_TRUE(builder.append_transfer_at(0, {}, route.receivers, route.prepared, *offset, 200).has_value());
  EXPECT_EQ(builder.tiles()[0].sender_rows.len(), 1u);
  EXPECT_GT(builder.tiles()[0].receive_events.len(), 0u);
  EXPECT_TRUE(builder.finish().has_value());
}

TEST(PhaseProgramBuilder, ProofsChargeTheBudgetPerTileWork) {
  auto builder = PhaseProgramBuilder::create(8).with_validation_budget(1000);
  const Route first(kTopology, 0, {1}, 8);
  auto offset = builder.earliest_transfer_offset(0, {}, first.receivers, first.prepared, 8, 0);
  ASSERT_TRUE(offset.has_value());
  EXPECT_EQ(builder.remaining_budget(), 1000u - 2u);  // (1 + 0 + 0) + (1 + 0 + 0)
  ASSERT_TRUE(builder.append_transfer_at(0, {}, first.receivers, first.prepared, *offset, 8).has_value());

  // A staged hit and a deferred search charge nothing.
  const Route second(kTopology, 0, {1}, 8);
  const std::uint64_t rows0 = builder.tiles()[0].sender_rows.len(), events0 = builder.tiles()[0].receive_events.len();
  const std::uint64_t rows1 = builder.tiles()[1].sender_rows.len(), events1 = builder.tiles()[1].receive_events.len();
  ASSERT_TRUE(builder.earliest_transfer_offset_deferred(0, {}, second.receivers, second.prepared, 8, 0).has_value());
  EXPECT_EQ(builder.remaining_budget(), 998u);
  offset = builder.earliest_transfer_offset(0, {}, second.receivers, second.prepared, 8, 0);
  ASSERT_TRUE(offset.has_value());
  EXPECT_EQ(builder.remaining_budget(), 998u - ((1 + rows0 + events0) + (1 + rows1 + events1)));
  const auto left = builder.remaining_budget();
  ASSERT_TRUE(builder.earliest_transfer_offset(0, {}, second.receivers, second.prepared, 8, *offset).has_value());
  EXPECT_EQ(builder.remaining_budget(), left);
}

TEST(PhaseProgramBuilder, ExhaustedBudgetFailsOnlyTheEncodingSearch) {
  auto builder = PhaseProgramBuilder::create(8).with_validation_budget(1);
  const Route route(kTopology, 0, {1}, 8);
  EXPECT_EQ(builder.earliest_transfer_offset(0, {}, route.receivers, route.prepared, 8, 0).error(),
            ExchangeError::validation_budget_exceeded());
  EXPECT_EQ(builder.remaining_budget(), 1u);
  EXPECT_TRUE(builder.earliest_transfer_offset_deferred(0, {}, route.receivers, route.prepared, 8, 0).has_value());
}

TEST(PhaseProgramBuilder, OverlappingRowsAreRefusedOnAppend) {
  auto builder = PhaseProgramBuilder::create(8);
  const Route route(kTopology, 0, {1}, 40);
  ASSERT_TRUE(builder.append_transfer_at(0, {}, route.receivers, route.prepared, 0, 40).has_value());
  const Route other(kTopology, 0, {2}, 40);
  EXPECT_EQ(reason(builder.append_transfer_at(0, {}, other.receivers, other.prepared, 10, 40).error()),
            "overlapping outgoing messages");
  EXPECT_EQ(builder.tiles()[2].event_horizon, 0u);
}

TEST(PhaseProgramBuilder, OutOfRangeTilesAreReported) {
  auto builder = PhaseProgramBuilder::create(2);
  const Route route(kTopology, 0, {1}, 8);
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(5, {}, route.receivers, route.prepared, 8, 0).error(),
            ExchangeError::tile(5));
  const std::vector<std::uint16_t> far{7};
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, {}, far, route.prepared, 8, 0).error(),
            ExchangeError::tile(7));
  EXPECT_EQ(builder.earliest_transfer_offset_deferred(0, far, route.receivers, route.prepared, 8, 0).error(),
            ExchangeError::tile(7));
}

// A receiver that took a paired stream keeps that stream's format-end control
// until a stream continuing the same format replaces it. Any other stream must
// not put a control on that cycle: whatever offset the search accepts must
// append and encode.
struct PairedRoute {
  MulticastPlan plan;
  PreparedTransfer prepared;
  PairedRoute(const Topology& topology, std::uint16_t source, std::vector<std::uint16_t> to, std::uint32_t items)
      : plan(topology.paired_multicast(source, to, items).value()) {
    prepared = plan.prepare().value();
  }
  PairedRoute(const PairedRoute&) = delete;
};

TEST(PhaseProgramBuilder, FormatEndCycleIsSharedOnlyByAContinuingStream) {
  const std::vector<std::uint16_t> pair{2, 3};
  const std::vector<std::uint16_t> partner{1};
  auto base = PhaseProgramBuilder::create(8);
  const PairedRoute paired(kTopology, 0, pair, 64);
  ASSERT_TRUE(base.append_transfer_at(0, partner, pair, paired.prepared, 0, 64).has_value());
  ASSERT_TRUE(base.tiles()[2].receive_state && base.tiles()[2].receive_state->format_end);
  const std::uint32_t format_end = *base.tiles()[2].receive_state->format_end;

  const auto format_event_at = [&](const PhaseProgramBuilder& b, std::uint32_t cycle) {
    const auto& events = b.tiles()[2].receive_events;
    bool format = false, other = false;
    for (std::size_t i = 0; i < events.len(); ++i)
      if (events[i].cycle == cycle) (events[i].kind == ReceiveEventKind::Format ? format : other) = true;
    return std::pair{format, other};
  };

  // Ordinary streams into tile 2 from every other sender, at every earliest
  // offset around the format end.
  for (std::uint16_t source = 4; source < 8; ++source)
    for (const std::uint32_t words : {1u, 3u, 8u, 40u}) {
      const Route ordinary(kTopology, source, {2}, words);
      for (std::uint32_t not_before = 0; not_before < format_end + 8; ++not_before) {
        SCOPED_TRACE(testing::Message() << "source " << source << " words " << words << " not before " << not_before);
        const auto offset = base.earliest_transfer_offset_deferred(source, {}, ordinary.receivers, ordinary.prepared,
                                                                   words, not_before);
        ASSERT_TRUE(offset.has_value());
        auto placed = base;
        ASSERT_TRUE(placed.append_transfer_at(source, {}, ordinary.receivers, ordinary.prepared, *offset, words));
        const auto [format, other] = format_event_at(placed, format_end);
        EXPECT_TRUE(format);
        EXPECT_FALSE(other) << "a control shares the old format end";
        const auto programs = placed.finish();
        ASSERT_TRUE(programs.has_value()) << programs.error().message();
      }
    }

  // A later paired stream whose format start meets the format end with the
  // same format continues it: the search accepts that cycle, and preparation
  // removes the old format-end control.
  bool continued = false;
  for (const std::uint16_t source : {0, 4, 6})
    for (const std::uint32_t items : {64u, 65u, 80u}) {
      const std::vector<std::uint16_t> partners{static_cast<std::uint16_t>(source + 1)};
      const PairedRoute again(kTopology, source, pair, items);
      for (std::uint32_t not_before = 0; not_before < format_end + 8; ++not_before) {
        const auto offset =
            base.earliest_transfer_offset_deferred(source, partners, pair, again.prepared, items, not_before);
        ASSERT_TRUE(offset.has_value());
        auto placed = base;
        ASSERT_TRUE(placed.append_transfer_at(source, partners, pair, again.prepared, *offset, items));
        continued |= !format_event_at(placed, format_end).first;
        const auto programs = placed.finish();
        ASSERT_TRUE(programs.has_value()) << programs.error().message();
      }
    }
  EXPECT_TRUE(continued);
}

}  // namespace
