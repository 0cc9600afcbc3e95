// The fabric's multiplexer lead time between a sender and a receiver tile.
// Every point-to-point and multicast row pair is built so that the receiver's
// source control takes effect at (first send cycle) + time_to_mux + 1.
#pragma once

#include <cstdint>

namespace kel_exchange {

/// Row of a physical tile as the route timing reads it: bits 6-10.
constexpr std::uint32_t route_row(std::uint16_t physical_tile) { return (physical_tile >> 6) & 0x1Fu; }

/// Multiplexer lead time in cycles from sender to receiver (physical
/// identifiers); on the R817 board between -78 and 112 for distinct tiles.
std::int32_t time_to_mux(std::uint16_t sender_physical, std::uint16_t receiver_physical);

}  // namespace kel_exchange
