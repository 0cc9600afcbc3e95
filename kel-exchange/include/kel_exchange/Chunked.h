// A copy-on-write sequence stored in shared chunks of 128 elements, so that a
// clone costs one reference per chunk and an edit copies only the chunks it
// changes. Invariants: every chunk but the last holds exactly 128 elements, the
// last holds 1..128, there is no empty chunk, and a chunk referenced by more
// than one sequence is never changed.
#pragma once

#include <algorithm>
#include <atomic>
#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <ranges>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "kel_runtime/Invariant.h"

namespace kel_exchange {

/// Elements per chunk, the same for every element type.
inline constexpr std::size_t kChunkCapacity = 128;

/// A range whose elements can be copied into a `Chunked<T>`.
template <class R, class T>
concept RangeOf = std::ranges::input_range<R> && std::constructible_from<T, std::ranges::range_reference_t<R>>;

template <class T>
class Chunked {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T> &&
                    std::is_copy_constructible_v<T> && std::is_nothrow_destructible_v<T>,
                "chunk edits shift elements by moving them and must not fail halfway");

  // One allocation holds the count, the size and room for exactly 128
  // elements; only the first `size` slots hold live objects.
  struct Chunk {
    Chunk() noexcept {}  // user-provided so that `new Chunk` leaves the storage untouched
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    ~Chunk() { std::destroy_n(data(), size); }

    T* data() noexcept { return reinterpret_cast<T*>(storage); }
    const T* data() const noexcept { return reinterpret_cast<const T*>(storage); }

    std::atomic<std::uint32_t> refs{1};
    std::uint32_t size = 0;
    alignas(T) std::byte storage[sizeof(T) * kChunkCapacity];
  };

  static constexpr std::size_t kShift = 7;
  static constexpr std::size_t kMask = kChunkCapacity - 1;
  static_assert((std::size_t{1} << kShift) == kChunkCapacity);

 public:
  using value_type = T;
  using size_type = std::size_t;

  /// Random-access read-only iterator; stays valid until the sequence is changed.
  class const_iterator {
   public:
    using iterator_concept = std::random_access_iterator_tag;
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;

