// Chunked sequences: chunk layout, copy-on-write sharing, ripple edits, bound
// checks, and a randomised comparison against std::vector.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "kel_exchange/Chunked.h"

namespace kel_exchange {
namespace {

using Words = Chunked<std::uint32_t>;

Words iota_sequence(std::uint32_t n) {
  Words s;
  for (std::uint32_t i = 0; i < n; ++i) s.push(i);
  return s;
}

std::vector<std::size_t> chunk_sizes(const Words& s) {
  std::vector<std::size_t> sizes;
  for (std::size_t c = 0; c < s.chunk_count(); ++c) sizes.push_back(s.chunk(c).size());
  return sizes;
}

std::vector<std::uint32_t> contents(const Words& s) { return std::vector<std::uint32_t>(s.begin(), s.end()); }

std::vector<std::uint32_t> iota_vector(std::uint32_t n) {
  std::vector<std::uint32_t> v(n);
  std::iota(v.begin(), v.end(), 0u);
  return v;
}

TEST(ChunkedLayout, PushFillsChunksOf128) {
  Words s = iota_sequence(128);
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{128}));
  s.push(128);
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{128, 1}));
  EXPECT_EQ(s.len(), 129u);
  EXPECT_EQ(s[128], 128u);
}

TEST(ChunkedLayout, EmptySequenceHasNoChunks) {
  Words s;
  EXPECT_EQ(s.len(), 0u);
  EXPECT_TRUE(s.is_empty());
  EXPECT_EQ(s.chunk_count(), 0u);
  EXPECT_EQ(s.begin(), s.end());
}

TEST(ChunkedLayout, ExtendPushesInOrder) {
  Words s = iota_sequence(127);
  s.extend(std::array<std::uint32_t, 2>{1000, 1001});
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{128, 1}));
  EXPECT_EQ(s[127], 1000u);
  EXPECT_EQ(s[128], 1001u);
}

TEST(ChunkedClone, SharesEveryChunkUntilWritten) {
  const Words a = iota_sequence(300);
  const Words b = a.clone();
  ASSERT_EQ(b.chunk_count(), 3u);
  for (std::size_t c = 0; c < 3; ++c) {
    EXPECT_TRUE(b.shares_chunk_with(a, c));
    EXPECT_EQ(a.chunk_use_count(c), 2u);
  }
  EXPECT_EQ(a, b);
}

TEST(ChunkedClone, DroppingACloneReleasesItsCounts) {
  const Words a = iota_sequence(200);
  {
    const Words b = a;
    EXPECT_EQ(a.chunk_use_count(0), 2u);
  }
  EXPECT_EQ(a.chunk_use_count(0), 1u);
  EXPECT_EQ(a.chunk_use_count(1), 1u);
}

TEST(ChunkedClone, PushCopiesOnlyTheLastChunk) {
  const Words a = iota_sequence(200);
  Words b = a.clone();
  b.push(7);
  EXPECT_TRUE(b.shares_chunk_with(a, 0));
  EXPECT_FALSE(b.shares_chunk_with(a, 1));
  EXPECT_EQ(a.chunk_use_count(1), 1u);
  EXPECT_EQ(contents(a), iota_vector(200));
  EXPECT_EQ(b.len(), 201u);
  EXPECT_EQ(b[200], 7u);
  // The clone's copy is now its own: a second push edits it in place.
  b.push(8);
  EXPECT_EQ(b.chunk_use_count(1), 1u);
  EXPECT_EQ(contents(a), iota_vector(200));
}

TEST(ChunkedClone, PushAtChunkBoundaryAddsAChunkAndCopiesNothing) {
  const Words a = iota_sequence(256);
  Words b = a.clone();
  b.push(7);
  EXPECT_EQ(chunk_sizes(b), (std::vector<std::size_t>{128, 128, 1}));
  EXPECT_TRUE(b.shares_chunk_with(a, 0));
  EXPECT_TRUE(b.shares_chunk_with(a, 1));
  EXPECT_EQ(a.len(), 256u);
  EXPECT_EQ(a.chunk_count(), 2u);
}

TEST(ChunkedClone, WritingTheOriginalLeavesTheCloneUnchanged) {
  Words a = iota_sequence(300);
  const Words b = a.clone();
  a.set(10, 99);
  a.remove(0);
  a.insert(0, 42);
  a.truncate(150);
  EXPECT_EQ(contents(b), iota_vector(300));
  EXPECT_EQ(b.chunk_use_count(2), 1u);
}

TEST(ChunkedClone, SetCopiesOnlyItsChunk) {
  const Words a = iota_sequence(300);
  Words b = a.clone();
  b.set(130, 5);
  EXPECT_TRUE(b.shares_chunk_with(a, 0));
  EXPECT_FALSE(b.shares_chunk_with(a, 1));
  EXPECT_TRUE(b.shares_chunk_with(a, 2));
  EXPECT_EQ(b[130], 5u);
  EXPECT_EQ(a[130], 130u);
}

