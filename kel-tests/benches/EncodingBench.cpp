// Cost of encoding a busy tile program: from scratch (words per second), and
// again after the builder's typical edit, a new last sender row, resuming
// from the previous encoding; plus an edit in the middle for contrast.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/ScheduledSenderRow.h"
#include "kel_exchange/TileProgramSchedule.h"
#include "kel_exchange/encoding/Encoding.h"

namespace {

using namespace kel_exchange;

ScheduledSenderRow point_to_point_row(std::uint32_t start, std::uint32_t items, std::uint32_t address) {
  ScheduledSenderRow row;
  std::size_t i = 0;
  row.words[i++] = sync_word(kRowSyncId);
  row.words[i++] = delay_word(3);
  row.words[i++] = first_send_word(std::min(items, kMaxSendItems), 1, address);
  if (items > kMaxSendItems) row.words[i++] = continuation_send_word(items - kMaxSendItems, 1);
  row.words[i++] = RETURN_WORD;
  row.start = start;
  row.end = start + items;
  return row;
}

// 1000 sender rows of 40 to 400 items and 3000 receive controls: before each
// row a source and a pointer, and one teardown carried by the row itself.
struct BusyTile {
  Chunked<ScheduledSenderRow> rows;
  Chunked<ReceiveEvent> events;
  std::uint32_t horizon = 0;
};

BusyTile busy_tile(std::uint32_t row_count) {
  BusyTile t;
  std::uint32_t at = 100;
  for (std::uint32_t i = 0; i < row_count; ++i) {
    const std::uint32_t items = 40 + (i * 37) % 361;
    t.events.push(ReceiveEvent{at - 60, 0x64000000u | (i % 1472), ReceiveEventKind::Source});
    t.events.push(ReceiveEvent{at - 20, 0x60000000u | (i * 16), ReceiveEventKind::Pointer});
    t.rows.push(point_to_point_row(at, items, i * 8));
    t.events.push(ReceiveEvent{at + items / 2, 0x64000640u, ReceiveEventKind::Teardown});
    at += items + 90;
  }
  t.horizon = at;
  return t;
}

void BM_EncodeFromScratch(benchmark::State& state) {
  const BusyTile t = busy_tile(1000);
  auto probe = encoding::build_scheduled_program(t.rows, t.events, t.horizon, nullptr);
  if (!probe) {
    state.SkipWithError("busy tile does not encode");
    return;
  }
  const auto words = static_cast<double>(probe->words.len());
  for (auto _ : state) {
    auto encoded = encoding::build_scheduled_program(t.rows, t.events, t.horizon, nullptr);
    benchmark::DoNotOptimize(encoded);
  }
  state.counters["words"] = words;
  state.counters["words_per_second"] = benchmark::Counter(words, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_EncodeFromScratch)->Unit(benchmark::kMicrosecond);

// The previous version's encoding serves as the base; only the new row and
// the closing delay and return are produced.
void BM_EncodeAppendedRowFromBase(benchmark::State& state) {
  const BusyTile t = busy_tile(1000);
  auto previous = encoding::build_scheduled_program(t.rows, t.events, t.horizon, nullptr);
  if (!previous) {
    state.SkipWithError("busy tile does not encode");
    return;
  }
  const EncodingBase base{std::make_shared<const EncodedSchedule>(std::move(*previous)), t.rows.len(),
                          t.events.len()};
  Chunked<ScheduledSenderRow> rows = t.rows;
  rows.push(point_to_point_row(t.horizon + 10, 200, 0));
  const std::uint32_t horizon = t.horizon + 220;
  for (auto _ : state) {
    auto encoded = encoding::build_scheduled_program(rows, t.events, horizon, &base);
    benchmark::DoNotOptimize(encoded);
  }
}
BENCHMARK(BM_EncodeAppendedRowFromBase)->Unit(benchmark::kMicrosecond);

// A new row halfway: the second half is encoded again.
void BM_EncodeMiddleRowFromBase(benchmark::State& state) {
  BusyTile t = busy_tile(1000);
  auto previous = encoding::build_scheduled_program(t.rows, t.events, t.horizon, nullptr);
  if (!previous) {
    state.SkipWithError("busy tile does not encode");
    return;
  }
  // Shorten row 500 to make room for a one-item row in its place's tail.
  Chunked<ScheduledSenderRow> rows = t.rows;
  const ScheduledSenderRow old = rows[500];
  const std::uint32_t items = old.end - old.start;
  rows.set(500, point_to_point_row(old.start, items - 1, 0));
  rows.insert(501, point_to_point_row(old.end + 10, 1, 0));
  const EncodingBase base{std::make_shared<const EncodedSchedule>(std::move(*previous)), 500, t.events.len()};
  auto probe = encoding::build_scheduled_program(rows, t.events, t.horizon, &base);
  if (!probe) {
    state.SkipWithError("edited tile does not encode");
    return;
  }
  for (auto _ : state) {
    auto encoded = encoding::build_scheduled_program(rows, t.events, t.horizon, &base);
    benchmark::DoNotOptimize(encoded);
  }
}
BENCHMARK(BM_EncodeMiddleRowFromBase)->Unit(benchmark::kMicrosecond);

}  // namespace

namespace {

// What any resume costs before encoding a word: sharing the base's words and
// checkpoints (one reference count per chunk, taken and later released) and
// cutting each at the resume point.
void BM_ResumeSharingFloor(benchmark::State& state) {
  const BusyTile t = busy_tile(1000);
  auto previous = encoding::build_scheduled_program(t.rows, t.events, t.horizon, nullptr);
  if (!previous) {
    state.SkipWithError("busy tile does not encode");
    return;
  }
  const Checkpoint last = previous->checkpoints.back();
  for (auto _ : state) {
    EncodedSchedule out;
    out.words = previous->words;
    out.words.truncate(last.word_count);
    out.checkpoints = previous->checkpoints;
    out.checkpoints.truncate(previous->checkpoints.len());
    benchmark::DoNotOptimize(out);
  }
  state.counters["chunks"] =
      static_cast<double>(previous->words.chunk_count() + previous->checkpoints.chunk_count());
}
BENCHMARK(BM_ResumeSharingFloor)->Unit(benchmark::kMicrosecond);

}  // namespace
