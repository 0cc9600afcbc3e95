// Decoding of an encoded tile program into instructions with their cycle
// intervals, and its text rendering. Decoding reads every word of the slice
// (it does not stop at a return), never wraps a cycle or an address, and
// allocates only the instruction array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/diagnostic/PlanOperation.h"

namespace kel_exchange::diagnostic {

struct DecodedPlanInstruction {
  PlanOperation operation;
  /// Byte address of the instruction; present only when decoded with a base address.
  std::optional<std::uint32_t> address;
  /// Index of the instruction's first word.
  std::size_t word_index = 0;
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;

  /// One line: "{location} cycles={start}..{end} {operation}\n", the location
  /// being "0x{address:05x}" or "word+{index}".
  std::string render() const;
  void append_render(std::string& out) const;

  friend bool operator==(const DecodedPlanInstruction&, const DecodedPlanInstruction&) = default;
};

struct PlanProgramDiagnostic {
  std::vector<DecodedPlanInstruction> instructions;  ///< in program order
  std::uint32_t end_cycle = 0;                       ///< cycle reached after the last instruction
  std::uint32_t word_count = 0;                      ///< words decoded: the slice length

  /// The rendered lines of all instructions, concatenated.
  std::string render() const;

  friend bool operator==(const PlanProgramDiagnostic&, const PlanProgramDiagnostic&) = default;
};

/// Decodes `words` from cycle 0. With a base address each instruction's
/// address is base + 4 × word index. Errors: Schedule("truncated SENDPICP
/// payload") for a paired send missing its second word, Schedule("diagnostic
/// event horizon overflow") and Schedule("diagnostic row address overflow")
/// when a cycle or an address would exceed 32 bits.
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(
    std::span<const std::uint32_t> words, std::optional<std::uint32_t> base_address = std::nullopt);
[[nodiscard]] std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(
    const Chunked<std::uint32_t>& words, std::optional<std::uint32_t> base_address = std::nullopt);

}  // namespace kel_exchange::diagnostic
