// Internal invariants that validated input cannot break: a violation is a
// programming error, so it stops the process with a fixed message.
#pragma once

namespace kel_runtime {

[[noreturn]] void invariant_failed(const char* message) noexcept;

/// Stops the process with `message` unless `condition` holds.
inline void expect(bool condition, const char* message) noexcept {
  if (!condition) [[unlikely]]
    invariant_failed(message);
}

}  // namespace kel_runtime
