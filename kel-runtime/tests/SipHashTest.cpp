// SipHash against the published SipHash-2-4 vector and SipHash-1-3 values
// computed with an independent implementation of the algorithm.
#include "kel_runtime/SipHash.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

constexpr std::uint64_t kKey0 = 0x0706050403020100ull;  // key bytes 00..0f
constexpr std::uint64_t kKey1 = 0x0f0e0d0c0b0a0908ull;

std::vector<std::uint8_t> counting_bytes(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  return bytes;
}

TEST(SipHash, PublishedSipHash24VectorForTheEmptyMessage) {
  EXPECT_EQ(kel_runtime::SipHasher24(kKey0, kKey1).finish(), 0x726fdb47dd0e0e31ull);
}

TEST(SipHash, SipHash13MatchesIndependentValuesAcrossBlockBoundaries) {
  const std::pair<std::size_t, std::uint64_t> cases[] = {
      {0, 0xabac0158050fc4dcull},  {1, 0xc9f49bf37d57ca93ull},  {7, 0xd3927d989bb11140ull},
      {8, 0x369095118d299a8eull},  {9, 0x25a48eb36c063de4ull},  {15, 0xd320d86d2a519956ull},
      {16, 0xcc4fdd1a7d908b66ull}, {63, 0x9d199062b7bbb3a8ull},
  };
  for (const auto& [length, expected] : cases) {
    kel_runtime::SipHasher13 whole(kKey0, kKey1);
    whole.write(counting_bytes(length));
    EXPECT_EQ(whole.finish(), expected) << length;
    // Feeding byte by byte gives the same hash.
    kel_runtime::SipHasher13 pieces(kKey0, kKey1);
    for (const std::uint8_t b : counting_bytes(length)) pieces.write(std::span(&b, 1));
    EXPECT_EQ(pieces.finish(), expected) << length;
  }
}

TEST(SipHash, ZeroKeyAndLittleEndianIntegers) {
  kel_runtime::SipHasher13 text;
  text.write(std::vector<std::uint8_t>{'a', 'b', 'c'});
  EXPECT_EQ(text.finish(), 0xc03bc3a0042630f2ull);
  // A one-tile program holding only the return word.
  kel_runtime::SipHasher13 program;
  program.write_u64_le(1);
  program.write_u64_le(1);
  program.write_u32_le(0x43A00000);
  EXPECT_EQ(program.finish(), 0x7f96a39d50763082ull);
}

}  // namespace
