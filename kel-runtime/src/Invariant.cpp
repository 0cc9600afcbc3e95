// Abort path for broken internal invariants.
#include "kel_runtime/Invariant.h"

#include <cstdio>
#include <cstdlib>

namespace kel_runtime {

void invariant_failed(const char* message) noexcept {
  std::fputs("internal invariant failed: ", stderr);
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace kel_runtime
