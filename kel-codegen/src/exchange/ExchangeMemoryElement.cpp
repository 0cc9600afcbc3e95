// The span predicate over memory elements.
#include "kel_codegen/exchange/ExchangeMemoryElement.h"

#include <algorithm>

namespace kel_codegen::exchange {

bool spans_share_effective_memory_element(std::uint32_t a, std::uint32_t m, std::uint32_t b, std::uint32_t n) {
  // A span's walk visits every element that meets [start, end), so its
  // elements are the consecutive run from the element of `start` to the
  // element of `end - 1`; two runs share an element exactly when they overlap.
  const std::uint32_t a_end = memory_span_end(a, m);
  const std::uint32_t b_end = memory_span_end(b, n);
  if (a_end <= a || b_end <= b) return false;
  const ExchangeMemoryElement first = std::max(ExchangeMemoryElement::of(a), ExchangeMemoryElement::of(b));
  const ExchangeMemoryElement last =
      std::min(ExchangeMemoryElement::of(a_end - 1), ExchangeMemoryElement::of(b_end - 1));
  return first <= last;
}

}  // namespace kel_codegen::exchange
