// The placement delay rule for memory hazards: a source read waits for the
// source tile's overlapping writes, a destination write for that tile's
// overlapping reads, reads never wait for reads nor writes for writes, and
// every Repeat iteration's source element is protected.
#include "kel_codegen/exchange/MemorySafeTransferOffset.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace {

using namespace kel_codegen::exchange;
using hazards::TileMemorySchedule;
namespace ex = kel_exchange;

constexpr std::uint16_t kTiles = 4;
constexpr ExchangeMemoryElement kLower0{false, 0};
constexpr ExchangeMemoryElement kLower1{false, 1};

PendingTransfer convert(ExchangeScheduleTransfer transfer) {
  ExchangeScheduleProblem problem;
  problem.phase = 3;
  problem.transfers.push_back(std::move(transfer));
  auto pending = pending_from_problem(problem, kTiles);
  EXPECT_TRUE(pending.has_value()) << pending.error().message();
  return std::move(pending->front());
}

/// Tile 0 sends 4 words from 0x0 (element 0) to each listed destination.
PendingTransfer from_tile0(std::vector<ExchangeScheduleDestination> destinations,
                           std::vector<std::uint32_t> sources = {0x0}) {
  return convert({0, std::move(sources), std::move(destinations), 4, ExchangeItemWidth::Word32});
}

/// Source read [send_start, sender_horizon); per destination [pointer, horizon).
ex::PhaseTransferTiming timing(std::uint32_t send_start, std::uint32_t sender_horizon,
                               std::vector<std::pair<std::uint32_t, std::uint32_t>> writes = {}) {
  ex::PhaseTransferTiming t;
  t.send_start = send_start;
  t.send_end = sender_horizon;
  t.sender_horizon = sender_horizon;
  for (const auto& [pointer, horizon] : writes) {
    t.pointer_cycles.push_back(pointer);
    t.payload_ends.push_back(horizon);
    t.receive_horizons.push_back(horizon);
  }
  return t;
}

std::uint32_t offset_of(const std::vector<TileMemorySchedule>& memory, const PendingTransfer& transfer,
                        std::uint32_t offset, const ex::PhaseTransferTiming& t) {
  const auto result = memory_safe_transfer_offset(memory, transfer, offset, t);
  EXPECT_TRUE(result.has_value());
  return result.value_or(0);
}

TEST(MemorySafeTransferOffset, EmptyHistoriesKeepTheOffset) {
  const std::vector<TileMemorySchedule> memory(kTiles);
  const PendingTransfer transfer = from_tile0({{1, 0x0}});
  EXPECT_EQ(offset_of(memory, transfer, 7, timing(30, 40, {{50, 60}})), 7u);
}

struct WriteCase {
  std::uint32_t pointer;
  std::uint32_t horizon;
  std::uint32_t expected;

  friend void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << "write [" << c.pointer << ", " << c.horizon << ") -> " << c.expected;
  }
};

// A read [10, 20) recorded on tile 1's element 0; the new transfer writes
// that element on tile 1 at offset 7.
class DestinationAfterRead : public testing::TestWithParam<WriteCase> {};

