// Writes a snapshot as schema-3 JSON: records as objects, one transfer per
// line, streamed through a bounded buffer so memory does not grow with the
// snapshot.
#pragma once

#include <cstdio>
#include <expected>
#include <string>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"

namespace kel_tests::gen {

/// Writes `snapshot` to `out` (not closed). Fails with the system's error text
/// when a write fails.
[[nodiscard]] std::expected<void, std::string> write_snapshot(std::FILE* out,
                                                              const kel_codegen::exchange::ExchangeScheduleSnapshot& snapshot);

/// The text write_snapshot produces.
std::string format_snapshot(const kel_codegen::exchange::ExchangeScheduleSnapshot& snapshot);

}  // namespace kel_tests::gen