TEST(ChunkedTruncate, AtAChunkBoundaryReleasesChunksAndCopiesNothing) {
  const Words a = iota_sequence(300);
  Words b = a.clone();
  b.truncate(256);
  EXPECT_EQ(chunk_sizes(b), (std::vector<std::size_t>{128, 128}));
  EXPECT_TRUE(b.shares_chunk_with(a, 0));
  EXPECT_TRUE(b.shares_chunk_with(a, 1));
  EXPECT_EQ(a.chunk_use_count(2), 1u);
  EXPECT_EQ(contents(a), iota_vector(300));
}

TEST(ChunkedTruncate, InsideAChunkCutsACopyOfTheNewLastChunk) {
  const Words a = iota_sequence(300);
  Words b = a.clone();
  b.truncate(200);
  EXPECT_EQ(chunk_sizes(b), (std::vector<std::size_t>{128, 72}));
  EXPECT_EQ(contents(b), iota_vector(200));
  EXPECT_TRUE(b.shares_chunk_with(a, 0));
  EXPECT_FALSE(b.shares_chunk_with(a, 1));
  EXPECT_EQ(contents(a), iota_vector(300));
}

TEST(ChunkedTruncate, ToTheCurrentLengthChangesAndCopiesNothing) {
  const Words a = iota_sequence(200);
  Words b = a.clone();
  b.truncate(200);
  EXPECT_EQ(contents(b), iota_vector(200));
  EXPECT_TRUE(b.shares_chunk_with(a, 1));
}

TEST(ChunkedTruncate, ToZeroLeavesNoChunks) {
  Words s = iota_sequence(300);
  s.truncate(0);
  EXPECT_EQ(s.len(), 0u);
  EXPECT_EQ(s.chunk_count(), 0u);
  s.push(1);
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{1}));
}

TEST(ChunkedInsert, AtTheFrontRipplesThroughEveryChunk) {
  const Words a = iota_sequence(256);
  Words b = a.clone();
  b.insert(0, 1000);
  EXPECT_EQ(chunk_sizes(b), (std::vector<std::size_t>{128, 128, 1}));
  EXPECT_EQ(b[0], 1000u);
  EXPECT_EQ(b[128], 127u);
  EXPECT_EQ(b[256], 255u);
  std::vector<std::uint32_t> expected = iota_vector(256);
  expected.insert(expected.begin(), 1000);
  EXPECT_EQ(contents(b), expected);
  EXPECT_EQ(contents(a), iota_vector(256));
}

TEST(ChunkedInsert, KeepsChunksBeforeTheEditShared) {
  const Words a = iota_sequence(300);
  Words b = a.clone();
  b.insert(200, 1000);
  EXPECT_TRUE(b.shares_chunk_with(a, 0));
  EXPECT_FALSE(b.shares_chunk_with(a, 1));
  EXPECT_FALSE(b.shares_chunk_with(a, 2));
  EXPECT_EQ(chunk_sizes(b), (std::vector<std::size_t>{128, 128, 45}));
  EXPECT_EQ(b[200], 1000u);
  EXPECT_EQ(b[201], 200u);
}

TEST(ChunkedInsert, AtTheEndIsPush) {
  Words s = iota_sequence(128);
  s.insert(128, 1000);
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{128, 1}));
  EXPECT_EQ(s[128], 1000u);
}

TEST(ChunkedInsert, CarryStopsAtTheFirstChunkWithRoom) {
  Words s = iota_sequence(200);
  s.insert(127, 1000);  // the last slot of a full chunk
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{128, 73}));
  EXPECT_EQ(s[127], 1000u);
  EXPECT_EQ(s[128], 127u);
  EXPECT_EQ(s[200], 199u);
}

TEST(ChunkedRemove, TheOnlyElementOfTheLastChunkReleasesIt) {
  Words s = iota_sequence(129);
  s.remove(128);
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{128}));
  EXPECT_EQ(contents(s), iota_vector(128));
}

TEST(ChunkedRemove, FromASingleChunkAndUntilEmpty) {
  Words s = iota_sequence(128);
  s.remove(0);
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{127}));
  EXPECT_EQ(s[0], 1u);
  while (!s.is_empty()) s.remove(s.len() / 2);
  EXPECT_EQ(s.chunk_count(), 0u);
}

TEST(ChunkedRemove, RipplesBackAcrossChunksAndKeepsEarlierChunksShared) {
  const Words a = iota_sequence(300);
  Words b = a.clone();
  b.remove(130);
  EXPECT_EQ(chunk_sizes(b), (std::vector<std::size_t>{128, 128, 43}));
  EXPECT_TRUE(b.shares_chunk_with(a, 0));
  EXPECT_FALSE(b.shares_chunk_with(a, 1));
  EXPECT_EQ(b[130], 131u);
  EXPECT_EQ(b[255], 256u);
  EXPECT_EQ(b[298], 299u);
  EXPECT_EQ(contents(a), iota_vector(300));
}