TEST_P(DestinationAfterRead, WriteStartsWhenTheReadEnds) {
  std::vector<TileMemorySchedule> memory(kTiles);
  memory[1].reads.record(std::span(&kLower0, 1), 10, 20);
  const PendingTransfer transfer = from_tile0({{1, 0x100}});
  const WriteCase& c = GetParam();
  EXPECT_EQ(offset_of(memory, transfer, 7, timing(0, 4, {{c.pointer, c.horizon}})), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, DestinationAfterRead,
                         testing::Values(WriteCase{19, 25, 8},  // conflict end 20, delay 20 - 19
                                         WriteCase{20, 25, 7},  // starts as the read ends
                                         WriteCase{5, 10, 7},   // ends as the read starts
                                         WriteCase{0, 30, 27},  // covers the read: delay 20 - 0
                                         WriteCase{12, 13, 15}));

TEST(MemorySafeTransferOffset, SourceReadWaitsForTheSourceTilesWrites) {
  std::vector<TileMemorySchedule> memory(kTiles);
  memory[0].writes.record(std::span(&kLower0, 1), 0, 100);
  const PendingTransfer transfer = from_tile0({{1, 0x0}});
  // Delay measured from the read's start (30), not from the offset (5).
  EXPECT_EQ(offset_of(memory, transfer, 5, timing(30, 40, {{50, 60}})), 75u);
  // A write to another element of the source tile is no hazard.
  std::vector<TileMemorySchedule> elsewhere(kTiles);
  elsewhere[0].writes.record(std::span(&kLower1, 1), 0, 100);
  EXPECT_EQ(offset_of(elsewhere, transfer, 5, timing(30, 40, {{50, 60}})), 5u);
}

TEST(MemorySafeTransferOffset, ReadsNeverWaitForReadsNorWritesForWrites) {
  std::vector<TileMemorySchedule> memory(kTiles);
  memory[0].reads.record(std::span(&kLower0, 1), 0, 1000);   // another send from the same element
  memory[1].writes.record(std::span(&kLower0, 1), 0, 1000);  // another receive into the same element
  // The destination's reads and the source's writes live on other tiles.
  memory[1].reads.record(std::span(&kLower1, 1), 0, 1000);
  memory[2].writes.record(std::span(&kLower0, 1), 0, 1000);
  const PendingTransfer transfer = from_tile0({{1, 0x0}});
  EXPECT_EQ(offset_of(memory, transfer, 9, timing(30, 40, {{50, 60}})), 9u);
}

TEST(MemorySafeTransferOffset, LargestRequestedDelayWins) {
  std::vector<TileMemorySchedule> memory(kTiles);
  memory[0].writes.record(std::span(&kLower0, 1), 0, 100);  // source: 100 - 30 = 70
  memory[1].reads.record(std::span(&kLower0, 1), 0, 55);    // destination 1: 55 - 50 = 5
  memory[2].reads.record(std::span(&kLower0, 1), 0, 140);   // destination 2: 140 - 50 = 90
  const PendingTransfer transfer = from_tile0({{1, 0x0}, {2, 0x0}});
  EXPECT_EQ(offset_of(memory, transfer, 1, timing(30, 40, {{50, 60}, {50, 60}})), 91u);
}

TEST(MemorySafeTransferOffset, EveryRepeatIterationsSourceElementIsProtected) {
  std::vector<TileMemorySchedule> memory(kTiles);
  memory[0].writes.record(std::span(&kLower1, 1), 0, 50);  // the second iteration's element
  const PendingTransfer both = from_tile0({{1, 0x8000}}, {0x0, 0x4000});
  EXPECT_EQ(offset_of(memory, both, 0, timing(10, 30, {{40, 45}})), 40u);
  // With only the first iteration's address there is nothing to wait for.
  const PendingTransfer first = from_tile0({{1, 0x8000}}, {0x0});
  EXPECT_EQ(offset_of(memory, first, 0, timing(10, 30, {{40, 45}})), 0u);
}

TEST(MemorySafeTransferOffset, DestinationSpanIsCheckedInEveryElementItTouches) {
  // 0x3FF8 + 4 words ends in element 1; 0x7FFFC + 4 words crosses into the
  // upper region's first element.
  struct Case {
    std::uint32_t address;
    ExchangeMemoryElement read;
    bool delayed;
  };
  const Case cases[] = {
      {0x3FF8, kLower1, true},
      {0x3FF0, kLower1, false},
      {0x7FFFC, {true, 0}, true},
      {0x7FFFC, {false, 31}, true},
      {0x7FFFC, {false, 30}, false},
      {0x80000, {false, 0x20}, false},  // upper element 0 is not lower element 32
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    std::vector<TileMemorySchedule> memory(kTiles);
    memory[1].reads.record(std::span(&c.read, 1), 0, 100);
    const PendingTransfer transfer = from_tile0({{1, c.address}});
    EXPECT_EQ(offset_of(memory, transfer, 0, timing(0, 4, {{60, 70}})), c.delayed ? 40u : 0u);
  }
}

TEST(MemorySafeTransferOffset, DelayBeyondU32Overflows) {
  std::vector<TileMemorySchedule> memory(kTiles);
  memory[1].reads.record(std::span(&kLower0, 1), 0, 100);
  const PendingTransfer transfer = from_tile0({{1, 0x0}});
  // Delay 100 - 60 = 40.
  EXPECT_EQ(offset_of(memory, transfer, 0xFFFFFFFFu - 40, timing(0, 4, {{60, 70}})), 0xFFFFFFFFu);
  const auto overflow = memory_safe_transfer_offset(memory, transfer, 0xFFFFFFFFu - 39, timing(0, 4, {{60, 70}}));
  ASSERT_FALSE(overflow.has_value());
  EXPECT_EQ(overflow.error(), ExchangeLoweringError::overflow());
}

TEST(MemorySafeTransferOffset, RecordingStoresTheReadUnderEveryIterationAndEachWriteUnderItsSpan) {
  std::vector<TileMemorySchedule> memory(kTiles);
  const PendingTransfer transfer = from_tile0({{1, 0x3FF8}, {2, 0x90000}}, {0x0, 0x4000});
  record_transfer_memory(memory, transfer, timing(10, 30, {{40, 45}, {41, 47}}));
  using hazards::Interval;
  for (const ExchangeMemoryElement e : {kLower0, kLower1}) {
    ASSERT_EQ(memory[0].reads.intervals(e).size(), 1u);
    EXPECT_EQ(memory[0].reads.intervals(e)[0], (Interval{10, 30, 30}));
  }
  EXPECT_TRUE(memory[0].writes.empty());
  for (const ExchangeMemoryElement e : {kLower0, kLower1}) {
    ASSERT_EQ(memory[1].writes.intervals(e).size(), 1u);
    EXPECT_EQ(memory[1].writes.intervals(e)[0], (Interval{40, 45, 45}));
  }
  EXPECT_TRUE(memory[1].reads.empty());
  ASSERT_EQ(memory[2].writes.intervals({true, 2}).size(), 1u);
  EXPECT_EQ(memory[2].writes.intervals({true, 2})[0], (Interval{41, 47, 47}));
  EXPECT_TRUE(memory[3].reads.empty() && memory[3].writes.empty());
}

}  // namespace
