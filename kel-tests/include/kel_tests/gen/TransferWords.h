// Payload lengths the generator may draw: the --min-words..--max-words range
// and its 64-bit-capable part (even counts of at least 128 words). Invariant:
// 1 <= min <= max <= 4148.
#pragma once

#include <cstdint>

#include "kel_tests/gen/GeneratorRandom.h"

namespace kel_tests::gen {

class TransferWords {
 public:
  TransferWords(std::uint32_t min, std::uint32_t max);

  std::uint32_t min() const { return min_; }
  std::uint32_t max() const { return max_; }
  /// Whether an even count of at least 128 words lies in the range.
  bool has_paired() const { return paired_min_ <= paired_max_; }

  /// Log-uniform in the part of [lo, hi] inside the range, or in the whole
  /// range when [lo, hi] misses it: families keep their typical sizes where
  /// the options allow them.
  std::uint32_t draw(GeneratorRandom& rng, std::uint32_t lo, std::uint32_t hi) const;
  /// `words` moved into the range.
  std::uint32_t clamp(std::uint32_t words) const;
  /// An even count of at least 128 words, preferring [lo, hi]; needs has_paired().
  std::uint32_t draw_paired(GeneratorRandom& rng, std::uint32_t lo, std::uint32_t hi) const;

 private:
  std::uint32_t min_;
  std::uint32_t max_;
  std::uint32_t paired_min_;
  std::uint32_t paired_max_;
};

}  // namespace kel_tests::gen