TEST(ChunkedRemove, DroppingTheLastChunkAtABoundary) {
  Words s = iota_sequence(257);
  s.remove(0);
  EXPECT_EQ(chunk_sizes(s), (std::vector<std::size_t>{128, 128}));
  EXPECT_EQ(s[0], 1u);
  EXPECT_EQ(s[255], 256u);
}

TEST(ChunkedRead, RangeCopiesAcrossChunks) {
  const Words s = iota_sequence(300);
  const std::vector<std::uint32_t> all = iota_vector(300);
  EXPECT_EQ(s.range(100, 260), std::vector<std::uint32_t>(all.begin() + 100, all.begin() + 260));
  EXPECT_EQ(s.range(0, 300), all);
  EXPECT_TRUE(s.range(5, 5).empty());
  EXPECT_TRUE(s.range(400, 10).empty());
}

TEST(ChunkedRead, IteratorsWorkWithStandardAlgorithms) {
  const Words s = iota_sequence(1000);
  std::uint64_t sum = 0;
  for (std::uint32_t v : s) sum += v;
  EXPECT_EQ(sum, 999u * 1000u / 2u);
  const auto it = std::partition_point(s.begin(), s.end(), [](std::uint32_t v) { return v < 700; });
  EXPECT_EQ(it - s.begin(), 700);
  EXPECT_EQ(*(s.end() - 1), 999u);
  EXPECT_EQ(std::ranges::distance(s.iter()), 1000);
  static_assert(std::random_access_iterator<Words::const_iterator>);
}

TEST(ChunkedRead, EqualityComparesElements) {
  Words a = iota_sequence(200);
  Words b = iota_sequence(200);
  EXPECT_EQ(a, b);
  b.set(199, 0);
  EXPECT_NE(a, b);
  b.truncate(199);
  EXPECT_NE(a, b);
}

TEST(ChunkedDeathTest, PreconditionViolationsStopTheProgram) {
  Words s = iota_sequence(130);
  EXPECT_DEATH((void)s[130], "chunked sequence index out of bounds");
  EXPECT_DEATH((void)s.range(100, 131), "chunked sequence index out of bounds");
  EXPECT_DEATH(s.truncate(131), "chunked sequence truncated beyond its length");
  EXPECT_DEATH(s.insert(131, 0), "chunked sequence insert position beyond its length");
  EXPECT_DEATH(s.remove(130), "chunked sequence remove position beyond its length");
  EXPECT_DEATH(s.set(130, 0), "chunked sequence index out of bounds");
  Words empty;
  EXPECT_DEATH(empty.remove(0), "chunked sequence remove position beyond its length");
}

// Randomised comparison against std::vector. Besides the contents, every step
// checks the chunk layout, that a clone taken before the step is unchanged, and
// that the chunks before the first one the step edits are still shared.
template <class T>
T make_value(std::uint64_t x);
template <>
std::uint32_t make_value<std::uint32_t>(std::uint64_t x) {
  return static_cast<std::uint32_t>(x);
}
template <>
std::string make_value<std::string>(std::uint64_t x) {
  // Longer than the small-string buffer, so every element owns heap memory.
  return std::string(20 + x % 7, static_cast<char>('a' + x % 26)) + std::to_string(x);
}

