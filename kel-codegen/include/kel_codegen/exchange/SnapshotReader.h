// Reading an exchange-schedule snapshot from JSON text: unknown keys are
// skipped with their value, missing and duplicate keys are rejected, records
// may also be arrays of their field values, integers must fit their field's
// width exactly. Every failure, allocation failure included, comes back as a
// value naming the line and column where it was detected.
#pragma once

#include <cstddef>
#include <cstdio>
#include <expected>
#include <string>
#include <string_view>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"

namespace kel_codegen::exchange {

struct SnapshotParseError {
  std::string message;
  std::size_t line = 0;    ///< 1-based
  std::size_t column = 0;  ///< bytes of the line read up to and including the offending one

  /// e.g. "missing field `width` at line 12 column 5".
  std::string display() const;

  friend bool operator==(const SnapshotParseError&, const SnapshotParseError&) = default;
};

/// Resource limits of the reader; inputs beyond them fail with a parse error.
struct SnapshotReadLimits {
  /// Deepest nesting of arrays and objects, skipped values included.
  std::size_t max_depth = 512;
  /// Longest single string, key or number, in bytes, that is always accepted;
  /// the reader's scratch buffer grows in steps, so the cut lies between this
  /// and one and a half times this.
  std::size_t max_token_bytes = std::size_t{256} << 20;
};

/// Parses `json` as one snapshot; nothing but white space may follow it.
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, SnapshotParseError> parse_snapshot(
    std::string_view json, const SnapshotReadLimits& limits = {});

/// Reads `file` to its end through an 8 KiB buffer and parses it like
/// parse_snapshot; a read error of the file is a parse error too.
[[nodiscard]] std::expected<ExchangeScheduleSnapshot, SnapshotParseError> read_snapshot(
    std::FILE* file, const SnapshotReadLimits& limits = {});

}  // namespace kel_codegen::exchange
