// Whole generated snapshots: phase ids, the family (or families, for a mix)
// of every phase, and the check that the result is a valid snapshot. The same
// options always give the same snapshot; phase k depends only on the options
// and k, so asking for more phases keeps the earlier ones.
#pragma once

#include <expected>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_tests/ErrorChain.h"
#include "kel_tests/gen/GeneratorOptions.h"

namespace kel_tests::gen {

/// The snapshot `options` describe (options as check_generator_options accepts).
kel_codegen::exchange::ExchangeScheduleSnapshot generate_snapshot(const GeneratorOptions& options);

/// Validates `snapshot` as the benchmark will: ExchangeScheduleSnapshot::validate,
/// then the conversion of every phase into pending transfers.
[[nodiscard]] std::expected<void, ErrorChain> check_generated_snapshot(
    const kel_codegen::exchange::ExchangeScheduleSnapshot& snapshot);

/// generate_snapshot followed by check_generated_snapshot.
[[nodiscard]] std::expected<kel_codegen::exchange::ExchangeScheduleSnapshot, ErrorChain> generate_checked_snapshot(
    const GeneratorOptions& options);

}  // namespace kel_tests::gen
