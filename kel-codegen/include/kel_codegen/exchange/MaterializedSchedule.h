// One phase under construction: the phase program builder plus the
// scheduler's bookkeeping (tile readiness, memory histories, activities,
// placement order and per-transfer placements). Built by successive appends,
// never un-appended; a failed append leaves a schedule to discard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/SchedulingProblem.h"
#include "kel_codegen/exchange/hazards/MemoryHistory.h"
#include "kel_exchange/PhaseProgramBuilder.h"
#include "kel_exchange/Topology.h"

namespace kel_codegen::exchange {

enum class ExchangeActivityKind : std::uint8_t { Send, Receive, PartnerBusy };

/// One tile's part in one transfer.
struct ExchangeActivity {
  std::uint32_t transfer = 0;
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t memory_end = 0;  ///< until when the memory access lasts
  std::uint32_t address = 0;     ///< first source address, or the destination address
  std::uint32_t words = 0;
  std::uint16_t destinations = 0;
  ExchangeActivityKind kind = ExchangeActivityKind::Send;
  ExchangeItemWidth width = ExchangeItemWidth::Word32;

  friend bool operator==(const ExchangeActivity&, const ExchangeActivity&) = default;
};

struct TransferPlacement {
  /// The transfer that last occupied the tile that bounded this placement.
  std::optional<std::size_t> critical_predecessor;
  /// The later of the send end and every destination's payload end.
  std::uint32_t finish = 0;

  friend bool operator==(const TransferPlacement&, const TransferPlacement&) = default;
};

/// The last transfers that used a tile, for critical predecessors.
struct TileFrontier {
  std::optional<std::size_t> last_send;     ///< as source or partner
  std::optional<std::size_t> last_receive;  ///< as destination
};

struct TileReady {
  std::uint32_t send_ready = 0;     ///< end of the last send or partner hold
  std::uint32_t receive_ready = 0;  ///< payload end of the last receive
};

/// A repeat patch of a lowered phase's rows (this lowering produces none).
struct ExchangeRowPatch {
  std::uint32_t offset = 0;
  std::vector<std::uint32_t> words;

  friend bool operator==(const ExchangeRowPatch&, const ExchangeRowPatch&) = default;
};

class MaterializedSchedule {
 public:
  /// An empty schedule whose builder gets a validation budget scaled to the
  /// phase's per-tile sends and receives.
  static MaterializedSchedule create(std::uint16_t tile_count, std::span<const PendingTransfer> pending);

  /// Places transfer `transfer` at the earliest offset not before `ready` at
  /// which the builder accepts it and its memory accesses are hazard-free.
  /// Returns its finish cycle.
  [[nodiscard]] std::expected<std::uint32_t, ExchangeLoweringError> append(
      const kel_exchange::Topology& topology, std::span<const PendingTransfer> pending,
      std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts,
      std::size_t transfer, std::uint32_t ready, bool validate, std::span<TileFrontier> frontier);

  kel_exchange::PhaseProgramBuilder builder;
  std::vector<TileReady> tile_ready;
  std::vector<hazards::TileMemorySchedule> memory;
  std::vector<std::vector<ExchangeActivity>> activities;
  std::vector<std::size_t> order;
  std::vector<std::optional<TransferPlacement>> placements;
  std::uint32_t horizon = 0;

 private:
  explicit MaterializedSchedule(kel_exchange::PhaseProgramBuilder b) : builder(std::move(b)) {}

  // Scratch storage reused by every append, so that placing a transfer does
  // not allocate; meaningful only inside one append.
  std::vector<std::uint16_t> receivers_;
  kel_exchange::MulticastPlan plan_;
  kel_exchange::PreparedTransfer prepared_;
  kel_exchange::PhaseTransferTiming timing_;
};

/// The validation budget `create` gives a phase's builder.
std::uint64_t materialization_budget(std::uint16_t tile_count, std::span<const PendingTransfer> pending);

/// Appends every transfer in `order` (a topological permutation of the
/// transfers), each ready when its predecessors finish, then proves that
/// every tile program encodes.
[[nodiscard]] std::expected<MaterializedSchedule, ExchangeLoweringError> materialize_schedule_order(
    const kel_exchange::Topology& topology, const SchedulingProblem& problem,
    std::span<const std::uint32_t> receive_bases, std::span<const std::uint64_t> receive_counts,
    std::span<const std::size_t> order, bool validate);

}  // namespace kel_codegen::exchange
