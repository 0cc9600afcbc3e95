// A receive control as a decoded program issues it: the stream it drives and
// the value it sets (19 bits on the Pic stream, 14 bits on the Xpic stream).
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel_exchange::diagnostic {

/// Declared Pic first so that controls sort Pic before Xpic at equal cycles.
enum class IncomingControlStream : std::uint8_t {
  Pic = 0,
  Xpic = 1,
};

/// "Pic" or "Xpic".
std::string_view debug_name(IncomingControlStream stream);

struct IncomingControl {
  IncomingControlStream stream = IncomingControlStream::Pic;
  std::uint32_t value = 0;

  /// `IncomingControl { stream: Xpic, value: 1600 }`.
  std::string debug() const;
  /// Appends the debug form to `out`.
  void append_debug(std::string& out) const;

  friend constexpr bool operator==(const IncomingControl&, const IncomingControl&) = default;
  /// By stream, then value.
  friend constexpr auto operator<=>(const IncomingControl&, const IncomingControl&) = default;
};

}  // namespace kel_exchange::diagnostic
