// Transfers of one generated phase for a workload family. Every transfer it
// emits converts (tiles below the tile count, distinct destinations, aligned
// addresses, blocks ending at or below kGeneratedAddressLimit, loopbacks only
// in multicasts and in other memory elements than the reads) and has a route.
#pragma once

#include <cstdint>
#include <vector>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_tests/gen/GeneratorRandom.h"
#include "kel_tests/gen/RoutabilityCheck.h"
#include "kel_tests/gen/TileMemory.h"
#include "kel_tests/gen/TransferWords.h"
#include "kel_tests/gen/WorkloadFamily.h"

namespace kel_tests::gen {

class WorkloadGenerator {
 public:
  WorkloadGenerator(std::uint16_t tiles, TransferWords words);

  std::uint16_t tile_count() const { return route_.tile_count(); }
  const TransferWords& words() const { return words_; }

  /// Whether `family` can emit any transfer with these tiles and words
  /// (a single tile cannot send anywhere; paired shapes need two free pairs).
  bool can_generate(WorkloadFamily family) const;

  /// Appends up to `count` transfers of `family` (not Mix) to `transfers`,
  /// drawing from `rng` and placing buffers in `memory`. It stops short of
  /// `count` only when `can_generate` is false or routes keep failing.
  void generate(WorkloadFamily family, std::uint32_t count, GeneratorRandom& rng, TileMemory& memory,
                std::vector<kel_codegen::exchange::ExchangeScheduleTransfer>& transfers) const;

 private:
  friend class WorkloadSession;
  RoutabilityCheck route_;
  TransferWords words_;
};

}  // namespace kel_tests::gen
