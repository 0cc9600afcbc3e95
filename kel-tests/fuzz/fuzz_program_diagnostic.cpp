// Arbitrary instruction words through the decoder and its renderer, with and
// without a base address; the flat and the chunked forms must agree.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/diagnostic/PlanProgramDiagnostic.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace diag = kel_exchange::diagnostic;
  if (size < 1) return 0;
  const bool with_base = data[0] & 1;
  std::uint32_t base = 0;
  std::size_t at = 1;
  if (with_base && size >= 5) {
    std::memcpy(&base, data + 1, 4);
    at = 5;
  }
  std::vector<std::uint32_t> words((size - at) / 4);
  if (!words.empty()) std::memcpy(words.data(), data + at, words.size() * 4);
  const std::optional<std::uint32_t> base_address = with_base ? std::optional(base) : std::nullopt;

  const auto flat = diag::diagnose_plan_program(std::span<const std::uint32_t>(words), base_address);
  kel_exchange::Chunked<std::uint32_t> chunked;
  for (const std::uint32_t w : words) chunked.push(w);
  const auto from_chunks = diag::diagnose_plan_program(chunked, base_address);
  if (flat.has_value() != from_chunks.has_value()) __builtin_trap();
  if (flat) {
    if (flat->render() != from_chunks->render()) __builtin_trap();
  } else if (!(flat.error() == from_chunks.error())) {
    __builtin_trap();
  }
  return 0;
}
