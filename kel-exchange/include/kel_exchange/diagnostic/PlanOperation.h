// One decoded exchange instruction: a tagged value over the six operations a
// program word can be. It holds no heap storage (a send carries at most two
// controls, kept inline), so decoding a program allocates only its
// instruction array.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "kel_exchange/diagnostic/IncomingControl.h"
#include "kel_runtime/Invariant.h"

namespace kel_exchange::diagnostic {

/// How a send word encodes its payload.
enum class SendEncoding : std::uint8_t {
  Explicit = 0,  ///< first send word
  Offset = 1,    ///< continuation send word
  Pic = 2,       ///< single-control send
  PicPair = 3,   ///< paired send of two words
};

/// "Explicit", "Offset", "Pic" or "PicPair".
std::string_view debug_name(SendEncoding encoding);

/// The receive controls a send word carries: none, one (single-control send)
/// or two (paired send), stored inline. Renders like a list.
class SendControls {
 public:
  static constexpr std::size_t kCapacity = 2;

  constexpr SendControls() = default;
  /// At most two controls; more stops the program.
  constexpr SendControls(std::initializer_list<IncomingControl> controls) {
    for (const IncomingControl& c : controls) push(c);
  }

  constexpr void push(IncomingControl control) {
    if (size_ >= kCapacity) kel_runtime::invariant_failed("a send carries at most two controls");
    items_[size_++] = control;
  }

  constexpr std::size_t size() const { return size_; }
  constexpr bool empty() const { return size_ == 0; }
  constexpr const IncomingControl* begin() const { return items_.data(); }
  constexpr const IncomingControl* end() const { return items_.data() + size_; }
  constexpr std::span<const IncomingControl> view() const { return {items_.data(), size_}; }
  constexpr const IncomingControl& operator[](std::size_t index) const {
    if (index >= size_) kel_runtime::invariant_failed("send control index out of bounds");
    return items_[index];
  }

  /// `[]`, `[IncomingControl { .. }]` or `[IncomingControl { .. }, IncomingControl { .. }]`.
  std::string debug() const;
  void append_debug(std::string& out) const;

  friend constexpr bool operator==(const SendControls& a, const SendControls& b) {
    return std::ranges::equal(a.view(), b.view());
  }

 private:
  std::array<IncomingControl, kCapacity> items_{};
  std::uint8_t size_ = 0;
};

class PlanOperation {
 public:
  struct Delay {
    friend constexpr bool operator==(const Delay&, const Delay&) = default;
  };
  struct Send {
    SendEncoding encoding = SendEncoding::Explicit;
    std::uint32_t words = 0;  ///< items sent, one per cycle
    std::uint32_t raw_operand = 0;
    /// Absent for a single-control send, whose word has no control field.
    std::optional<std::uint8_t> send_control;
    SendControls controls;

    friend constexpr bool operator==(const Send&, const Send&) = default;
  };
  struct Sync {
    std::uint8_t id = 0;
    friend constexpr bool operator==(const Sync&, const Sync&) = default;
  };
  struct Return {
    friend constexpr bool operator==(const Return&, const Return&) = default;
  };
  struct Unknown {
    std::uint32_t word = 0;
    friend constexpr bool operator==(const Unknown&, const Unknown&) = default;
  };

  /// Alternatives in declaration order; `Kind` numbers them the same way.
  using Value = std::variant<Delay, IncomingControl, Send, Sync, Return, Unknown>;
  enum class Kind : std::uint8_t { Delay, IncomingControl, Send, Sync, Return, Unknown };

  constexpr PlanOperation() = default;
  template <class T>
  requires std::is_constructible_v<Value, T&&>
  constexpr PlanOperation(T&& alternative) : value_(std::forward<T>(alternative)) {}

  constexpr Kind kind() const { return static_cast<Kind>(value_.index()); }
  constexpr const Value& value() const { return value_; }

  /// The alternative of type T, or null.
  template <class T>
  constexpr const T* get_if() const {
    return std::get_if<T>(&value_);
  }
  constexpr const Send* send() const { return get_if<Send>(); }
  constexpr const IncomingControl* incoming_control() const { return get_if<IncomingControl>(); }

  /// Structural form: `Delay`, `Return`, `Sync(3)`, `Unknown(1234)`,
  /// `IncomingControl(IncomingControl { stream: Xpic, value: 1600 })`,
  /// `Send { encoding: Explicit, words: 64, raw_operand: 0, send_control: Some(1), controls: [] }`.
  std::string debug() const;
  void append_debug(std::string& out) const;

  friend constexpr bool operator==(const PlanOperation&, const PlanOperation&) = default;

 private:
  Value value_;
};

static_assert(std::is_trivially_copyable_v<PlanOperation>, "decoded operations own no storage");

}  // namespace kel_exchange::diagnostic
