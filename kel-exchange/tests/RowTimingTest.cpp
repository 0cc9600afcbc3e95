// Reading rows back into timing, placing receive windows at an offset, and the
// property that ties the two route ends together: every prepared route's
// timing agrees with the row formulas, and a receiver's source takes effect
// one cycle after the sender's first send plus the multiplexer lead time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "kel_exchange/MulticastPlan.h"
#include "kel_exchange/PointToPointRoute.h"
#include "kel_exchange/PreparedTransfer.h"
#include "kel_exchange/ReceiveRowTiming.h"
#include "kel_exchange/RouteTiming.h"
#include "kel_exchange/ScheduledReceiverWindow.h"
#include "kel_exchange/SenderRowTiming.h"
#include "WordNotation.h"
#include "kel_exchange/Topology.h"

namespace kel_exchange {
namespace {

using namespace test_words;
/// First word of a paired send of n items carrying a Pic and an Xpic value.
constexpr std::uint32_t PairedSend(std::uint32_t n, std::uint32_t pic) {
  return 0xF0000000u | ((n - 1) << 21) | (((pic >> 18) & 1u) << 27);
}
constexpr std::uint32_t PairedSendSecond(std::uint32_t pic, std::uint32_t xpic) { return (pic & 0x3FFFFu) | (xpic << 18); }

constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

ExchangeError reason(const char* text) { return ExchangeError::schedule(text); }

ReceiveEvent event(std::uint32_t cycle, std::uint32_t word, ReceiveEventKind kind) { return {cycle, word, kind}; }

using K = ReceiveEventKind;

// ---- sender_row_timing -------------------------------------------------------------

TEST(SenderRowTiming, WalksTheRowFromTheBase) {
  const ExchangeRow row{Sync3, Delay(10), Send(64, 1), More(100, 1), Delay(4), Ret, 0, 0, 0};
  EXPECT_EQ(sender_row_timing(row, 0), (SenderRowTiming{10, 174, 178}));
  EXPECT_EQ(sender_row_timing(row, 1000), (SenderRowTiming{1010, 1174, 1178}));
  // A send at the very start, no trailing words.
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Send(1, 2), Ret}, 0), (SenderRowTiming{0, 1, 1}));
  // Words after the return are not read.
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Send(3, 2), Ret, Delay(9), Send(5, 1)}, 0),
            (SenderRowTiming{0, 3, 3}));
  // The return may stand at the last word.
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Delay(1), Delay(1), Delay(1), Delay(1), Delay(1), Delay(1),
                                          Send(2, 1), Ret},
                              0),
            (SenderRowTiming{6, 8, 8}));
}

TEST(SenderRowTiming, ControlCarryingSendsAreNotPayload) {
  // A single-control send lasts its items but is no payload of the row.
  const std::uint32_t control_send = 0x70100000u | (3u << 21) | 0x80000u;
  ASSERT_TRUE(is_control_send_word(control_send));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, control_send, Send(2, 1), Ret}, 0), (SenderRowTiming{4, 6, 6}));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, control_send, Ret}, 0).error(), reason("sender payload"));
  // A paired send is two words lasting its items; its second word is data,
  // here one that would read as Delay(10).
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, PairedSend(2, 0), Delay(10), Send(4, 1), Ret}, 0),
            (SenderRowTiming{2, 6, 6}));
}

TEST(SenderRowTiming, Errors) {
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3 + 1, Send(1, 1), Ret}, 0).error(), reason("sender row entry"));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Ret, Send(1, 1), Ret}, 0).error(), reason("sender row entry"));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Ret}, 0).error(), reason("sender payload"));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Delay(3), Ret}, 0).error(), reason("sender payload"));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Send(1, 1), Delay(1), Delay(1), Delay(1), Delay(1), Delay(1),
                                          Delay(1), Delay(1)},
                              0)
                .error(),
            reason("sender row return"));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Send(1, 1), Ret}, kMax).error(),
            reason("sender event horizon overflow"));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Delay(16), Send(1, 1), Ret}, kMax - 16).error(),
            reason("sender event horizon overflow"));
  EXPECT_EQ(sender_row_timing(ExchangeRow{Sync3, Delay(16), Send(1, 1), Ret}, kMax - 17),
            (SenderRowTiming{kMax - 1, kMax, kMax}));
}

