// Delay rule and recording of memory accesses at placement.
#include "kel_codegen/exchange/MemorySafeTransferOffset.h"

#include <algorithm>

#include "kel_runtime/Invariant.h"

namespace kel_codegen::exchange {

namespace {

/// Latest conflict end of the destination span [address, address + 4 words)
/// with the history, element by element.
std::optional<std::uint32_t> span_conflict_end(const hazards::MemoryHistory& history, std::uint32_t address,
                                               std::uint32_t words, std::uint32_t start, std::uint32_t end) {
  std::optional<std::uint32_t> latest;
  if (history.empty()) return latest;
  for_each_memory_element(address, words, [&](ExchangeMemoryElement element) {
    const auto conflict = history.conflict_end(std::span(&element, 1), start, end);
    if (conflict && (!latest || *conflict > *latest)) latest = conflict;
    return true;
  });
  return latest;
}

}  // namespace

std::expected<std::uint32_t, ExchangeLoweringError> memory_safe_transfer_offset(
    std::span<const hazards::TileMemorySchedule> memory, const PendingTransfer& transfer, std::uint32_t offset,
    const kel_exchange::PhaseTransferTiming& timing) {
  kel_runtime::expect(transfer.source < memory.size(), "memory schedule for every source tile");
  std::uint32_t delay = 0;
  bool conflict = false;
  if (const auto end = memory[transfer.source].writes.conflict_end(transfer.source_elements, timing.send_start,
                                                                   timing.sender_horizon)) {
    conflict = true;
    delay = std::max(delay, *end > timing.send_start ? *end - timing.send_start : 0u);
  }
  const std::size_t destinations = std::min(transfer.destinations.size(), timing.pointer_cycles.size());
  for (std::size_t i = 0; i < destinations; ++i) {
    const PendingDestination& destination = transfer.destinations[i];
    kel_runtime::expect(destination.tile < memory.size(), "memory schedule for every destination tile");
    if (const auto end = span_conflict_end(memory[destination.tile].reads, destination.address, transfer.words,
                                           timing.pointer_cycles[i], timing.receive_horizons[i])) {
      conflict = true;
      delay = std::max(delay, *end > timing.pointer_cycles[i] ? *end - timing.pointer_cycles[i] : 0u);
    }
  }
  if (!conflict) return offset;
  if (offset > 0xFFFFFFFFu - delay) return std::unexpected(ExchangeLoweringError::overflow());
  return offset + delay;
}

void record_transfer_memory(std::span<hazards::TileMemorySchedule> memory, const PendingTransfer& transfer,
                            const kel_exchange::PhaseTransferTiming& timing) {
  memory[transfer.source].reads.record(transfer.source_elements, timing.send_start, timing.sender_horizon);
  const std::size_t destinations = std::min(transfer.destinations.size(), timing.pointer_cycles.size());
  for (std::size_t i = 0; i < destinations; ++i) {
    const PendingDestination& destination = transfer.destinations[i];
    for_each_memory_element(destination.address, transfer.words, [&](ExchangeMemoryElement element) {
      memory[destination.tile].writes.record(std::span(&element, 1), timing.pointer_cycles[i],
                                             timing.receive_horizons[i]);
      return true;
    });
  }
}

}  // namespace kel_codegen::exchange
