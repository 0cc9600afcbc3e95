// The generator's pseudo-random source: xoshiro256** seeded through
// SplitMix64, with integer-only helpers, so a seed gives the same snapshot on
// every platform and standard library.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

namespace kel_tests::gen {

class GeneratorRandom {
 public:
  explicit GeneratorRandom(std::uint64_t seed);

  /// A stream for a sub-task (a phase, a family), derived from `seed` and
  /// `stream` so that streams do not shift when their neighbours change.
  static GeneratorRandom derived(std::uint64_t seed, std::uint64_t stream);

  std::uint64_t next();
  /// Uniform in [0, n); n must be positive.
  std::uint32_t below(std::uint32_t n);
  /// Uniform in [lo, hi]; lo <= hi.
  std::uint32_t between(std::uint32_t lo, std::uint32_t hi);
  /// Uniform in the bit length of the value, then uniform inside it: small
  /// values are as likely as large ones per octave. lo <= hi, lo >= 1.
  std::uint32_t log_uniform(std::uint32_t lo, std::uint32_t hi);
  /// True with probability numerator / denominator.
  bool chance(std::uint32_t numerator, std::uint32_t denominator);

  template <class T>
  void shuffle(std::span<T> items) {
    for (std::size_t i = items.size(); i > 1; --i) {
      const std::size_t j = below(static_cast<std::uint32_t>(i));
      std::swap(items[i - 1], items[j]);
    }
  }

 private:
  std::uint64_t state_[4];
};

}  // namespace kel_tests::gen