// ---- receive_row_timing ------------------------------------------------------------

TEST(ReceiveRowTiming, PointToPointCountTenOnRowR) {
  const Topology topology = Topology::r817();
  // Receivers on fabric rows 0, 1 and 22.
  for (const std::uint16_t receiver : {std::uint16_t{1}, std::uint16_t{2}, std::uint16_t{44}}) {
    const std::uint32_t r = route_row(topology.logical_to_physical()[receiver]);
    SCOPED_TRACE(r);
    const auto route = topology.point_to_point(0, receiver, 10);
    ASSERT_TRUE(route.has_value());
    const auto row = finalize_point_receiver(route->receiver_template, 0);
    ASSERT_TRUE(row.has_value());
    const auto timing = receive_row_timing(*row, 0);
    ASSERT_TRUE(timing.has_value());
    EXPECT_EQ(timing->source, 113u);
    EXPECT_EQ(timing->teardown, 123u);
    EXPECT_EQ(timing->pointer, 165 + 2 * r);
    EXPECT_EQ(timing->horizon, 180 + 2 * r);
    EXPECT_EQ(timing->pointer_address, 0u);
    EXPECT_FALSE(timing->paired);
    EXPECT_FALSE(timing->format_start.has_value());
    EXPECT_FALSE(timing->format_end.has_value());
    EXPECT_EQ(timing->events, (std::vector<ReceiveEvent>{event(113, Xpic(0, 113), K::Source),
                                                         event(123, Xpic(0x640, 10), K::Teardown),
                                                         event(165 + 2 * r, Pic(0, 2 * r + 42), K::Pointer)}));
  }
}

TEST(ReceiveRowTiming, OrdinaryRowsAcrossTheCountBoundaries) {
  const Topology topology = Topology::r817();
  const std::uint32_t r = 1;  // logical tile 2
  const struct {
    std::uint32_t count, teardown, horizon;
  } cases[] = {
      {1, 114, 171 + 2 * r},
      {51, 164, 221 + 2 * r},
      {52, 166 + 2 * r, 223 + 2 * r},
      {53, 166 + 2 * r, 223 + 2 * r},
      {54, 167 + 2 * r, 224 + 2 * r},
      {4148, 4261 + 2 * r, 4318 + 2 * r},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    const auto route = topology.point_to_point(0, 2, c.count);
    ASSERT_TRUE(route.has_value());
    const auto timing = receive_row_timing(*finalize_point_receiver(route->receiver_template, 0), 7);
    ASSERT_TRUE(timing.has_value());
    EXPECT_EQ(timing->source, 7 + 113u);
    EXPECT_EQ(timing->teardown, 7 + c.teardown);
    EXPECT_EQ(timing->pointer, 7 + 165 + 2 * r);
    EXPECT_EQ(timing->horizon, 7 + c.horizon);
  }
}

TEST(ReceiveRowTiming, PairedSendCarriesBothControlsOneCycleAfterItStarts) {
  // Delay to 10, then a 3-cycle carrier with pointer 0x100 and source tile 5;
  // the release follows 3 cycles after the carrier.
  const ExchangeRow row{Sync3, Delay(10), PairedSend(3, 0x100), PairedSendSecond(0x100, 5), Xpic(0x640, 3), Delay(2),
                        Ret};
  const auto timing = receive_row_timing(row, 0);
  ASSERT_TRUE(timing.has_value());
  EXPECT_EQ(timing->events, (std::vector<ReceiveEvent>{event(11, 0x64000005, K::Source),
                                                       event(11, 0x60000100, K::Pointer),
                                                       event(16, Xpic(0x640, 3), K::Teardown)}));
  EXPECT_EQ(timing->source, 11u);
  EXPECT_EQ(timing->pointer, 11u);
  EXPECT_EQ(timing->pointer_address, 0x400u);
  EXPECT_EQ(timing->teardown, 16u);
  EXPECT_EQ(timing->horizon, 18u);

  // A paired-format carrier: format start (Pic bit 18 from bit 27) with a
  // paired source, then the pointer and the format end and release.
  const ExchangeRow paired{Sync3,
                           PairedSend(1, 0x40001),
                           PairedSendSecond(0x40001, 0x2000 | 9),
                           Pic(0x40, 2),
                           Xpic(0x2640, 3),
                           Pic(0x40000, 1),
                           Ret};
  const auto p = receive_row_timing(paired, 100);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->events, (std::vector<ReceiveEvent>{event(101, 0x64002009, K::PairedSource),
                                                  event(101, 0x60040001, K::Format),
                                                  event(103, Pic(0x40, 2), K::PairedPointer),
                                                  event(106, Xpic(0x2640, 3), K::PairedTeardown),
                                                  event(107, Pic(0x40000, 1), K::Format)}));
  EXPECT_TRUE(p->paired);
  EXPECT_EQ(p->format_start, 101u);
  EXPECT_EQ(p->format_end, 107u);
  EXPECT_EQ(p->pointer_address, 0x100u);
  EXPECT_EQ(p->horizon, 107u);
}

