// Memory elements, the element walk over a span and the span predicate,
// checked on boundary cases and against a byte-by-byte reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "kel_codegen/exchange/ExchangeMemoryElement.h"

namespace kel_codegen::exchange {
namespace {

using E = ExchangeMemoryElement;

std::vector<E> walk(std::uint32_t address, std::uint32_t words) {
  std::vector<E> out;
  for (const E e : memory_elements(address, words)) out.push_back(e);
  return out;
}

TEST(ExchangeMemoryElement, ElementOfAddress) {
  EXPECT_EQ(E::of(0), (E{false, 0}));
  EXPECT_EQ(E::of(0x3FFF), (E{false, 0}));
  EXPECT_EQ(E::of(0x4000), (E{false, 1}));
  EXPECT_EQ(E::of(0x7FFFC), (E{false, 31}));
  EXPECT_EQ(E::of(0x80000), (E{true, 0}));
  EXPECT_EQ(E::of(0x87FFF), (E{true, 0}));
  EXPECT_EQ(E::of(0x88000), (E{true, 1}));
  EXPECT_EQ(E::of(0xFFFFFFFF), (E{true, (0xFFFFFFFFu - 0x80000u) >> 15}));
}

TEST(ExchangeMemoryElement, OrderIsRegionThenIndex) {
  EXPECT_LT((E{false, 1000}), (E{true, 0}));
  EXPECT_LT((E{true, 0}), (E{true, 1}));
  EXPECT_LT((E{false, 0}), (E{false, 1}));
}

TEST(ExchangeMemoryElement, WalkCases) {
  EXPECT_EQ(walk(0x7FFFC, 2), (std::vector<E>{{false, 31}, {true, 0}}));
  EXPECT_EQ(walk(0x7FFC, 4), (std::vector<E>{{false, 1}, {false, 2}}));
  EXPECT_EQ(walk(0x0, 0x1000), (std::vector<E>{{false, 0}}));  // exactly one element
  EXPECT_EQ(walk(0x0, 0x1001), (std::vector<E>{{false, 0}, {false, 1}}));
  EXPECT_EQ(walk(0x3FFF, 4148), (std::vector<E>{{false, 0}, {false, 1}, {false, 2}}));
  EXPECT_TRUE(walk(0x1000, 0).empty());
  EXPECT_TRUE(memory_elements(0x1000, 0).empty());
  // The end saturates at the largest address, which is then not covered.
  EXPECT_EQ(walk(0xFFFFFFF0, 0x40000000), (std::vector<E>{E::of(0xFFFFFFF0)}));
  EXPECT_EQ(walk(0xFFFFFFFC, 1), (std::vector<E>{E::of(0xFFFFFFFC)}));
  EXPECT_TRUE(walk(0xFFFFFFFF, 1).empty());
}

TEST(ExchangeMemoryElement, WholeAddressSpaceWalksEveryElementOnce) {
  const std::vector<E> all = walk(0, 0x40000000);
  ASSERT_EQ(all.size(), 32u + ((0xFFFFFFFEu - 0x80000u) >> 15) + 1);
  for (std::size_t i = 1; i < all.size(); ++i) ASSERT_LT(all[i - 1], all[i]);
}

TEST(ExchangeMemoryElement, ForEachStopsEarly) {
  std::vector<E> seen;
  const bool finished = for_each_memory_element(0, 0x10000, [&](E e) {
    seen.push_back(e);
    return seen.size() < 2;
  });
  EXPECT_FALSE(finished);
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_TRUE(for_each_memory_element(0, 4, [](E) { return true; }));
}

TEST(SpansShareEffectiveMemoryElement, Cases) {
  EXPECT_TRUE(spans_share_effective_memory_element(0x7FFC, 4, 0x8000, 1));
  EXPECT_FALSE(spans_share_effective_memory_element(0x7FFC, 4, 0x0, 1));
  EXPECT_FALSE(spans_share_effective_memory_element(0x0, 1, 0x4000, 1));
  EXPECT_TRUE(spans_share_effective_memory_element(0x0, 1, 0x3FFC, 1));
  EXPECT_TRUE(spans_share_effective_memory_element(0x7FFFC, 2, 0x80000, 1));
  EXPECT_FALSE(spans_share_effective_memory_element(0x7C000, 1, 0x80000, 1));
  EXPECT_FALSE(spans_share_effective_memory_element(0x1000, 0, 0x1000, 4));
  EXPECT_FALSE(spans_share_effective_memory_element(0x1000, 4, 0x1000, 0));
  EXPECT_FALSE(spans_share_effective_memory_element(0x1000, 0, 0x1000, 0));
  EXPECT_FALSE(spans_share_effective_memory_element(0xFFFFFFFF, 1, 0xFFFFFFF0, 1));
  EXPECT_TRUE(spans_share_effective_memory_element(0, 0xFFFFFFFF, 0xFFFFFFF0, 1));
}

// Elements of a span counted byte by byte.
std::set<E> reference_elements(std::uint32_t address, std::uint32_t words) {
  std::set<E> out;
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{address} + 4ull * words, 0xFFFFFFFFull);
  for (std::uint64_t a = address; a < end; ++a) {
    const E e = E::of(static_cast<std::uint32_t>(a));
    if (out.empty() || *out.rbegin() != e) out.insert(e);
  }
  return out;
}

TEST(SpansShareEffectiveMemoryElement, MatchesByteByByteReference) {
  std::mt19937_64 rng(11);
  const std::uint32_t anchors[] = {0, 0x4000, 0x7C000, 0x80000, 0x88000, 0xFFFF0000u, 0xFFFFFFF0u};
  auto pick_address = [&] {
    const std::uint32_t anchor = anchors[rng() % std::size(anchors)];
    const std::int64_t delta = static_cast<std::int64_t>(rng() % 0x9000) - 0x4800;
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(anchor + delta, 0, 0xFFFFFFFF));
  };
  for (int trial = 0; trial < 400; ++trial) {
    const std::uint32_t a = pick_address(), b = pick_address();
    const std::uint32_t m = static_cast<std::uint32_t>(rng() % 5000), n = static_cast<std::uint32_t>(rng() % 5000);
    const std::set<E> ea = reference_elements(a, m), eb = reference_elements(b, n);
    const std::vector<E> walked = walk(a, m);
    ASSERT_EQ(std::vector<E>(ea.begin(), ea.end()), walked) << a << " " << m;
    bool shared = false;
    for (const E e : ea) shared = shared || eb.count(e) > 0;
    ASSERT_EQ(spans_share_effective_memory_element(a, m, b, n), shared) << a << " " << m << " " << b << " " << n;
  }
}

}  // namespace
}  // namespace kel_codegen::exchange
