// The tile programs of one exchange phase while transfers are placed one by
// one. Tile schedules only grow (except where a continuing receive stream
// replaces the previous stream's closing events); clones share their storage
// copy-on-write, encodings resume from checkpoints, and the last successful
// encodability proof is kept so that the append that follows it is free.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/MulticastPlan.h"
#include "kel_exchange/PreparedTransfer.h"
#include "kel_exchange/ScheduledReceiverWindow.h"
#include "kel_exchange/TileProgramSchedule.h"

namespace kel_exchange {

/// A transfer's cycles at a given offset (all absolute).
struct PhaseTransferTiming {
  std::vector<std::uint32_t> pointer_cycles;    ///< per receiver
  std::vector<std::uint32_t> payload_ends;      ///< per receiver
  std::vector<std::uint32_t> receive_horizons;  ///< per receiver
  std::uint32_t send_start = 0;
  std::uint32_t send_end = 0;
  std::uint32_t sender_horizon = 0;

  friend bool operator==(const PhaseTransferTiming&, const PhaseTransferTiming&) = default;
};

/// The finished phase: per tile its words (absent for a tile that takes no
/// part) and its length in cycles.
struct PhasePrograms {
  std::vector<std::optional<std::vector<std::uint32_t>>> programs;
  std::vector<std::uint32_t> tile_event_cycles;
  std::uint32_t event_cycles = 0;
};

/// The last transfer proven encodable, with the tile schedules the proof built
/// (source first, then each receiver other than the source).
struct StagedTransfer {
  std::vector<std::uint16_t> receivers;
  MulticastPlan plan;
  std::vector<std::pair<std::uint16_t, TileProgramSchedule>> tiles;
  std::uint32_t offset = 0;
  std::uint32_t item_count = 0;
  std::uint16_t source = 0;

  bool matches(std::uint16_t source, std::span<const std::uint16_t> receivers, const MulticastPlan& plan,
               std::uint32_t offset, std::uint32_t item_count) const;
};

class PhaseProgramBuilder {
 public:
  /// `tile_count` empty tile schedules, nothing staged, no budget.
  static PhaseProgramBuilder create(std::uint16_t tile_count);
  /// The same builder with a fresh budget cell of `budget` work units.
  PhaseProgramBuilder with_validation_budget(std::uint64_t budget) &&;

  /// The smallest offset not below `not_before` at which the transfer fits
  /// beside everything placed and is proven encodable; stages the proof.
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> earliest_transfer_offset(
      std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
      const PreparedTransfer& prepared, std::uint32_t item_count, std::uint32_t not_before);
  /// As `earliest_transfer_offset` without the proof: no budget, no staging.
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> earliest_transfer_offset_deferred(
      std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
      const PreparedTransfer& prepared, std::uint32_t item_count, std::uint32_t not_before) const;
  /// The timing the transfer would have at `offset`; changes nothing.
  [[nodiscard]] std::expected<PhaseTransferTiming, ExchangeError> transfer_timing_at(
      std::uint16_t source, std::span<const std::uint16_t> receivers, const PreparedTransfer& prepared,
      std::uint32_t offset, std::uint32_t item_count) const;
  /// As `transfer_timing_at`, written over `out` so that its arrays are reused.
  [[nodiscard]] std::expected<void, ExchangeError> transfer_timing_into(std::uint16_t source,
                                                                      std::span<const std::uint16_t> receivers,
                                                                      const PreparedTransfer& prepared,
                                                                      std::uint32_t offset, std::uint32_t item_count,
                                                                      PhaseTransferTiming& out) const;
  /// Places the transfer at `offset`; on failure the tiles are unchanged.
  [[nodiscard]] std::expected<PhaseTransferTiming, ExchangeError> append_transfer_at(
      std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
      const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t item_count);
  /// As `append_transfer_at`, with the timing written over `out`.
  [[nodiscard]] std::expected<void, ExchangeError> append_transfer_into(
      std::uint16_t source, std::span<const std::uint16_t> partners, std::span<const std::uint16_t> receivers,
      const PreparedTransfer& prepared, std::uint32_t offset, std::uint32_t item_count, PhaseTransferTiming& out);

  /// The largest tile event horizon; 0 with no tiles.
  std::uint32_t event_cycles() const;
  /// Encodes and checks every tile program.
  [[nodiscard]] std::expected<PhasePrograms, ExchangeError> finish() const;

  const std::vector<TileProgramSchedule>& tiles() const { return tiles_; }
  const std::optional<StagedTransfer>& staged() const { return staged_; }
  /// Work units left, or absent without a budget.
  std::optional<std::uint64_t> remaining_budget() const;

 private:
  using NewSchedules = std::vector<std::pair<std::uint16_t, TileProgramSchedule>>;

  explicit PhaseProgramBuilder(std::uint16_t tile_count) : tiles_(tile_count) {}

  /// The offset search without the proof.
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> fit(std::uint16_t source,
                                                                std::span<const std::uint16_t> partners,
                                                                std::span<const std::uint16_t> receivers,
                                                                const PreparedTransfer& prepared,
                                                                std::uint32_t item_count,
                                                                std::uint32_t not_before) const;
  [[nodiscard]] std::expected<std::uint32_t, ExchangeError> search_pass(std::uint16_t source,
                                                                        std::span<const std::uint16_t> partners,
                                                                        std::span<const std::uint16_t> receivers,
                                                                        const PreparedTransfer& prepared,
                                                                        std::uint32_t item_count,
                                                                        std::uint32_t f) const;
  [[nodiscard]] std::expected<void, ExchangeError> prove_encodable(std::uint16_t source,
                                                                   std::span<const std::uint16_t> receivers,
                                                                   const PreparedTransfer& prepared,
                                                                   std::uint32_t offset, std::uint32_t item_count);
  [[nodiscard]] std::expected<NewSchedules, ExchangeError> prepare_transfer_at(
      std::uint16_t source, std::span<const std::uint16_t> receivers, const PreparedTransfer& prepared,
      std::uint32_t offset, std::uint32_t item_count, bool encode) const;
  /// Each receiver's window at `offset` into `windows_`, with the checks and
  /// errors of the timing.
  [[nodiscard]] std::expected<void, ExchangeError> receiver_windows(std::span<const std::uint16_t> receivers,
                                                                  const PreparedTransfer& prepared,
                                                                  std::uint32_t offset,
                                                                  std::uint32_t item_count) const;
  /// What preparation without encoding does, applied to the tiles themselves:
  /// every check runs before the first change, so a failure changes nothing.
  /// Needs `windows_` from `receiver_windows` at the same offset.
  [[nodiscard]] std::expected<void, ExchangeError> place_in_place(std::uint16_t source,
                                                                std::span<const std::uint16_t> partners,
                                                                std::span<const std::uint16_t> receivers,
                                                                const PreparedTransfer& prepared,
                                                                std::uint32_t offset, std::uint32_t item_count,
                                                                std::uint32_t sender_horizon);

  std::vector<TileProgramSchedule> tiles_;
  std::optional<StagedTransfer> staged_;
  std::shared_ptr<std::atomic<std::uint64_t>> validation_budget_;
  // Scratch storage reused across searches and placements so that the hot
  // paths do not allocate; never part of the builder's observable state.
  mutable ScheduledReceiverWindow window_;
  mutable std::vector<ScheduledReceiverWindow> windows_;
};

}  // namespace kel_exchange