TEST(ReceiveRowTiming, Errors) {
  const struct {
    const char* name;
    ExchangeRow row;
    std::uint32_t base;
    const char* reason;
  } cases[] = {
      {"entry", {Delay(1), Xpic(0, 1), Ret}, 0, "receive row entry"},
      {"no return", {Sync3, Xpic(0, 1), Xpic(0x640, 1), Pic(0, 1), Delay(1), Delay(1), Delay(1), Delay(1), Delay(1)},
       0, "receive row return"},
      {"empty row", {Sync3, Ret}, 0, "incomplete ordinary receive mux"},
      {"no teardown", {Sync3, Xpic(0, 1), Pic(0, 1), Ret}, 0, "incomplete ordinary receive mux"},
      {"no source", {Sync3, Xpic(0x640, 1), Pic(0, 1), Ret}, 0, "incomplete ordinary receive mux"},
      {"two sources", {Sync3, Xpic(0, 1), Xpic(3, 1), Xpic(0x640, 1), Ret}, 0, "multiple receive sources"},
      {"ordinary and paired source", {Sync3, Xpic(0, 1), Xpic(0x2003, 1), Ret}, 0, "multiple receive sources"},
      {"two teardowns", {Sync3, Xpic(0, 1), Xpic(0x640, 1), Xpic(0x2640, 1), Ret}, 0, "multiple receive teardowns"},
      {"two pointers", {Sync3, Xpic(0, 1), Pic(0, 1), Pic(4, 1), Xpic(0x640, 1), Ret}, 0, "multiple receive pointers"},
      {"two format starts", {Sync3, Pic(0x40001, 1), Pic(0x40002, 1), Pic(0x40000, 1), Ret}, 0,
       "multiple paired format starts"},
      {"two format ends", {Sync3, Pic(0x40001, 1), Pic(0x40000, 1), Pic(0x40000, 1), Ret}, 0,
       "multiple paired format ends"},
      {"format value 3", {Sync3, Pic(0x40003, 1), Ret}, 0, "paired receive format value"},
      {"paired without end", {Sync3, Pic(0x40001, 1), Pic(0, 2), Ret}, 0, "incomplete paired receive format"},
      {"paired source in an ordinary row", {Sync3, Xpic(0x2000, 1), Xpic(0x640, 1), Pic(0, 1), Ret}, 0,
       "incomplete paired receive format"},
      {"paired release in an ordinary row", {Sync3, Xpic(0, 1), Xpic(0x2640, 1), Pic(0, 1), Ret}, 0,
       "incomplete paired receive format"},
      {"control overflow", {Sync3, Xpic(0, 2), Xpic(0x640, 1), Ret}, kMax - 1, "receive event horizon overflow"},
      {"delay overflow", {Sync3, Xpic(0, 1), Xpic(0x640, 1), Delay(1), Ret}, kMax - 2,
       "receive event horizon overflow"},
      {"carrier at the last cycle", {Sync3, PairedSend(1, 0), PairedSendSecond(0, 0), Ret}, kMax,
       "receive event horizon overflow"},
      {"carrier overflow", {Sync3, PairedSend(4, 0), PairedSendSecond(0, 0), Ret}, kMax - 3,
       "receive event horizon overflow"},
  };
  for (const auto& c : cases) EXPECT_EQ(receive_row_timing(c.row, c.base).error(), reason(c.reason)) << c.name;
  // Right at the edge of the cycle range.
  EXPECT_TRUE(receive_row_timing(ExchangeRow{Sync3, Xpic(0, 1), Xpic(0x640, 1), Ret}, kMax - 2).has_value());
}

