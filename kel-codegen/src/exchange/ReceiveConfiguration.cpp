// Receive counts and bases of a phase, computed before any scheduling; a
// destination outside the phase's tiles is reported, never indexed.
#include "kel_codegen/exchange/ReceiveConfiguration.h"

namespace kel_codegen::exchange {

std::expected<ReceiveConfiguration, ExchangeLoweringError> receive_configuration(
    std::span<const PendingTransfer> pending, std::uint16_t tile_count) {
  ReceiveConfiguration configuration;
  configuration.receive_counts.assign(tile_count, 0);
  for (const PendingTransfer& transfer : pending) {
    for (const PendingDestination& destination : transfer.destinations) {
      if (destination.tile >= tile_count) return std::unexpected(ExchangeLoweringError::invalid_destination());
      ++configuration.receive_counts[destination.tile];
    }
  }
  // A base is only meaningful for a tile that one unicast transfer feeds; a
  // tile without one keeps 0.
  configuration.receive_bases.assign(tile_count, 0);
  for (const PendingTransfer& transfer : pending) {
    if (transfer.destinations.size() != 1) continue;
    const PendingDestination& destination = transfer.destinations.front();
    if (configuration.receive_counts[destination.tile] == 1)
      configuration.receive_bases[destination.tile] = destination.address;
  }
  return configuration;
}

}  // namespace kel_codegen::exchange
