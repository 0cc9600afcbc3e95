// Cost of the copy-on-write sequence operations the phase program builder
// leans on: cloning a long tile sequence, appending to the clone, and the
// worst-case edit at the front that ripples through every chunk.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/ScheduledSenderRow.h"

namespace {

using kel_exchange::Chunked;

template <class T>
Chunked<T> filled(std::int64_t n) {
  Chunked<T> s;
  for (std::int64_t i = 0; i < n; ++i) s.push(T{});
  return s;
}

Chunked<std::uint32_t> words(std::int64_t n) {
  Chunked<std::uint32_t> s;
  for (std::int64_t i = 0; i < n; ++i) s.push(static_cast<std::uint32_t>(i));
  return s;
}

void BM_ChunkedClone(benchmark::State& state) {
  const Chunked<std::uint32_t> s = words(state.range(0));
  for (auto _ : state) {
    Chunked<std::uint32_t> c = s.clone();
    benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(BM_ChunkedClone)->Arg(10000);

void BM_ChunkedCloneSenderRows(benchmark::State& state) {
  const auto s = filled<kel_exchange::ScheduledSenderRow>(state.range(0));
  for (auto _ : state) {
    auto c = s.clone();
    benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(BM_ChunkedCloneSenderRows)->Arg(10000);

// Reference point: what a clone would cost as a flat array copy.
void BM_VectorCopy(benchmark::State& state) {
  std::vector<std::uint32_t> v(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<std::uint32_t> c = v;
    benchmark::DoNotOptimize(c.data());
  }
}
BENCHMARK(BM_VectorCopy)->Arg(10000);

// Clone, then append: copies at most the last chunk.
void BM_ChunkedPushAfterClone(benchmark::State& state) {
  const Chunked<std::uint32_t> s = words(state.range(0));
  for (auto _ : state) {
    Chunked<std::uint32_t> c = s.clone();
    c.push(7);
    benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(BM_ChunkedPushAfterClone)->Arg(10000);

// Clone, then insert at the front: every chunk is copied by the ripple.
void BM_ChunkedInsertFrontAfterClone(benchmark::State& state) {
  const Chunked<std::uint32_t> s = words(state.range(0));
  for (auto _ : state) {
    Chunked<std::uint32_t> c = s.clone();
    c.insert(0, 7);
    benchmark::DoNotOptimize(c);
  }
}
BENCHMARK(BM_ChunkedInsertFrontAfterClone)->Arg(10000);

// Insert at the front of an unshared sequence: the ripple shifts in place.
void BM_ChunkedInsertFrontUnique(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Chunked<std::uint32_t> s = words(state.range(0));
  for (auto _ : state) {
    s.insert(0, 7);
    s.truncate(n);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_ChunkedInsertFrontUnique)->Arg(10000);

}  // namespace