TEST(ReceiveRowTiming, FromBaseShiftsOrFailsWithoutWrapping) {
  const std::vector<ReceiveEvent> events{event(0, Xpic(0, 1), K::Source), event(20, Pic(0, 1), K::Pointer)};
  const auto moved = receive_row_timing_from_base(events, 100);
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(*moved, (std::vector<ReceiveEvent>{event(100, Xpic(0, 1), K::Source), event(120, Pic(0, 1), K::Pointer)}));
  EXPECT_TRUE(receive_row_timing_from_base(events, kMax - 20).has_value());
  EXPECT_EQ(receive_row_timing_from_base(events, kMax - 19).error(), reason("receive offset overflow"));
  EXPECT_TRUE(receive_row_timing_from_base({}, kMax).value().empty());
}

// ---- scheduled_receive_window --------------------------------------------------------

class WindowFixture : public ::testing::Test {
 protected:
  /// Timing of the point-to-point receiver row 0 -> 2 (fabric row 1): source
  /// 113, pointer 167, release 113 + count (count <= 51).
  ReceiveRowTiming ordinary(std::uint32_t count, std::uint32_t pointer_word_address = 0) const {
    const auto route = topology.point_to_point(0, 2, count);
    auto row = finalize_point_receiver(route.value().receiver_template, 0).value();
    for (std::uint32_t& w : row)
      if (is_pic_word(w)) w |= pointer_word_address;
    return receive_row_timing(row, 0).value();
  }
  /// Timing of the paired receiver row of tile 3 from tile 0 (no own source):
  /// format start 54, pointer 56, format end 54 + count, horizon 61 + count.
  ReceiveRowTiming paired(std::uint32_t count) const {
    const auto plan = topology.paired_multicast(0, std::vector<std::uint16_t>{3, 2}, count);
    return receive_row_timing(plan.value().receiver_rows[0], 0).value();
  }

  const Topology topology = Topology::r817();
};

TEST_F(WindowFixture, PlacesAnOrdinaryRowAtAnOffset) {
  const auto window = scheduled_receive_window(ordinary(10), 1000, 10, std::nullopt);
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->source_cycle, 1113u);
  EXPECT_EQ(window->source_end, 1123u);
  EXPECT_EQ(window->pointer_cycle, 1167u);
  EXPECT_EQ(window->payload_end, 1177u);
  EXPECT_EQ(window->horizon, 1182u);  // the row's own end
  EXPECT_EQ(window->pointer_address, 0u);
  EXPECT_FALSE(window->continues_format);
  EXPECT_EQ(window->events, (std::vector<ReceiveEvent>{event(1113, Xpic(0, 113), K::Source),
                                                       event(1123, Xpic(0x640, 10), K::Teardown),
                                                       event(1167, Pic(0, 44), K::Pointer)}));
}

TEST_F(WindowFixture, ReleaseFollowsTheItemCount) {
  // 60 words: the row releases after the pointer, the window after the items.
  const ReceiveRowTiming row = ordinary(60);
  ASSERT_EQ(row.teardown, 113u + 2 + 60);
  const auto window = scheduled_receive_window(row, 0, 30, std::nullopt);
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->source_end, 143u);
  EXPECT_EQ(window->events[1], event(143, Xpic(0x640, 8), K::Teardown));
  EXPECT_EQ(window->events[2].kind, K::Pointer);
  // The horizon is the latest of source end, payload end and row end.
  EXPECT_EQ(scheduled_receive_window(row, 0, 1000, std::nullopt)->horizon, 167u + 1000);
  EXPECT_EQ(scheduled_receive_window(row, 0, 5, std::nullopt)->horizon, row.horizon);
}

TEST_F(WindowFixture, SimultaneousControls) {
  // Release moved onto the pointer: allowed.
  const auto shared = scheduled_receive_window(ordinary(10), 0, 54, std::nullopt);
  ASSERT_TRUE(shared.has_value());
  EXPECT_EQ(shared->events[1].cycle, 167u);
  EXPECT_EQ(shared->events[2].cycle, 167u);
  // Release moved onto the source: not encodable.
  EXPECT_EQ(scheduled_receive_window(ordinary(10), 0, 0, std::nullopt).error(),
            reason("incompatible simultaneous receive controls"));
  // A paired pointer never shares a cycle: format start 54, pointer 56, end 56.
  ReceiveRowTiming crowded = paired(64);
  crowded.events.back().cycle = 56;
  EXPECT_EQ(scheduled_receive_window(crowded, 0, 64, std::nullopt).error(),
            reason("incompatible simultaneous receive controls"));
}

