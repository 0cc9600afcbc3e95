// The program decoder and its text rendering. Word classes and fields come
// from the instruction-word recognisers, tried in their recognition order.
#include "kel_exchange/diagnostic/PlanProgramDiagnostic.h"

#include <fmt/format.h>

#include <iterator>
#include <limits>

#include "kel_exchange/InstructionWord.h"

namespace kel_exchange::diagnostic {

void DecodedPlanInstruction::append_render(std::string& out) const {
  auto it = std::back_inserter(out);
  if (address)
    fmt::format_to(it, "0x{:05x}", *address);
  else
    fmt::format_to(it, "word+{}", word_index);
  fmt::format_to(it, " cycles={}..{} ", start_cycle, end_cycle);
  operation.append_debug(out);
  out += '\n';
}

std::string DecodedPlanInstruction::render() const {
  std::string out;
  append_render(out);
  return out;
}

std::string PlanProgramDiagnostic::render() const {
  std::string out;
  for (const DecodedPlanInstruction& instruction : instructions) instruction.append_render(out);
  return out;
}

namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

// Operand of a continuation send: bits 3-13, which the encoder leaves 0.
constexpr std::uint32_t continuation_operand(std::uint32_t w) { return (w >> 3) & 0x7FFu; }
// Operand of a single-control send: its low 18 bits, whatever the stream.
constexpr std::uint32_t control_send_operand(std::uint32_t w) { return w & 0x3FFFFu; }

struct DecodedWord {
  PlanOperation operation;
  std::uint32_t duration = 0;
  std::size_t length = 1;  // words consumed
};

// `words` is a random-access iterator over `count` words.
template <class Words>
std::expected<PlanProgramDiagnostic, ExchangeError> decode(Words words, std::size_t count,
                                                           std::optional<std::uint32_t> base_address) {
  kel_runtime::expect(count <= kU32Max, "decoded program word count fits u32");
  PlanProgramDiagnostic result;
  result.instructions.reserve(count);  // at most one instruction per word

  std::uint32_t cycle = 0;
  std::size_t index = 0;
  while (index < count) {
    const std::uint32_t w = words[index];
    DecodedWord decoded;
    switch (classify_instruction(w)) {
      case InstructionClass::Return:
        decoded.operation = PlanOperation::Return{};
        break;
      case InstructionClass::Delay:
        decoded.operation = PlanOperation::Delay{};
        decoded.duration = delay_cycles(w);
        break;
      case InstructionClass::Xpic:
        decoded.operation = IncomingControl{IncomingControlStream::Xpic, xpic_value(w)};
        decoded.duration = xpic_advance(w);
        break;
      case InstructionClass::Pic:
        decoded.operation = IncomingControl{IncomingControlStream::Pic, pic_value(w)};
        decoded.duration = pic_advance(w);
        break;
      case InstructionClass::PairedSend: {
        if (index + 1 >= count) return std::unexpected(ExchangeError::schedule("truncated SENDPICP payload"));
        const std::uint32_t w2 = words[index + 1];
        const PlanOperation::Send send{
            .encoding = SendEncoding::PicPair,
            .words = send_items(w),
            .raw_operand = send_address_field(w),
            .send_control = send_control(w),
            .controls = {IncomingControl{IncomingControlStream::Xpic, paired_send_xpic_value(w2)},
                         IncomingControl{IncomingControlStream::Pic, paired_send_pic_value(w, w2)}},
        };
        decoded.operation = send;
        decoded.duration = send.words;
        decoded.length = 2;
        break;
      }
      case InstructionClass::ControlSend: {
        const auto stream = control_send_is_pic(w) ? IncomingControlStream::Pic : IncomingControlStream::Xpic;
        const PlanOperation::Send send{
            .encoding = SendEncoding::Pic,
            .words = send_items(w),
            .raw_operand = control_send_operand(w),
            .send_control = std::nullopt,
            .controls = {IncomingControl{stream, control_send_value(w)}},
        };
        decoded.operation = send;
        decoded.duration = send.words;
        break;
      }
      case InstructionClass::FirstSend: {
        const PlanOperation::Send send{
            .encoding = SendEncoding::Explicit,
            .words = send_items(w),
            .raw_operand = send_address_field(w),
            .send_control = send_control(w),
            .controls = {},
        };
        decoded.operation = send;
        decoded.duration = send.words;
        break;
      }
      case InstructionClass::ContinuationSend: {
        const PlanOperation::Send send{
            .encoding = SendEncoding::Offset,
            .words = continuation_items(w),
            .raw_operand = continuation_operand(w),
            .send_control = send_control(w),
            .controls = {},
        };
        decoded.operation = send;
        decoded.duration = send.words;
        break;
      }
      case InstructionClass::Sync:
        decoded.operation = PlanOperation::Sync{sync_id(w)};
        break;
      case InstructionClass::Other:
        decoded.operation = PlanOperation::Unknown{w};
        break;
    }

    const std::uint64_t end = std::uint64_t{cycle} + decoded.duration;
    if (end > kU32Max) return std::unexpected(ExchangeError::schedule("diagnostic event horizon overflow"));
    std::optional<std::uint32_t> address;
    if (base_address) {
      const std::uint64_t a = std::uint64_t{*base_address} + 4 * std::uint64_t{index};
      if (a > kU32Max) return std::unexpected(ExchangeError::schedule("diagnostic row address overflow"));
      address = static_cast<std::uint32_t>(a);
    }
    result.instructions.push_back(DecodedPlanInstruction{
        .operation = decoded.operation,
        .address = address,
        .word_index = index,
        .start_cycle = cycle,
        .end_cycle = static_cast<std::uint32_t>(end),
    });
    cycle = static_cast<std::uint32_t>(end);
    index += decoded.length;
  }

  result.end_cycle = cycle;
  result.word_count = static_cast<std::uint32_t>(count);
  return result;
}

}  // namespace

std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(std::span<const std::uint32_t> words,
                                                                          std::optional<std::uint32_t> base_address) {
  return decode(words.data(), words.size(), base_address);
}

std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(const Chunked<std::uint32_t>& words,
                                                                          std::optional<std::uint32_t> base_address) {
  return decode(words.begin(), words.len(), base_address);
}

}  // namespace kel_exchange::diagnostic