template <class T>
void expect_matches(const Chunked<T>& seq, const std::vector<T>& ref, std::uint64_t view) {
  ASSERT_EQ(seq.len(), ref.size());
  ASSERT_EQ(seq.chunk_count(), (ref.size() + kChunkCapacity - 1) / kChunkCapacity);
  for (std::size_t c = 0; c < seq.chunk_count(); ++c) {
    const std::size_t size = seq.chunk(c).size();
    if (c + 1 < seq.chunk_count())
      ASSERT_EQ(size, kChunkCapacity);
    else
      ASSERT_TRUE(size >= 1 && size <= kChunkCapacity);
  }
  switch (view % 3) {
    case 0:
      ASSERT_TRUE(std::equal(seq.begin(), seq.end(), ref.begin(), ref.end()));
      break;
    case 1:
      for (std::size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(seq[i], ref[i]) << "at " << i;
      break;
    default:
      ASSERT_EQ(seq.range(0, seq.len()), ref);
      break;
  }
}

template <class T>
class ChunkedModelTest : public ::testing::Test {};
using ElementTypes = ::testing::Types<std::uint32_t, std::string>;
TYPED_TEST_SUITE(ChunkedModelTest, ElementTypes);

TYPED_TEST(ChunkedModelTest, MatchesVectorOverRandomEdits) {
  using T = TypeParam;
  constexpr int kSteps = std::is_same_v<T, std::string> ? 2000 : 5000;
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    std::mt19937_64 rng(seed);
    auto below = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    Chunked<T> seq;
    std::vector<T> ref;
    std::vector<std::pair<Chunked<T>, std::vector<T>>> clones;
    std::uint64_t next_value = 0;
    std::size_t longest = 0;
    for (std::size_t i = 0, n = 200 + below(600); i < n; ++i) {
      T v = make_value<T>(next_value++);
      seq.push(v);
      ref.push_back(v);
    }

    for (int step = 0; step < kSteps; ++step) {
      SCOPED_TRACE(::testing::Message() << "seed " << seed << " step " << step);
      // Every other step edits a sequence whose chunks are all shared, the
      // others (mostly) edit in place.
      const bool watch = step % 2 == 0;
      const Chunked<T> before = watch ? seq : Chunked<T>();
      const std::vector<T> before_ref = watch ? ref : std::vector<T>();
      // Chunks below this index are not edited by the step and must stay shared.
      std::size_t first_edited = seq.chunk_count();
      const std::size_t len = ref.size();
      // Grows towards about 1000 elements, then shrinks, so that edits cross many chunks.
      std::size_t op = below(100);
      if (len >= 1000 && op < 40) op = 60;

      if (op < 30 || len == 0) {
        T v = make_value<T>(next_value++);
        first_edited = len / kChunkCapacity;
        seq.push(v);
        ref.push_back(v);
      } else if (op < 35) {
        // Push an element of the sequence itself.
        const std::size_t i = below(len);
        first_edited = len / kChunkCapacity;
        seq.push(seq[i]);
        ref.push_back(ref[i]);
      } else if (op < 40) {
        const std::array<T, 2> pair{make_value<T>(next_value), make_value<T>(next_value + 1)};
        next_value += 2;
        first_edited = len / kChunkCapacity;
        seq.extend(pair);
        ref.insert(ref.end(), pair.begin(), pair.end());
      } else if (op < 60) {
        const std::size_t i = below(len + 1);
        T v = make_value<T>(next_value++);
        first_edited = i / kChunkCapacity;
        seq.insert(i, v);
        ref.insert(ref.begin() + static_cast<std::ptrdiff_t>(i), v);
      } else if (op < 78) {
        const std::size_t i = below(len);
        first_edited = i / kChunkCapacity;
        seq.remove(i);
        ref.erase(ref.begin() + static_cast<std::ptrdiff_t>(i));
      } else if (op < 79) {
        std::size_t n = len;
        switch (below(4)) {
          case 0:  // to the chunk boundary below
            if (len > kChunkCapacity) n = (len - 1) / kChunkCapacity * kChunkCapacity;
            break;
          case 1:  // to the current length
            break;
          case 2:
            n = len - below(std::min<std::size_t>(len, 40) + 1);
            break;
          default:
            n = len - below(len / 8 + 1);
            break;
        }
        if (n < len) first_edited = n / kChunkCapacity;
        seq.truncate(n);
        ref.resize(n);
      } else if (op < 92) {
        const std::size_t i = below(len);
        T v = make_value<T>(next_value++);
        first_edited = i / kChunkCapacity;
        seq.set(i, v);
        ref[i] = v;
        // Chunks after the edited one stay shared as well.
        for (std::size_t c = first_edited + 1; watch && c < seq.chunk_count(); ++c) {
          ASSERT_TRUE(seq.shares_chunk_with(before, c)) << "chunk " << c;
        }
      } else if (op < 99) {
        if (clones.size() < 6)
          clones.emplace_back(seq, ref);
        else
          clones[below(clones.size())] = {seq, ref};
      } else if (!clones.empty()) {
        const auto& [c, r] = clones[below(clones.size())];
        seq = c;
        ref = r;
        first_edited = 0;
      }

      const std::size_t kept = watch ? std::min({first_edited, seq.chunk_count(), before.chunk_count()}) : 0;
      for (std::size_t c = 0; c < kept; ++c) ASSERT_TRUE(seq.shares_chunk_with(before, c)) << "chunk " << c;
      ASSERT_NO_FATAL_FAILURE(expect_matches(seq, ref, static_cast<std::uint64_t>(step)));
      ASSERT_NO_FATAL_FAILURE(expect_matches(before, before_ref, static_cast<std::uint64_t>(step) + 1));
      longest = std::max(longest, ref.size());
    }
    EXPECT_GT(longest, 3 * kChunkCapacity) << "the walk should span several chunks";
    for (const auto& [c, r] : clones) ASSERT_NO_FATAL_FAILURE(expect_matches(c, r, 0));
  }
}

}  // namespace
}  // namespace kel_exchange