TEST_F(WindowFixture, OffsetAndCountOverflow) {
  // A row 32 cycles long whose events all lie before cycle 16.
  const ExchangeRow row{Sync3, Xpic(0, 1), Xpic(0x640, 2), Pic(0, 2), Delay(27), Ret};
  const auto timing = receive_row_timing(row, 0);
  ASSERT_TRUE(timing.has_value());
  ASSERT_EQ(timing->horizon, 32u);
  EXPECT_EQ(scheduled_receive_window(*timing, 0xFFFFFFF0u, 1, std::nullopt).error(), reason("receive offset overflow"));
  EXPECT_TRUE(scheduled_receive_window(*timing, kMax - 32, 1, std::nullopt).has_value());
  // The events fit, the row end does not.
  EXPECT_EQ(scheduled_receive_window(*timing, kMax - 31, 1, std::nullopt).error(), reason("receive offset overflow"));
  // Source at 1, pointer at 5.
  EXPECT_EQ(scheduled_receive_window(*timing, 0, kMax, std::nullopt).error(),
            reason("receive source timing overflow"));
  EXPECT_EQ(scheduled_receive_window(*timing, 0, kMax - 4, std::nullopt).error(),
            reason("receive payload timing overflow"));
  EXPECT_TRUE(scheduled_receive_window(*timing, 0, kMax - 5, std::nullopt).has_value());
}

TEST_F(WindowFixture, MissingSourceOrPointer) {
  ReceiveRowTiming no_source = ordinary(10);
  no_source.source.reset();
  EXPECT_EQ(scheduled_receive_window(no_source, 0, 1, std::nullopt).error(), reason("receive source timing"));
  // A paired row without a pointer reads back fine but cannot be placed.
  const auto no_pointer = receive_row_timing(ExchangeRow{Sync3, Pic(0x40001, 5), Pic(0x40000, 10), Delay(7), Ret}, 0);
  ASSERT_TRUE(no_pointer.has_value());
  EXPECT_EQ(scheduled_receive_window(*no_pointer, 0, 1, std::nullopt).error(), reason("receive pointer event"));
}

TEST_F(WindowFixture, PairedRowWithoutOwnSourceStartsAtItsFormat) {
  const auto window = scheduled_receive_window(paired(64), 10, 64, std::nullopt);
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->source_cycle, 64u);
  EXPECT_EQ(window->source_end, 128u);
  EXPECT_EQ(window->pointer_cycle, 66u);
  EXPECT_EQ(window->payload_end, 130u);
  EXPECT_EQ(window->horizon, 135u);
  ASSERT_EQ(window->events.size(), 3u);
  EXPECT_EQ(window->events[1].kind, K::PairedPointer);
}

TEST_F(WindowFixture, PointerReuse) {
  // Pointer word address 0x40, byte address 0x100.
  const ReceiveRowTiming row = ordinary(10, 0x40);
  ASSERT_EQ(row.pointer_address, 0x100u);
  const auto pointers = [](const ScheduledReceiverWindow& w) {
    return std::count_if(w.events.begin(), w.events.end(), [](const ReceiveEvent& e) { return e.kind == K::Pointer; });
  };
  ReceiveState state;
  state.next_address = 0x100;
  const auto reused = scheduled_receive_window(row, 500, 10, state);
  ASSERT_TRUE(reused.has_value());
  EXPECT_EQ(pointers(*reused), 0);
  // The window still reports where the pointer would be.
  EXPECT_EQ(reused->pointer_cycle, 667u);
  EXPECT_EQ(reused->pointer_address, 0x100u);

  state.next_address = 0x104;
  EXPECT_EQ(pointers(*scheduled_receive_window(row, 500, 10, state)), 1);
  state.next_address.reset();
  EXPECT_EQ(pointers(*scheduled_receive_window(row, 500, 10, state)), 1);
  state.next_address = 0x100;
  state.paired = true;
  EXPECT_EQ(pointers(*scheduled_receive_window(row, 500, 10, state)), 1);
  EXPECT_EQ(pointers(*scheduled_receive_window(row, 500, 10, std::nullopt)), 1);
  // Both addresses unknown also counts as the same place.
  ReceiveRowTiming unknown = row;
  unknown.pointer_address.reset();
  EXPECT_EQ(pointers(*scheduled_receive_window(unknown, 500, 10, ReceiveState{})), 0);
}

