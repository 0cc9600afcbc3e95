// SipHash with a 128-bit key, fed incrementally. `SipHash13` (one compression
// and three finalisation rounds) is what fingerprints use, always over an
// explicitly little-endian byte string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kel_runtime {

template <int CompressionRounds, int FinalizationRounds>
class SipHasher {
 public:
  explicit SipHasher(std::uint64_t k0 = 0, std::uint64_t k1 = 0)
      : v0_(k0 ^ 0x736f6d6570736575ull),
        v1_(k1 ^ 0x646f72616e646f6dull),
        v2_(k0 ^ 0x6c7967656e657261ull),
        v3_(k1 ^ 0x7465646279746573ull) {}

  void write(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
      tail_ |= std::uint64_t{byte} << (8 * (length_ % 8));
      ++length_;
      if (length_ % 8 == 0) {
        compress(tail_);
        tail_ = 0;
      }
    }
  }
  void write_u16_le(std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
    write(bytes);
  }
  void write_u32_le(std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    write(bytes);
  }
  void write_u64_le(std::uint64_t value) {
    write_u32_le(static_cast<std::uint32_t>(value));
    write_u32_le(static_cast<std::uint32_t>(value >> 32));
  }

  /// The hash of everything written; the hasher is not changed.
  std::uint64_t finish() const {
    SipHasher h = *this;
    h.compress(h.tail_ | (std::uint64_t{h.length_ & 0xFF} << 56));
    h.v2_ ^= 0xFF;
    for (int i = 0; i < FinalizationRounds; ++i) h.round();
    return h.v0_ ^ h.v1_ ^ h.v2_ ^ h.v3_;
  }

 private:
  static constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

  void round() {
    v0_ += v1_;
    v1_ = rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = rotl(v0_, 32);
    v2_ += v3_;
    v3_ = rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = rotl(v2_, 32);
  }

  void compress(std::uint64_t m) {
    v3_ ^= m;
    for (int i = 0; i < CompressionRounds; ++i) round();
    v0_ ^= m;
  }

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;
  std::uint64_t length_ = 0;
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

}  // namespace kel_runtime
