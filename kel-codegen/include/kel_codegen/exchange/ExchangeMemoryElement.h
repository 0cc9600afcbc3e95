// Tile memory elements, the unit of memory hazards: 16 KiB elements below
// 0x80000 and 32 KiB elements from 0x80000 up. The walk over a span yields its
// elements in ascending order without repeats; all address arithmetic
// saturates at the largest u32 value.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace kel_codegen::exchange {

/// First byte address of the upper region.
inline constexpr std::uint32_t kUpperMemoryBase = 0x80000;
inline constexpr std::uint32_t kLowerElementBytes = 0x4000;
inline constexpr std::uint32_t kUpperElementBytes = 0x8000;

struct ExchangeMemoryElement {
  bool upper = false;       ///< false below 0x80000, true from 0x80000 up
  std::uint32_t index = 0;  ///< element number inside its region

  /// The element holding byte address `address`.
  static constexpr ExchangeMemoryElement of(std::uint32_t address) {
    if (address < kUpperMemoryBase) return {false, address >> 14};
    return {true, (address - kUpperMemoryBase) >> 15};
  }

  friend constexpr auto operator<=>(const ExchangeMemoryElement&, const ExchangeMemoryElement&) = default;
  friend constexpr bool operator==(const ExchangeMemoryElement&, const ExchangeMemoryElement&) = default;
};

/// End of the span of `words` words at `address`: address + 4·words, saturating.
constexpr std::uint32_t memory_span_end(std::uint32_t address, std::uint32_t words) {
  const std::uint64_t end = std::uint64_t{address} + std::uint64_t{words} * 4u;
  return end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(end);
}

/// First address of the element after the one holding `address`, saturating.
constexpr std::uint32_t next_memory_element_address(std::uint32_t address) {
  const ExchangeMemoryElement e = ExchangeMemoryElement::of(address);
  const std::uint64_t next = e.upper
                                 ? std::uint64_t{kUpperMemoryBase} + (std::uint64_t{e.index} + 1) * kUpperElementBytes
                                 : (std::uint64_t{e.index} + 1) * kLowerElementBytes;
  return next > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(next);
}

/// The elements of one span as a forward range; allocation-free.
class MemoryElementWalk {
 public:
  class iterator {
   public:
    using value_type = ExchangeMemoryElement;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;

    constexpr iterator() = default;
    constexpr iterator(std::uint32_t current, std::uint32_t end) : current_(current), end_(end) {}

    constexpr ExchangeMemoryElement operator*() const { return ExchangeMemoryElement::of(current_); }
    constexpr iterator& operator++() {
      const std::uint32_t next = next_memory_element_address(current_);
      current_ = next < end_ ? next : end_;
      return *this;
    }
    constexpr iterator operator++(int) {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend constexpr bool operator==(const iterator&, const iterator&) = default;
    friend constexpr bool operator==(const iterator& it, std::default_sentinel_t) { return it.current_ >= it.end_; }

   private:
    std::uint32_t current_ = 0;
    std::uint32_t end_ = 0;
  };

  constexpr MemoryElementWalk(std::uint32_t address, std::uint32_t words)
      : address_(address), end_(memory_span_end(address, words)) {}

  constexpr iterator begin() const { return iterator(address_, end_); }
  constexpr std::default_sentinel_t end() const { return {}; }
  constexpr bool empty() const { return end_ <= address_; }

 private:
  std::uint32_t address_;
  std::uint32_t end_;
};

/// The elements of the span of `words` words at `address`.
constexpr MemoryElementWalk memory_elements(std::uint32_t address, std::uint32_t words) {
  return MemoryElementWalk(address, words);
}

/// Calls `fn(element)` for each element of the span in ascending order while
/// it returns true; returns false when `fn` stopped the walk early.
template <class Fn>
constexpr bool for_each_memory_element(std::uint32_t address, std::uint32_t words, Fn&& fn) {
  for (const ExchangeMemoryElement e : memory_elements(address, words))
    if (!fn(e)) return false;
  return true;
}

/// True when some memory element of [a, a + 4m) is also an element of
/// [b, b + 4n). A span of 0 words has no elements and shares nothing.
bool spans_share_effective_memory_element(std::uint32_t a, std::uint32_t m, std::uint32_t b, std::uint32_t n);

}  // namespace kel_codegen::exchange