TEST_F(WindowFixture, ContinuedPairedFormatDropsItsStart) {
  const ReceiveRowTiming row = paired(64);
  ASSERT_EQ(row.format_start, 54u);
  const auto formats = [](const ScheduledReceiverWindow& w) {
    return std::count_if(w.events.begin(), w.events.end(), [](const ReceiveEvent& e) { return e.kind == K::Format; });
  };
  ReceiveState state;
  state.paired = true;
  state.format = 1;
  state.format_end = 254;  // the absolute format start at offset 200
  const auto continued = scheduled_receive_window(row, 200, 64, state);
  ASSERT_TRUE(continued.has_value());
  EXPECT_TRUE(continued->continues_format);
  EXPECT_EQ(formats(*continued), 1);
  EXPECT_EQ(continued->events.front().kind, K::PairedPointer);

  const auto fresh = [&](ReceiveState s, std::uint32_t offset) {
    const auto w = scheduled_receive_window(row, offset, 64, s);
    EXPECT_TRUE(w.has_value());
    EXPECT_FALSE(w->continues_format);
    EXPECT_EQ(formats(*w), 2);
  };
  fresh(state, 201);  // the previous format ended elsewhere
  ReceiveState other_value = state;
  other_value.format = 2;
  fresh(other_value, 200);
  ReceiveState no_value = state;
  no_value.format.reset();
  fresh(no_value, 200);
  ReceiveState no_end = state;
  no_end.format_end.reset();
  fresh(no_end, 200);
  // Paired rows never reuse a pointer.
  ReceiveState same_address = state;
  same_address.next_address = row.pointer_address;
  EXPECT_EQ(scheduled_receive_window(row, 200, 64, same_address)->events.size(), 2u);
}

// ---- prepare and the route/timing agreement -------------------------------------------

TEST(Prepare, RefersToItsPlanAndPropagatesRowErrors) {
  const Topology topology = Topology::r817();
  const auto plan = topology.multicast(0, std::vector<std::uint16_t>{2, 3}, 10, 0);
  ASSERT_TRUE(plan.has_value());
  const auto prepared = plan->prepare();
  ASSERT_TRUE(prepared.has_value());
  EXPECT_EQ(prepared->plan, &*plan);
  EXPECT_EQ(prepared->send_start, 31u);
  EXPECT_EQ(prepared->send_end, 41u);
  EXPECT_EQ(prepared->sender_horizon, 41u);
  ASSERT_EQ(prepared->receive_rows.size(), 2u);

  MulticastPlan broken_sender = *plan;
  broken_sender.sender_row[0] = 0;
  EXPECT_EQ(broken_sender.prepare().error(), reason("sender row entry"));
  MulticastPlan broken_receiver = *plan;
  broken_receiver.receiver_rows[1][0] = 0;
  EXPECT_EQ(broken_receiver.prepare().error(), reason("receive row entry"));
}

/// Receiver row timing expected of an ordinary row whose source takes effect
/// at `source`.
struct OrdinaryExpectation {
  std::uint32_t source, teardown, pointer, horizon;
};

OrdinaryExpectation ordinary_expectation(std::uint32_t source, std::uint32_t count, std::uint32_t row) {
  const std::uint32_t pointer = source + 2 * row + 52;
  const std::uint32_t teardown = count <= 51 ? source + count : count == 52 ? pointer + 1 : source + count + 2 * row;
  const std::uint32_t horizon = source + 57 + 2 * row + count + (count == 52 ? 1 : 0);
  return {source, teardown, pointer, horizon};
}

void expect_ordinary(const ReceiveRowTiming& t, const OrdinaryExpectation& e) {
  EXPECT_EQ(t.source, e.source);
  EXPECT_EQ(t.teardown, e.teardown);
  EXPECT_EQ(t.pointer, e.pointer);
  EXPECT_EQ(t.horizon, e.horizon);
  EXPECT_FALSE(t.paired);
}

