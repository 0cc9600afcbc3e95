// The multiplexer lead time of the fabric model, in signed 32-bit cycles.
#include "kel_exchange/RouteTiming.h"

#include <cstdlib>

#include "kel_exchange/Topology.h"

namespace kel_exchange {

std::int32_t time_to_mux(std::uint16_t sender_physical, std::uint16_t receiver_physical) {
  using namespace physical;
  const auto s = sender_physical;
  const auto r = receiver_physical;
  const auto i = [](std::uint32_t v) { return static_cast<std::int32_t>(v); };
  const std::int32_t cp_s_in_half = i(column_pair(s) % 8);
  const std::int32_t x = half(s) == half(r) ? cp_s_in_half + 1 : 16 - cp_s_in_half;
  const std::int32_t distance = std::abs(direction(s, r).delta);
  return 8 * i(half(s)) + 4 * i(folded_column_pair(s)) + x + 2 * i(route_row(s)) + distance - i(column_pair(r)) -
         4 * i(folded_column_pair(r)) - 2 * i(route_row(r)) - 31;
}

}  // namespace kel_exchange
