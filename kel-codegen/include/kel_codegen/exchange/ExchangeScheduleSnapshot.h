// The exchange-schedule snapshot records (schema version 3): plain values,
// cloned and compared field by field.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "kel_codegen/exchange/ExchangeLoweringError.h"

namespace kel_codegen::exchange {

/// Supported snapshot schema version.
inline constexpr std::uint32_t kSnapshotSchemaVersion = 3;

enum class ExchangeItemWidth : std::uint8_t {
  Word32,    ///< items of one 32-bit word
  Paired64,  ///< 64-bit items moved by a pair of tiles
};

struct ExchangeScheduleDestination {
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  friend bool operator==(const ExchangeScheduleDestination&, const ExchangeScheduleDestination&) = default;
};

struct ExchangeScheduleTransfer {
  std::uint16_t source = 0;
  std::vector<std::uint32_t> source_addresses;  ///< one per Repeat iteration
  std::vector<ExchangeScheduleDestination> destinations;
  std::uint32_t words = 0;
  ExchangeItemWidth width = ExchangeItemWidth::Word32;
  friend bool operator==(const ExchangeScheduleTransfer&, const ExchangeScheduleTransfer&) = default;
};

struct ExchangeScheduleProblem {
  std::uint32_t phase = 0;
  std::vector<ExchangeScheduleTransfer> transfers;
  friend bool operator==(const ExchangeScheduleProblem&, const ExchangeScheduleProblem&) = default;
};

struct ExchangeScheduleSnapshot {
  std::uint32_t schema_version = 0;
  std::uint16_t tile_count = 0;
  std::vector<ExchangeScheduleProblem> phases;

  /// Checks the version and tile count, then converts every transfer of every
  /// phase (the converted records are discarded).
  [[nodiscard]] std::expected<void, ExchangeLoweringError> validate() const;

  friend bool operator==(const ExchangeScheduleSnapshot&, const ExchangeScheduleSnapshot&) = default;
};

}  // namespace kel_codegen::exchange