class RouteAgreement : public ::testing::Test {
 protected:
  std::uint16_t phys(std::uint16_t logical) const { return topology.logical_to_physical()[logical]; }
  std::uint16_t any_tile() { return static_cast<std::uint16_t>(tile(rng)); }
  std::uint32_t any_count() {
    // Mostly small counts, where the row layouts differ, and some of any size.
    return small(rng) ? std::uniform_int_distribution<std::uint32_t>(1, 70)(rng)
                      : std::uniform_int_distribution<std::uint32_t>(1, kMaxExchangeWords)(rng);
  }

  const Topology topology = Topology::r817();
  std::mt19937 rng{20240611};
  std::uniform_int_distribution<int> tile{0, Topology::kR817Tiles - 1};
  std::bernoulli_distribution small{0.5};
};

TEST_F(RouteAgreement, PointToPoint) {
  for (int trial = 0; trial < 3000; ++trial) {
    const std::uint16_t sender = any_tile();
    std::uint16_t receiver = any_tile();
    if (receiver == sender) receiver = static_cast<std::uint16_t>((receiver + 1) % Topology::kR817Tiles);
    const std::uint32_t count = any_count();
    SCOPED_TRACE(testing::Message() << sender << " -> " << receiver << " x" << count);
    const std::int32_t h = time_to_mux(phys(sender), phys(receiver));

    const auto route = topology.point_to_point(sender, receiver, count);
    ASSERT_TRUE(route.has_value());
    const auto row = finalize_point_receiver(route->receiver_template, phys(sender));
    ASSERT_TRUE(row.has_value());
    const MulticastPlan plan{{*row}, route->sender_row};
    const auto prepared = plan.prepare();
    ASSERT_TRUE(prepared.has_value());

    const auto send_start = static_cast<std::uint32_t>(112 - h);
    EXPECT_EQ(prepared->send_start, send_start);
    EXPECT_EQ(prepared->send_end, send_start + count);
    EXPECT_EQ(prepared->sender_horizon, std::max(send_start + count, 6u));
    const ReceiveRowTiming& t = prepared->receive_rows.at(0);
    EXPECT_EQ(static_cast<std::int64_t>(*t.source), std::int64_t{send_start} + h + 1);
    expect_ordinary(t, ordinary_expectation(113, count, route_row(phys(receiver))));
    EXPECT_EQ(t.pointer_address, 0u);
    EXPECT_EQ(t.events.front().word & 0x1FFFu, phys(sender));
  }
}

TEST_F(RouteAgreement, Multicast) {
  for (int trial = 0; trial < 2000; ++trial) {
    const std::uint16_t sender = any_tile();
    std::vector<std::uint16_t> receivers;
    const int wanted = std::uniform_int_distribution<int>(1, 5)(rng);
    while (static_cast<int>(receivers.size()) < wanted) {
      const std::uint16_t r = any_tile();
      if (std::find(receivers.begin(), receivers.end(), r) != receivers.end()) continue;
      if (wanted == 1 && r == sender) continue;
      receivers.push_back(r);
    }
    const std::uint32_t count = any_count();
    const std::uint32_t offset = std::uniform_int_distribution<std::uint32_t>(0, 200)(rng);
    SCOPED_TRACE(testing::Message() << sender << " x" << count << " +" << offset << " to " << receivers.size());

    const auto plan = topology.multicast(sender, receivers, count, offset);
    ASSERT_TRUE(plan.has_value());
    const auto prepared = plan->prepare();
    ASSERT_TRUE(prepared.has_value());

    std::int32_t earliest = std::numeric_limits<std::int32_t>::max();
    for (std::uint16_t r : receivers) earliest = std::min(earliest, time_to_mux(phys(sender), phys(r)));
    const auto first_send = static_cast<std::uint32_t>(std::max(0, -earliest)) + offset;
    EXPECT_EQ(prepared->send_start, first_send);
    EXPECT_EQ(prepared->send_end, first_send + count);
    EXPECT_EQ(prepared->sender_horizon, std::max(first_send + count, 6u));
    ASSERT_EQ(prepared->receive_rows.size(), receivers.size());
    for (std::size_t i = 0; i < receivers.size(); ++i) {
      const std::int32_t h = time_to_mux(phys(sender), phys(receivers[i]));
      const auto source = static_cast<std::uint32_t>(static_cast<std::int64_t>(first_send) + h + 1);
      expect_ordinary(prepared->receive_rows[i], ordinary_expectation(source, count, route_row(phys(receivers[i]))));
      EXPECT_EQ(prepared->receive_rows[i].pointer_address, 4u * 0x14000);
    }
  }
}

