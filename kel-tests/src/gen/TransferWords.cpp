// Word-count draws clamped to the requested range.
#include "kel_tests/gen/TransferWords.h"

#include <algorithm>

#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_runtime/Invariant.h"

namespace kel_tests::gen {

using kel_codegen::exchange::kMaxTransferWords;
using kel_codegen::exchange::kMinPairedWords;

TransferWords::TransferWords(std::uint32_t min, std::uint32_t max)
    : min_(std::max<std::uint32_t>(min, 1)),
      max_(std::min(max, kMaxTransferWords)),
      paired_min_(std::max(min_ + (min_ % 2), kMinPairedWords)),
      paired_max_(max_ - (max_ % 2)) {
  kel_runtime::expect(min_ <= max_, "word range is not empty");
}

std::uint32_t TransferWords::draw(GeneratorRandom& rng, std::uint32_t lo, std::uint32_t hi) const {
  std::uint32_t a = std::max(lo, min_);
  std::uint32_t b = std::min(hi, max_);
  if (a > b) {
    a = min_;
    b = max_;
  }
  return rng.log_uniform(a, b);
}

std::uint32_t TransferWords::clamp(std::uint32_t words) const { return std::clamp(words, min_, max_); }

std::uint32_t TransferWords::draw_paired(GeneratorRandom& rng, std::uint32_t lo, std::uint32_t hi) const {
  kel_runtime::expect(has_paired(), "paired word range is not empty");
  // Draw in 64-bit items, so the count comes out even.
  std::uint32_t a = (std::max(lo, paired_min_) + 1) / 2;
  std::uint32_t b = std::min(hi, paired_max_) / 2;
  if (a > b) {
    a = paired_min_ / 2;
    b = paired_max_ / 2;
  }
  return 2 * rng.log_uniform(a, b);
}

}  // namespace kel_tests::gen
