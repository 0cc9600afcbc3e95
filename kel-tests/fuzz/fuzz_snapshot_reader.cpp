// Arbitrary bytes through the snapshot reader, validation and conversion:
// every input must end in a snapshot or an error value.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_codegen/exchange/SnapshotReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace ex = kel_codegen::exchange;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // A small token cap reaches the limit path without huge inputs.
  ex::SnapshotReadLimits limits;
  limits.max_token_bytes = 4096;
  const auto snapshot = ex::parse_snapshot(text, limits);
  if (!snapshot) {
    (void)snapshot.error().display();
    return 0;
  }
  if (!snapshot->validate()) return 0;
  for (const ex::ExchangeScheduleProblem& problem : snapshot->phases) {
    const auto checked = ex::check_problem_transfers(problem, snapshot->tile_count);
    const auto converted = ex::pending_from_problem(problem, snapshot->tile_count);
    // The check and the conversion must agree on whether the phase converts.
    if (checked.has_value() != converted.has_value()) __builtin_trap();
  }
  return 0;
}