TEST_F(RouteAgreement, PairedMulticast) {
  int coincident = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const std::uint16_t sender = any_tile();
    std::vector<std::uint16_t> receivers;
    const int pairs = std::uniform_int_distribution<int>(1, 3)(rng);
    while (static_cast<int>(receivers.size()) < 2 * pairs) {
      const std::uint16_t r = any_tile();
      if ((r | 1) == (sender | 1) || std::find(receivers.begin(), receivers.end(), r) != receivers.end()) continue;
      receivers.push_back(r);
      receivers.push_back(r ^ 1);
    }
    std::shuffle(receivers.begin(), receivers.end(), rng);
    const std::uint32_t count = std::uniform_int_distribution<std::uint32_t>(64, small(rng) ? 110 : 4148)(rng);
    SCOPED_TRACE(testing::Message() << sender << " x" << count << " to " << receivers.size());

    // The reference model of the paired rows.
    const std::uint16_t s = phys(sender);
    std::int32_t common = std::numeric_limits<std::int32_t>::max();
    for (std::uint16_t r : receivers)
      common = std::min(common, std::max(time_to_mux(s, phys(r)), time_to_mux(s, phys(r) ^ 2)));
    bool clash = false;
    for (std::uint16_t r : receivers) {
      const std::uint32_t rr = route_row(phys(r));
      if (time_to_mux(s, phys(r)) < time_to_mux(s, phys(r) ^ 2) && (count == 2 * rr + 51 || count == 2 * rr + 53))
        clash = true;
    }

    const auto plan = topology.paired_multicast(sender, receivers, count);
    if (clash) {
      ++coincident;
      EXPECT_EQ(plan.error(), reason("paired receive coincident controls"));
      continue;
    }
    ASSERT_TRUE(plan.has_value());
    const auto prepared = plan->prepare();
    ASSERT_TRUE(prepared.has_value());

    std::int32_t earliest = std::numeric_limits<std::int32_t>::max();
    for (std::uint16_t r : receivers) earliest = std::min(earliest, time_to_mux(s, phys(r)));
    const auto first_send = static_cast<std::uint32_t>(std::max(0, -earliest));
    EXPECT_EQ(prepared->send_start, first_send);
    EXPECT_EQ(prepared->send_end, first_send + count);
    EXPECT_EQ(prepared->sender_horizon, first_send + count);
    const std::uint32_t control = receivers.size() == 2 ? (direction(s, phys(receivers[0])).code | 4) : 7;
    EXPECT_EQ(send_control(plan->sender_row[first_send > 0 ? 2 : 1]), control);

    for (std::size_t i = 0; i < receivers.size(); ++i) {
      const std::uint16_t r = phys(receivers[i]);
      const std::int32_t own = time_to_mux(s, r);
      const std::int32_t partner = time_to_mux(s, r ^ 2);
      const auto p = static_cast<std::uint32_t>(std::max(own, partner) + std::max(0, 1 - common));
      const std::uint32_t start = p + 2 * route_row(r) + 51;
      const ReceiveRowTiming& t = prepared->receive_rows[i];
      EXPECT_TRUE(t.paired);
      EXPECT_EQ(t.format_start, start);
      EXPECT_EQ(t.pointer, start + 2);
      EXPECT_EQ(t.format_end, start + count);
      EXPECT_EQ(t.horizon, start + count + 7);
      EXPECT_EQ(t.pointer_address, 0u);
      if (own < partner) {
        EXPECT_EQ(t.source, p);
        EXPECT_EQ(t.teardown, p + count);
      } else {
        EXPECT_FALSE(t.source.has_value());
        EXPECT_FALSE(t.teardown.has_value());
      }
      // The row takes a window at the transfer's start.
      EXPECT_TRUE(scheduled_receive_window(t, 0, count, std::nullopt).has_value());
    }
  }
  EXPECT_GT(coincident, 0) << "the sample should include clashing counts";
}

}  // namespace
}  // namespace kel_exchange
