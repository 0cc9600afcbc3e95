// xoshiro256** with SplitMix64 seeding; bounded draws by rejection so every
// value of a range is equally likely.
#include "kel_tests/gen/GeneratorRandom.h"

#include <bit>

namespace kel_tests::gen {

namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
  std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

GeneratorRandom::GeneratorRandom(std::uint64_t seed) {
  for (std::uint64_t& s : state_) s = splitmix64(seed);
}

GeneratorRandom GeneratorRandom::derived(std::uint64_t seed, std::uint64_t stream) {
  std::uint64_t x = seed ^ (stream * 0xD1B54A32D192ED03ull);
  const std::uint64_t mixed = splitmix64(x) ^ std::rotl(stream, 17);
  return GeneratorRandom(mixed);
}

std::uint64_t GeneratorRandom::next() {
  const std::uint64_t result = std::rotl(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = std::rotl(state_[3], 45);
  return result;
}

std::uint32_t GeneratorRandom::below(std::uint32_t n) {
  // Lemire's multiply-shift with rejection of the biased low products.
  std::uint64_t product = (next() >> 32) * n;
  auto low = static_cast<std::uint32_t>(product);
  if (low < n) {
    const std::uint32_t threshold = static_cast<std::uint32_t>(-n) % n;
    while (low < threshold) {
      product = (next() >> 32) * n;
      low = static_cast<std::uint32_t>(product);
    }
  }
  return static_cast<std::uint32_t>(product >> 32);
}

std::uint32_t GeneratorRandom::between(std::uint32_t lo, std::uint32_t hi) {
  if (hi - lo == 0xFFFFFFFFu) return static_cast<std::uint32_t>(next() >> 32);
  return lo + below(hi - lo + 1);
}

std::uint32_t GeneratorRandom::log_uniform(std::uint32_t lo, std::uint32_t hi) {
  const int low_bits = std::bit_width(lo);
  const int high_bits = std::bit_width(hi);
  const auto bits = static_cast<int>(between(static_cast<std::uint32_t>(low_bits), static_cast<std::uint32_t>(high_bits)));
  std::uint32_t first = bits <= 1 ? 1u : std::uint32_t{1} << (bits - 1);
  std::uint32_t last = bits >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << bits) - 1;
  if (first < lo) first = lo;
  if (last > hi) last = hi;
  return between(first, last);
}

bool GeneratorRandom::chance(std::uint32_t numerator, std::uint32_t denominator) {
  return below(denominator) < numerator;
}

}  // namespace kel_tests::gen
