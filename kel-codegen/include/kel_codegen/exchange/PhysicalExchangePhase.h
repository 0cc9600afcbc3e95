// A lowered exchange phase and the result of one lowering run. Every per-tile
// array has exactly one entry per logical tile of the phase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kel_codegen/exchange/MaterializedSchedule.h"

namespace kel_codegen::exchange {

struct PhysicalExchangePhase {
  std::vector<bool> active;                         ///< the builder produced a program
  std::vector<std::vector<std::uint32_t>> programs;  ///< a lone return word where inactive
  std::vector<std::uint32_t> incoming_bases;
  std::vector<std::uint32_t> tile_horizons;
  std::vector<std::vector<ExchangeActivity>> activities;
  std::vector<std::vector<ExchangeRowPatch>> repeat_patches;  ///< always empty here
  std::uint32_t phase = 0;
  std::uint32_t horizon = 0;

  friend bool operator==(const PhysicalExchangePhase&, const PhysicalExchangePhase&) = default;
};

struct ExchangeRun {
  PhysicalExchangePhase physical;
  std::size_t neighborhood_improvements = 0;
  std::uint32_t initial_horizon = 0;
  std::uint32_t endpoint_lower_bound = 0;
  bool reused = false;
};

}  // namespace kel_codegen::exchange