    reference operator*() const { return chunks_[index_ >> kShift]->data()[index_ & kMask]; }
    pointer operator->() const { return &**this; }
    reference operator[](difference_type n) const { return *(*this + n); }

    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++index_;
      return old;
    }
    const_iterator& operator--() {
      --index_;
      return *this;
    }
    const_iterator operator--(int) {
      const_iterator old = *this;
      --index_;
      return old;
    }
    const_iterator& operator+=(difference_type n) {
      index_ = static_cast<std::size_t>(static_cast<difference_type>(index_) + n);
      return *this;
    }
    const_iterator& operator-=(difference_type n) { return *this += -n; }
    friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
      return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.index_ == b.index_; }
    friend std::strong_ordering operator<=>(const const_iterator& a, const const_iterator& b) {
      return a.index_ <=> b.index_;
    }

   private:
    friend class Chunked;
    const_iterator(Chunk* const* chunks, std::size_t index) : chunks_(chunks), index_(index) {}

    Chunk* const* chunks_ = nullptr;
    std::size_t index_ = 0;
  };
  using iterator = const_iterator;

  Chunked() noexcept = default;

  /// A clone: shares every chunk (one count increment each), copies no element.
  Chunked(const Chunked& other) : chunks_(other.chunks_), len_(other.len_) {
    for (Chunk* c : chunks_) c->refs.fetch_add(1, std::memory_order_relaxed);
  }
  Chunked(Chunked&& other) noexcept : chunks_(std::exchange(other.chunks_, {})), len_(std::exchange(other.len_, 0)) {}
  Chunked& operator=(const Chunked& other) {
    if (this != &other) {
      Chunked copy(other);
      swap(copy);
    }
    return *this;
  }
  Chunked& operator=(Chunked&& other) noexcept {
    if (this != &other) {
      Chunked taken(std::move(other));
      swap(taken);
    }
    return *this;
  }
  ~Chunked() {
    for (Chunk* c : chunks_) release(c);
  }

  Chunked clone() const { return Chunked(*this); }
  void swap(Chunked& other) noexcept {
    chunks_.swap(other.chunks_);
    std::swap(len_, other.len_);
  }

  std::size_t len() const noexcept { return len_; }
  bool is_empty() const noexcept { return len_ == 0; }

  /// Appends; copies at most the last chunk.
  void push(const T& value) { emplace_back_impl(value); }
  void push(T&& value) { emplace_back_impl(std::move(value)); }

  /// Pushes the values in order.
  template <RangeOf<T> R>
  void extend(R&& values) {
    for (auto&& v : values) push(T(std::forward<decltype(v)>(v)));
  }
  void extend(std::initializer_list<T> values) {
    for (const T& v : values) push(v);
  }

  /// Shortens to `new_len` (at most len()). Cutting at a multiple of 128 only
  /// releases chunks; otherwise the new last chunk is made unique and cut.
  void truncate(std::size_t new_len) {
    kel_runtime::expect(new_len <= len_, "chunked sequence truncated beyond its length");
    if (new_len == len_) return;  // nothing to cut, so nothing to copy
    const std::size_t keep = (new_len + kMask) >> kShift;
    while (chunks_.size() > keep) {
      release(chunks_.back());
      chunks_.pop_back();
    }
    const std::size_t tail = new_len & kMask;
    if (tail != 0) {
      Chunk* last = make_unique(keep - 1);
      std::destroy(last->data() + tail, last->data() + last->size);
      last->size = static_cast<std::uint32_t>(tail);
    }
    len_ = new_len;
  }

  /// Inserts before position `index` (at most len()); later elements ripple
  /// one place up across the chunk boundaries, copying every chunk from the
  /// edited one on if shared.
  void insert(std::size_t index, T value) {
    kel_runtime::expect(index <= len_, "chunked sequence insert position beyond its length");
    if (index == len_) {
      push(std::move(value));
      return;
    }
    std::size_t ci = index >> kShift;
    std::size_t pos = index & kMask;
    T carry = std::move(value);
    for (;;) {
      if (ci == chunks_.size()) {
        Chunk* fresh = new_chunk();
        chunks_.push_back(fresh);
        ::new (static_cast<void*>(fresh->data())) T(std::move(carry));
        fresh->size = 1;
        break;
      }
      Chunk* c = make_unique(ci);
      T* d = c->data();
      const std::size_t size = c->size;
      if (size < kChunkCapacity) {
        insert_into(d, size, pos, std::move(carry));
        c->size = static_cast<std::uint32_t>(size + 1);
        break;
      }
      // Full chunk: its last element moves on to the front of the next one.
      T out = std::move(d[kMask]);
      std::move_backward(d + pos, d + kMask, d + kChunkCapacity);
      d[pos] = std::move(carry);
      carry = std::move(out);
      ++ci;
      pos = 0;
    }
    ++len_;
  }

  /// Removes the element at `index` (below len()); later elements ripple one
  /// place down, copying every chunk from the edited one on if shared.
  void remove(std::size_t index) {
    kel_runtime::expect(index < len_, "chunked sequence remove position beyond its length");
    std::size_t ci = index >> kShift;
    Chunk* c = make_unique(ci);
    T* d = c->data();
    std::move(d + (index & kMask) + 1, d + c->size, d + (index & kMask));
    // The slot d[size - 1] now holds a moved-from element to be refilled or destroyed.
    for (++ci; ci < chunks_.size(); ++ci) {
      Chunk* next = make_unique(ci);
      T* nd = next->data();
      d[kMask] = std::move(nd[0]);
      std::move(nd + 1, nd + next->size, nd);
      c = next;
      d = nd;
    }
    std::destroy_at(d + (c->size - 1));
    --c->size;
    if (c->size == 0) {
      release(c);
      chunks_.pop_back();
    }
    --len_;
  }

  /// Replaces the element at `index` (below len()); copies its chunk if shared.
  void set(std::size_t index, T value) {
    kel_runtime::expect(index < len_, "chunked sequence index out of bounds");
    make_unique(index >> kShift)->data()[index & kMask] = std::move(value);
  }

  /// Element `index`; an index at or beyond len() stops the program.
  const T& operator[](std::size_t index) const {
    kel_runtime::expect(index < len_, "chunked sequence index out of bounds");
    return chunks_[index >> kShift]->data()[index & kMask];
  }
  const T& back() const { return (*this)[len_ - 1]; }

  const_iterator begin() const noexcept { return const_iterator(chunks_.data(), 0); }
  const_iterator end() const noexcept { return const_iterator(chunks_.data(), len_); }
  std::ranges::subrange<const_iterator> iter() const noexcept { return {begin(), end()}; }

  /// Copies of the elements start..end-1 (empty when end <= start); every
  /// position is bounds-checked.
  std::vector<T> range(std::size_t start, std::size_t end) const {
    std::vector<T> out;
    if (end <= start) return out;
    kel_runtime::expect(end <= len_, "chunked sequence index out of bounds");
    out.reserve(end - start);
    for (std::size_t i = start; i < end;) {
      const Chunk* c = chunks_[i >> kShift];
      const std::size_t from = i & kMask;
      const std::size_t to = std::min<std::size_t>(c->size, from + (end - i));
      out.insert(out.end(), c->data() + from, c->data() + to);
      i += to - from;
    }
    return out;
  }

  /// Number of chunks: ceil(len() / 128).
  std::size_t chunk_count() const noexcept { return chunks_.size(); }
  /// Elements of chunk `chunk`, for bulk reads.
  std::span<const T> chunk(std::size_t index) const {
    kel_runtime::expect(index < chunks_.size(), "chunked sequence chunk index out of bounds");
    return {chunks_[index]->data(), chunks_[index]->size};
  }
  /// How many sequences currently reference chunk `chunk`.
  std::uint32_t chunk_use_count(std::size_t index) const {
    kel_runtime::expect(index < chunks_.size(), "chunked sequence chunk index out of bounds");
    return chunks_[index]->refs.load(std::memory_order_acquire);
  }
  /// Whether both sequences hold the very same chunk at position `chunk`.
  bool shares_chunk_with(const Chunked& other, std::size_t index) const noexcept {
    return index < chunks_.size() && index < other.chunks_.size() && chunks_[index] == other.chunks_[index];
  }

  /// Element-wise equality; chunks shared by both sides are not compared.
  friend bool operator==(const Chunked& a, const Chunked& b) requires std::equality_comparable<T> {
    if (a.len_ != b.len_) return false;
    for (std::size_t i = 0; i < a.chunks_.size(); ++i) {
      const Chunk* x = a.chunks_[i];
      const Chunk* y = b.chunks_[i];
      if (x != y && !std::equal(x->data(), x->data() + x->size, y->data())) return false;
    }
    return true;
  }

 private:
  static Chunk* new_chunk() { return new Chunk; }

  static void release(Chunk* c) noexcept {
    if (c->refs.fetch_sub(1, std::memory_order_release) == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      delete c;
    }
  }

  // Makes chunk `ci` referenced by this sequence only and returns it.
  Chunk* make_unique(std::size_t ci) {
    Chunk* c = chunks_[ci];
    if (c->refs.load(std::memory_order_acquire) == 1) return c;
    Chunk* copy = new_chunk();
    std::uninitialized_copy_n(c->data(), c->size, copy->data());
    copy->size = c->size;
    chunks_[ci] = copy;
    release(c);
    return copy;
  }

  // Inserts into a chunk holding `size` < 128 live elements.
  static void insert_into(T* d, std::size_t size, std::size_t pos, T&& value) {
    if (pos == size) {
      ::new (static_cast<void*>(d + size)) T(std::move(value));
      return;
    }
    ::new (static_cast<void*>(d + size)) T(std::move(d[size - 1]));
    std::move_backward(d + pos, d + size - 1, d + size);
    d[pos] = std::move(value);
  }

  template <class U>
  void emplace_back_impl(U&& value) {
    if ((len_ & kMask) == 0) {
      // Construct first so that `value` may refer into this sequence.
      Chunk* fresh = new_chunk();
      ::new (static_cast<void*>(fresh->data())) T(std::forward<U>(value));
      fresh->size = 1;
      chunks_.push_back(fresh);
    } else {
      // Safe even when `value` lives in the last chunk: a shared chunk survives
      // its copy (others still hold it), and a unique one is appended in place.
      Chunk* last = make_unique(chunks_.size() - 1);
      ::new (static_cast<void*>(last->data() + last->size)) T(std::forward<U>(value));
      ++last->size;
    }
    ++len_;
  }

  std::vector<Chunk*> chunks_;
  std::size_t len_ = 0;
};

}  // namespace kel_exchange
