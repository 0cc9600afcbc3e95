// Program diagnostics: decoding words into timed instructions (against a model
// built from the word constructors), the exact rendered text, and the checks
// of an encoded program against a hand-built tile schedule, including the
// debug event logged when receive controls differ.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/ExchangeError.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/ScheduledSenderRow.h"
#include "kel_exchange/TileProgramSchedule.h"
#include "kel_exchange/diagnostic/IncomingControl.h"
#include "kel_exchange/diagnostic/PlanOperation.h"
#include "kel_exchange/diagnostic/PlanProgramDiagnostic.h"
#include "kel_exchange/diagnostic/TileProgramValidation.h"
#include "kel_runtime/Log.h"
#include "kel_runtime/testing/LogCapture.h"

namespace kel_exchange::diagnostic {
namespace {

using Words = std::vector<std::uint32_t>;
using Stream = IncomingControlStream;
using Op = PlanOperation;

constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

ExchangeError schedule_error(const char* reason) { return ExchangeError::schedule(reason); }

Chunked<std::uint32_t> chunked(const Words& words) {
  Chunked<std::uint32_t> out;
  out.extend(words);
  return out;
}

// Appends both words of a paired send.
void push_paired(Words& words, std::uint32_t items, std::uint8_t control, std::uint32_t address, std::uint32_t pic,
                 std::uint32_t xpic) {
  const auto pair = paired_send_words(items, control, address, pic, xpic);
  words.insert(words.end(), pair.begin(), pair.end());
}

// ---- Decoding ----------------------------------------------------------------------

TEST(DiagnosePlanProgram, EmptySliceDecodesToNothing) {
  const auto decoded = diagnose_plan_program(Words{}, std::nullopt);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->instructions.empty());
  EXPECT_EQ(decoded->end_cycle, 0u);
  EXPECT_EQ(decoded->word_count, 0u);
  EXPECT_EQ(decoded->render(), "");
}

TEST(DiagnosePlanProgram, DelayThenReturn) {
  const auto decoded = diagnose_plan_program(Words{0x40A00009, 0x43A00000}, std::nullopt);
  ASSERT_TRUE(decoded.has_value());
  const std::vector<DecodedPlanInstruction> expected = {
      {.operation = Op::Delay{}, .address = std::nullopt, .word_index = 0, .start_cycle = 0, .end_cycle = 10},
      {.operation = Op::Return{}, .address = std::nullopt, .word_index = 1, .start_cycle = 10, .end_cycle = 10},
  };
  EXPECT_EQ(decoded->instructions, expected);
  EXPECT_EQ(decoded->end_cycle, 10u);
  EXPECT_EQ(decoded->word_count, 2u);
  EXPECT_EQ(decoded->render(), "word+0 cycles=0..10 Delay\nword+1 cycles=10..10 Return\n");
}

TEST(DiagnosePlanProgram, DecodingRunsPastReturn) {
  const auto decoded = diagnose_plan_program(Words{RETURN_WORD, delay_word(5), RETURN_WORD});
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->instructions.size(), 3u);
  EXPECT_EQ(decoded->end_cycle, 5u);
  EXPECT_EQ(decoded->word_count, 3u);
  EXPECT_EQ(decoded->render(), "word+0 cycles=0..0 Return\nword+1 cycles=0..5 Delay\nword+2 cycles=5..5 Return\n");
}

TEST(DiagnosePlanProgram, BaseAddressGivesByteAddressedLocations) {
  struct Case {
    std::uint32_t base;
    const char* text;
  };
  const Case cases[] = {
      {0x40, "0x00040 cycles=0..10 Delay\n0x00044 cycles=10..10 Return\n"},
      {0x0, "0x00000 cycles=0..10 Delay\n0x00004 cycles=10..10 Return\n"},
      {0xabcd0, "0xabcd0 cycles=0..10 Delay\n0xabcd4 cycles=10..10 Return\n"},
      {0x123456, "0x123456 cycles=0..10 Delay\n0x12345a cycles=10..10 Return\n"},
      {0xFFFFFFF8, "0xfffffff8 cycles=0..10 Delay\n0xfffffffc cycles=10..10 Return\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base);
    const auto decoded = diagnose_plan_program(Words{0x40A00009, 0x43A00000}, c.base);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->instructions[1].address, c.base + 4);
    EXPECT_EQ(decoded->render(), c.text);
  }
}

TEST(DiagnosePlanProgram, AddressOfAPairedSendSkipsItsSecondWord) {
  Words words{delay_word(1), delay_word(1)};
  push_paired(words, 3, 1, 0, 0, 0);
  words.push_back(RETURN_WORD);
  const auto decoded = diagnose_plan_program(words, 0x100);
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->instructions.size(), 4u);
  EXPECT_EQ(decoded->instructions[2].address, 0x108u);
  EXPECT_EQ(decoded->instructions[3].address, 0x110u);
  EXPECT_EQ(decoded->instructions[3].word_index, 4u);
  EXPECT_EQ(decoded->word_count, 5u);
}

TEST(DiagnosePlanProgram, Errors) {
  struct Case {
    const char* name;
    Words words;
    std::optional<std::uint32_t> base;
    std::optional<const char*> reason;  // absent: decodes
  };
  // 8191 longest delays end at 2^32 - 2^19; one more cycle budget of 2^19 - 1 fits exactly.
  Words at_limit(8191, delay_word(kMaxDelayCycles));
  at_limit.push_back(delay_word(kMaxDelayCycles - 1));
  Words past_limit(8191, delay_word(kMaxDelayCycles));
  past_limit.push_back(delay_word(kMaxDelayCycles));
  const std::vector<Case> cases = {
      {"lone paired word", {0xF0000000}, std::nullopt, "truncated SENDPICP payload"},
      {"paired word last", {delay_word(2), 0xFFFFFFFF}, std::nullopt, "truncated SENDPICP payload"},
      {"paired word last with base", {delay_word(2), 0xF7E00000}, 0x40, "truncated SENDPICP payload"},
      {"cycles reach u32 max", at_limit, std::nullopt, std::nullopt},
      {"cycles pass u32 max", past_limit, std::nullopt, "diagnostic event horizon overflow"},
      {"last address fits", {delay_word(1), RETURN_WORD}, 0xFFFFFFF8, std::nullopt},
      {"address passes u32 max", {delay_word(1), RETURN_WORD}, 0xFFFFFFFC, "diagnostic row address overflow"},
      {"address overflow without base is not checked", {delay_word(1), RETURN_WORD}, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = diagnose_plan_program(c.words, c.base);
    if (c.reason) {
      ASSERT_FALSE(decoded.has_value());
      EXPECT_EQ(decoded.error(), schedule_error(*c.reason));
      // The same words in chunked storage fail the same way.
      const auto from_chunks = diagnose_plan_program(chunked(c.words), c.base);
      ASSERT_FALSE(from_chunks.has_value());
      EXPECT_EQ(from_chunks.error(), decoded.error());
    } else {
      ASSERT_TRUE(decoded.has_value()) << decoded.error().debug();
    }
  }
  const auto at = diagnose_plan_program(at_limit);
  ASSERT_TRUE(at.has_value());
  EXPECT_EQ(at->end_cycle, kU32Max);
}

// ---- Rendering ----------------------------------------------------------------------

TEST(PlanProgramDiagnosticRender, EveryOperationKind) {
  Words words = {
      xpic_word(66, 113),                                           // 0: 0..113
      xpic_word(kXpicNoSource, 4),                                  // 1: 113..117
      pic_word(0, 9),                                               // 2: 117..126
      pic_word(kPicFormatFlag | 2, 128),                            // 3: 126..254
      delay_word(6),                                                // 4: 254..260
      first_send_word(16, 1, 1024),                                 // 5: 260..276
      continuation_send_word(100, 1),                               // 6: 276..376
      continuation_send_word(64, 3) | (0x7FFu << 3),                // 7: 376..440, operand all ones
      control_send_word(4, pic_word(kPicFormatFlag | 2, 1)),        // 8: 440..444
      control_send_word(3, xpic_word(kXpicPairedFlag | 0x640, 1)),  // 9: 444..447
      delay_word(1),                                                // 10: 447..448
      sync_word(3),                                                 // 11
  };
  push_paired(words, 64, 5, 0x123, kPicFormatFlag | 1, kXpicPairedFlag | 7);  // 12-13: 448..512
  push_paired(words, 2, 0, 0, 0x200, 7);                                      // 14-15: 512..514
  words.push_back(1234);                                                      // 16
  words.push_back(RETURN_WORD);                                               // 17

  const auto decoded = diagnose_plan_program(words, std::nullopt);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->render(),
            "word+0 cycles=0..113 IncomingControl(IncomingControl { stream: Xpic, value: 66 })\n"
            "word+1 cycles=113..117 IncomingControl(IncomingControl { stream: Xpic, value: 1600 })\n"
            "word+2 cycles=117..126 IncomingControl(IncomingControl { stream: Pic, value: 0 })\n"
            "word+3 cycles=126..254 IncomingControl(IncomingControl { stream: Pic, value: 262146 })\n"
            "word+4 cycles=254..260 Delay\n"
            "word+5 cycles=260..276 Send { encoding: Explicit, words: 16, raw_operand: 1024, send_control: Some(1), "
            "controls: [] }\n"
            "word+6 cycles=276..376 Send { encoding: Offset, words: 100, raw_operand: 0, send_control: Some(1), "
            "controls: [] }\n"
            "word+7 cycles=376..440 Send { encoding: Offset, words: 64, raw_operand: 2047, send_control: Some(3), "
            "controls: [] }\n"
            "word+8 cycles=440..444 Send { encoding: Pic, words: 4, raw_operand: 2, send_control: None, "
            "controls: [IncomingControl { stream: Pic, value: 262146 }] }\n"
            "word+9 cycles=444..447 Send { encoding: Pic, words: 3, raw_operand: 1600, send_control: None, "
            "controls: [IncomingControl { stream: Xpic, value: 9792 }] }\n"
            "word+10 cycles=447..448 Delay\n"
            "word+11 cycles=448..448 Sync(3)\n"
            "word+12 cycles=448..512 Send { encoding: PicPair, words: 64, raw_operand: 291, send_control: Some(5), "
            "controls: [IncomingControl { stream: Xpic, value: 8199 }, IncomingControl { stream: Pic, value: "
            "262145 }] }\n"
            "word+14 cycles=512..514 Send { encoding: PicPair, words: 2, raw_operand: 0, send_control: Some(0), "
            "controls: [IncomingControl { stream: Xpic, value: 7 }, IncomingControl { stream: Pic, value: 512 }] }\n"
            "word+16 cycles=514..514 Unknown(1234)\n"
            "word+17 cycles=514..514 Return\n");
  EXPECT_EQ(decoded->end_cycle, 514u);
  EXPECT_EQ(decoded->word_count, 18u);
}

TEST(PlanProgramDiagnosticRender, TileDumpOfASendingAndReceivingTile) {
  const Words words = {
      xpic_word(66, 113), xpic_word(kXpicNoSource, 4),  delay_word(23), first_send_word(16, 1, 1024), pic_word(0, 9),
      delay_word(24),     first_send_word(12, 1, 3072), RETURN_WORD};
  const auto decoded = diagnose_plan_program(chunked(words));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->render(),
            "word+0 cycles=0..113 IncomingControl(IncomingControl { stream: Xpic, value: 66 })\n"
            "word+1 cycles=113..117 IncomingControl(IncomingControl { stream: Xpic, value: 1600 })\n"
            "word+2 cycles=117..140 Delay\n"
            "word+3 cycles=140..156 Send { encoding: Explicit, words: 16, raw_operand: 1024, send_control: Some(1), "
            "controls: [] }\n"
            "word+4 cycles=156..165 IncomingControl(IncomingControl { stream: Pic, value: 0 })\n"
            "word+5 cycles=165..189 Delay\n"
            "word+6 cycles=189..201 Send { encoding: Explicit, words: 12, raw_operand: 3072, send_control: Some(1), "
            "controls: [] }\n"
            "word+7 cycles=201..201 Return\n");
}

TEST(PlanProgramDiagnosticRender, DebugFormsOfTheParts) {
  EXPECT_EQ(debug_name(Stream::Pic), "Pic");
  EXPECT_EQ(debug_name(Stream::Xpic), "Xpic");
  EXPECT_EQ(debug_name(SendEncoding::Explicit), "Explicit");
  EXPECT_EQ(debug_name(SendEncoding::Offset), "Offset");
  EXPECT_EQ(debug_name(SendEncoding::Pic), "Pic");
  EXPECT_EQ(debug_name(SendEncoding::PicPair), "PicPair");
  EXPECT_EQ((IncomingControl{Stream::Xpic, 1600}).debug(), "IncomingControl { stream: Xpic, value: 1600 }");
  EXPECT_EQ(SendControls{}.debug(), "[]");
  EXPECT_EQ((SendControls{{Stream::Pic, 1}}).debug(), "[IncomingControl { stream: Pic, value: 1 }]");
  EXPECT_EQ(Op(Op::Sync{3}).debug(), "Sync(3)");
  EXPECT_EQ(Op(Op::Sync{255}).debug(), "Sync(255)");
  EXPECT_EQ(Op(Op::Unknown{1234}).debug(), "Unknown(1234)");
  EXPECT_EQ(Op(Op::Unknown{kU32Max}).debug(), "Unknown(4294967295)");
  EXPECT_EQ(Op(Op::Delay{}).debug(), "Delay");
  EXPECT_EQ(Op(Op::Return{}).debug(), "Return");
  EXPECT_EQ(Op(IncomingControl{Stream::Xpic, 1600}).debug(),
            "IncomingControl(IncomingControl { stream: Xpic, value: 1600 })");
  EXPECT_EQ(
      Op(Op::Send{.encoding = SendEncoding::Explicit, .words = 64, .raw_operand = 0, .send_control = 1, .controls = {}})
          .debug(),
      "Send { encoding: Explicit, words: 64, raw_operand: 0, send_control: Some(1), controls: [] }");
  const DecodedPlanInstruction instruction{
      .operation = Op::Sync{3}, .address = 0x1f, .word_index = 9, .start_cycle = 7, .end_cycle = 7};
  EXPECT_EQ(instruction.render(), "0x0001f cycles=7..7 Sync(3)\n");
}

TEST(PlanProgramDiagnosticRender, OperationKindsFollowDeclarationOrder) {
  EXPECT_EQ(Op(Op::Delay{}).kind(), Op::Kind::Delay);
  EXPECT_EQ(Op(IncomingControl{}).kind(), Op::Kind::IncomingControl);
  EXPECT_EQ(Op(Op::Send{}).kind(), Op::Kind::Send);
  EXPECT_EQ(Op(Op::Sync{}).kind(), Op::Kind::Sync);
  EXPECT_EQ(Op(Op::Return{}).kind(), Op::Kind::Return);
  EXPECT_EQ(Op(Op::Unknown{}).kind(), Op::Kind::Unknown);
  EXPECT_EQ(static_cast<int>(Op::Kind::Unknown), 5);
}

// ---- Decoding against a model -------------------------------------------------------

struct ModelInstruction {
  PlanOperation operation;
  std::uint32_t duration;
  std::size_t length;
};

// A random instruction built with the word constructors, and what decoding it must give.
ModelInstruction random_instruction(std::mt19937& rng, Words& words) {
  const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
  };
  const auto control = [&] { return static_cast<std::uint8_t>(pick(0, 7)); };
  switch (pick(0, 11)) {
    case 0:
      words.push_back(RETURN_WORD);
      return {Op::Return{}, 0, 1};
    case 1: {
      const std::uint32_t d = pick(0, 3) == 0 ? pick(1, kMaxDelayCycles) : pick(1, 50);
      words.push_back(delay_word(d));
      return {Op::Delay{}, d, 1};
    }
    case 2: {
      const std::uint32_t value = pick(0, 0x3FFF);
      const std::uint32_t advance = pick(1, kMaxXpicAdvance);
      words.push_back(xpic_word(value, advance));
      return {IncomingControl{Stream::Xpic, value}, advance, 1};
    }
    case 3: {
      const std::uint32_t value = pick(0, 0x7FFFF);
      const std::uint32_t advance = pick(1, kMaxPicAdvance);
      words.push_back(pic_word(value, advance));
      return {IncomingControl{Stream::Pic, value}, advance, 1};
    }
    case 4: {
      const std::uint32_t items = pick(1, 64);
      const std::uint8_t k = control();
      const std::uint32_t address = pick(0, kMaxSendAddressField);
      const std::uint32_t pic = pick(0, 0x7FFFF);
      const std::uint32_t xpic = pick(0, 0x3FFF);
      push_paired(words, items, k, address, pic, xpic);
      return {Op::Send{SendEncoding::PicPair, items, address, k, {{Stream::Xpic, xpic}, {Stream::Pic, pic}}}, items, 2};
    }
    case 5: {
      const std::uint32_t items = pick(1, 64);
      const std::uint32_t value = pick(0, 0x7FFFF);
      words.push_back(control_send_word(items, pic_word(value, 1)));
      return {Op::Send{SendEncoding::Pic, items, value & 0x3FFFF, std::nullopt, {{Stream::Pic, value}}}, items, 1};
    }
    case 6: {
      const std::uint32_t items = pick(1, 64);
      const std::uint32_t value = pick(0, 0x3FFF);
      words.push_back(control_send_word(items, xpic_word(value, 1)));
      // The value's bit 13 travels in bit 18, outside the 18-bit operand.
      return {Op::Send{SendEncoding::Pic, items, value & 0x1FFF, std::nullopt, {{Stream::Xpic, value}}}, items, 1};
    }
    case 7: {
      const std::uint32_t items = pick(1, 64);
      const std::uint8_t k = control();
      const std::uint32_t address = pick(0, kMaxSendAddressField);
      words.push_back(first_send_word(items, k, address));
      return {Op::Send{SendEncoding::Explicit, items, address, k, {}}, items, 1};
    }
    case 8: {
      const std::uint32_t items = pick(1, kMaxContinuationItems);
      const std::uint8_t k = control();
      const std::uint32_t operand = pick(0, 3) == 0 ? pick(0, 0x7FF) : 0;
      words.push_back(continuation_send_word(items, k) | (operand << 3));
      return {Op::Send{SendEncoding::Offset, items, operand, k, {}}, items, 1};
    }
    case 9: {
      const auto id = static_cast<std::uint8_t>(pick(0, 255));
      words.push_back(sync_word(id));
      return {Op::Sync{id}, 0, 1};
    }
    default: {
      // Everything below the delay range, and the gaps between the classes.
      const std::uint32_t others[] = {pick(0, 0x409FFFFF),          pick(0x40A80000, 0x417FFFFF),
                                      pick(0x41800100, 0x439FFFFF), pick(0x43A00001, 0x5FFFFFFF),
                                      pick(0x68000000, 0x6FFFFFFF), pick(0x80000000, 0xEFFFFFFF)};
      const std::uint32_t w = others[pick(0, 5)];
      words.push_back(w);
      return {Op::Unknown{w}, 0, 1};
    }
  }
}

TEST(DiagnosePlanProgram, MatchesTheConstructorModelInBothStorages) {
  std::mt19937 rng(0x5eed);
  for (int program = 0; program < 200; ++program) {
    SCOPED_TRACE(program);
    Words words;
    std::vector<DecodedPlanInstruction> expected;
    const std::optional<std::uint32_t> base =
        program % 2 == 0 ? std::optional<std::uint32_t>(std::uniform_int_distribution<std::uint32_t>(0, 1u << 20)(rng))
                         : std::nullopt;
    // Long enough that chunk boundaries fall inside paired sends.
    const int count = std::uniform_int_distribution<int>(0, 400)(rng);
    std::uint32_t cycle = 0;
    for (int i = 0; i < count; ++i) {
      const std::size_t index = words.size();
      const ModelInstruction m = random_instruction(rng, words);
      expected.push_back(
          {.operation = m.operation,
           .address = base ? std::optional<std::uint32_t>(*base + 4 * static_cast<std::uint32_t>(index)) : std::nullopt,
           .word_index = index,
           .start_cycle = cycle,
           .end_cycle = cycle + m.duration});
      cycle += m.duration;
    }

    const auto from_span = diagnose_plan_program(words, base);
    ASSERT_TRUE(from_span.has_value()) << from_span.error().debug();
    EXPECT_EQ(from_span->instructions, expected);
    EXPECT_EQ(from_span->end_cycle, cycle);
    EXPECT_EQ(from_span->word_count, words.size());

    const auto from_chunks = diagnose_plan_program(chunked(words), base);
    ASSERT_TRUE(from_chunks.has_value());
    EXPECT_EQ(*from_chunks, *from_span);
  }
}

TEST(DiagnosePlanProgram, PairedSendAcrossAChunkBoundary) {
  Words words(127, delay_word(1));
  push_paired(words, 5, 1, 9, 0x300, 0x41);  // words 127 and 128: the pair straddles two chunks
  words.push_back(RETURN_WORD);
  const Chunked<std::uint32_t> stored = chunked(words);
  ASSERT_EQ(stored.chunk_count(), 2u);
  const auto decoded = diagnose_plan_program(stored);
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->instructions.size(), 129u);
  const Op::Send* send = decoded->instructions[127].operation.send();
  ASSERT_NE(send, nullptr);
  EXPECT_EQ(send->controls, (SendControls{{Stream::Xpic, 0x41}, {Stream::Pic, 0x300}}));
  EXPECT_EQ(decoded->end_cycle, 132u);
}

// ---- Validation against a schedule --------------------------------------------------

struct Row {
  std::uint32_t start;
  std::uint32_t end;
};

TileProgramSchedule make_schedule(std::uint32_t horizon, const std::vector<Row>& rows,
                                  const std::vector<ReceiveEvent>& events) {
  TileProgramSchedule schedule;
  for (const Row& r : rows) {
    ScheduledSenderRow row;
    row.words = {ROW_SYNC_WORD, first_send_word(1, 1), RETURN_WORD};
    row.start = r.start;
    row.end = r.end;
    schedule.sender_rows.push(row);
  }
  for (const ReceiveEvent& e : events) schedule.receive_events.push(e);
  schedule.event_horizon = horizon;
  return schedule;
}

ReceiveEvent event(std::uint32_t cycle, std::uint32_t word) {
  return {.cycle = cycle, .word = word, .kind = *receive_event_kind(word)};
}

// A tile that receives, sends two rows (the second carrying a Pic control),
// issues a Pointer + Source pair through a control-0 carrier and sends a
// paired-format row with both controls. The events of the two shared cycles
// are listed in opposite stream orders, so the comparison must sort them.
struct FullTile {
  TileProgramSchedule schedule =
      make_schedule(228, {{140, 156}, {189, 201}, {220, 228}},
                    {event(113, xpic_word(66, 1)),
                     event(117, xpic_word(kXpicNoSource, 1)),
                     event(165, pic_word(0, 1)),
                     event(192, pic_word(0x80, 1)),
                     event(211, pic_word(0x200, 1)),
                     event(211, xpic_word(7, 1)),
                     event(221, xpic_word(kXpicPairedFlag | 9, 1)),
                     {.cycle = 221, .word = pic_word(kPicFormatFlag | 1, 1), .kind = ReceiveEventKind::Format}});

  Words program(bool late_carrier = false) const {
    Words w = {
        xpic_word(66, 113),                        // 0..113
        xpic_word(kXpicNoSource, 4),               // 113..117
        delay_word(23),                            // 117..140
        first_send_word(16, 1, 1024),              // 140..156
        pic_word(0, 9),                            // 156..165
        delay_word(24),                            // 165..189
        first_send_word(2, 1, 3072),               // 189..191
        control_send_word(10, pic_word(0x80, 1)),  // 191..201, control at 192
    };
    if (late_carrier) {
      w.push_back(delay_word(9));         // 201..210
      w.push_back(delay_word(1));         // 210..211
      push_paired(w, 9, 0, 0, 0x200, 7);  // 211..220, controls at 212
    } else {
      w.push_back(delay_word(8));          // 201..209
      w.push_back(delay_word(1));          // 209..210
      push_paired(w, 10, 0, 0, 0x200, 7);  // 210..220, controls at 211
    }
    push_paired(w, 8, 5, 0x10, kPicFormatFlag | 1, kXpicPairedFlag | 9);  // 220..228, controls at 221
    w.push_back(RETURN_WORD);
    return w;
  }
};

TEST(ValidateTileProgram, AcceptsTheProgramOfItsSchedule) {
  const FullTile tile;
  const Words words = tile.program();
  const auto validated = validate_tile_program(3, tile.schedule, words);
  ASSERT_TRUE(validated.has_value()) << validated.error().debug();
  const auto decoded = diagnose_plan_program(words);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*validated, *decoded);
  EXPECT_EQ(validated->end_cycle, 228u);

  const auto from_chunks = validate_tile_program(3, tile.schedule, chunked(words));
  ASSERT_TRUE(from_chunks.has_value());
  EXPECT_EQ(*from_chunks, *validated);
}

TEST(ValidateTileProgram, EmptyScheduleAndReturnOnlyProgram) {
  const auto validated = validate_tile_program(0, make_schedule(0, {}, {}), Words{RETURN_WORD});
  ASSERT_TRUE(validated.has_value());
  EXPECT_EQ(validated->instructions.size(), 1u);
}

TEST(ValidateTileProgram, DecodingErrorsPassThrough) {
  const auto validated = validate_tile_program(0, make_schedule(2, {}, {}), Words{delay_word(2), 0xF0000000});
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), schedule_error("truncated SENDPICP payload"));
}

TEST(ValidateTileProgram, ProgramOneDelayCycleShort) {
  const TileProgramSchedule schedule = make_schedule(11, {}, {});
  const auto validated = validate_tile_program(0, schedule, Words{delay_word(10), RETURN_WORD});
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), schedule_error("encoded tile horizon mismatch"));
  EXPECT_TRUE(validate_tile_program(0, schedule, Words{delay_word(11), RETURN_WORD}).has_value());
}

TEST(ValidateTileProgram, UnknownWord) {
  const auto validated =
      validate_tile_program(0, make_schedule(10, {}, {}), Words{delay_word(10), 0x12345678, RETURN_WORD});
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), schedule_error("unknown encoded exchange instruction"));
}

TEST(ValidateTileProgram, PairedCarrierOneCycleLate) {
  const FullTile tile;
  const auto validated = validate_tile_program(3, tile.schedule, tile.program(/*late_carrier=*/true));
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), schedule_error("encoded incoming-control mismatch"));
}

TEST(ValidateTileProgram, IncomingControlMismatches) {
  struct Case {
    const char* name;
    std::vector<ReceiveEvent> events;
    Words words;
  };
  // Timing alone: one Xpic source at cycle 5 over a ten-cycle program.
  const std::vector<Case> cases = {
      {"control one cycle early", {event(5, xpic_word(66, 1))}, {xpic_word(66, 4), delay_word(6), RETURN_WORD}},
      {"wrong value", {event(5, xpic_word(66, 1))}, {xpic_word(67, 5), delay_word(5), RETURN_WORD}},
      {"wrong stream", {event(5, xpic_word(66, 1))}, {pic_word(66, 5), delay_word(5), RETURN_WORD}},
      {"missing control", {event(5, xpic_word(66, 1))}, {delay_word(10), RETURN_WORD}},
      {"extra control", {}, {xpic_word(66, 5), delay_word(5), RETURN_WORD}},
      {"paired flag differs",
       {event(5, xpic_word(kXpicPairedFlag | 66, 1))},
       {xpic_word(66, 5), delay_word(5), RETURN_WORD}},
      {"format marker differs",
       {event(5, pic_word(kPicFormatFlag | 1, 1))},
       {pic_word(1, 5), delay_word(5), RETURN_WORD}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto validated = validate_tile_program(0, make_schedule(10, {}, c.events), c.words);
    ASSERT_FALSE(validated.has_value());
    EXPECT_EQ(validated.error(), schedule_error("encoded incoming-control mismatch"));
  }
}

TEST(ValidateTileProgram, ExpectedControlsTakeStreamAndValueWidthFromTheKind) {
  // Pic kinds compare by the low 19 bits, Xpic kinds by the low 14.
  const TileProgramSchedule schedule =
      make_schedule(10, {},
                    {{.cycle = 3, .word = pic_word(0x7FFFF, 1), .kind = ReceiveEventKind::PairedPointer},
                     {.cycle = 6, .word = xpic_word(0x3FFF, 1), .kind = ReceiveEventKind::PairedTeardown}});
  const Words words = {pic_word(0x7FFFF, 3), xpic_word(0x3FFF, 3), delay_word(4), RETURN_WORD};
  EXPECT_TRUE(validate_tile_program(0, schedule, words).has_value());
}

TEST(ValidateTileProgram, SenderIntervalMismatches) {
  struct Case {
    const char* name;
    Words words;
  };
  // One row with 16 payload cycles over [10, 26).
  const std::vector<Case> cases = {
      {"payload split with a one-cycle gap",
       {delay_word(10), first_send_word(8, 1), delay_word(1), continuation_send_word(8, 1), RETURN_WORD}},
      {"starts a cycle late", {delay_word(11), first_send_word(16, 1), RETURN_WORD}},
      {"starts a cycle early", {delay_word(9), first_send_word(17, 1), RETURN_WORD}},
      {"ends a cycle early", {delay_word(10), first_send_word(15, 1), delay_word(1), RETURN_WORD}},
      {"runs a cycle past the row", {delay_word(10), first_send_word(17, 1), RETURN_WORD}},
      {"nothing sent", {delay_word(26), RETURN_WORD}},
      {"send control 0 carries no payload", {delay_word(10), first_send_word(16, 0), RETURN_WORD}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = diagnose_plan_program(c.words);
    ASSERT_TRUE(decoded.has_value());
    const auto validated = validate_tile_program(0, make_schedule(decoded->end_cycle, {{10, 26}}, {}), c.words);
    ASSERT_FALSE(validated.has_value());
    EXPECT_EQ(validated.error(), schedule_error("encoded sender interval mismatch"));
  }
}

TEST(ValidateTileProgram, RowWithoutPayloadCyclesIsNeverMatched) {
  // No send can tile an empty interval, so such a row always fails.
  const Words words = {delay_word(20), RETURN_WORD};
  const auto validated = validate_tile_program(0, make_schedule(20, {{10, 10}}, {}), words);
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), schedule_error("encoded sender interval mismatch"));
}

TEST(ValidateTileProgram, RowsTiledBySeveralSends) {
  const std::vector<Words> programs = {
      {delay_word(10), first_send_word(16, 1), RETURN_WORD},
      {delay_word(10), first_send_word(8, 1), continuation_send_word(8, 1), RETURN_WORD},
      {delay_word(10), first_send_word(1, 2), continuation_send_word(14, 2), continuation_send_word(1, 2), RETURN_WORD},
  };
  for (const Words& words : programs) {
    EXPECT_TRUE(validate_tile_program(0, make_schedule(26, {{10, 26}}, {}), words).has_value());
  }
}

TEST(ValidateTileProgram, UnexpectedOutgoingIntervals) {
  struct Case {
    const char* name;
    std::vector<Row> rows;
    Words words;
  };
  const std::vector<Case> cases = {
      {"send after the only row",
       {{10, 20}},
       {delay_word(10), first_send_word(10, 1), delay_word(5), continuation_send_word(5, 1), RETURN_WORD}},
      {"send before the first row",
       {{10, 20}},
       {delay_word(2), first_send_word(3, 1), delay_word(5), first_send_word(10, 1), RETURN_WORD}},
      {"send without any row", {}, {delay_word(3), first_send_word(2, 1), RETURN_WORD}},
      {"single-control send outside rows", {}, {delay_word(3), control_send_word(2, pic_word(0x40, 1)), RETURN_WORD}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = diagnose_plan_program(c.words);
    ASSERT_TRUE(decoded.has_value());
    std::vector<ReceiveEvent> events;
    for (const DecodedPlanInstruction& instruction : decoded->instructions)
      if (const Op::Send* send = instruction.operation.send())
        for (const IncomingControl& control : send->controls)
          events.push_back(event(instruction.start_cycle + 1, pic_word(control.value, 1)));
    const auto validated = validate_tile_program(0, make_schedule(decoded->end_cycle, c.rows, events), c.words);
    ASSERT_FALSE(validated.has_value());
    EXPECT_EQ(validated.error(), schedule_error("unexpected encoded outgoing interval"));
  }
}

TEST(ValidateTileProgram, CarrierWithSendControlZeroMayLieOutsideRows) {
  Words words = {delay_word(4), delay_word(5)};
  push_paired(words, 11, 0, 0, 0x200, 7);  // 9..20, controls at 10
  words.push_back(RETURN_WORD);
  const TileProgramSchedule schedule =
      make_schedule(20, {}, {event(10, pic_word(0x200, 1)), event(10, xpic_word(7, 1))});
  EXPECT_TRUE(validate_tile_program(0, schedule, words).has_value());
}

TEST(ValidateTileProgram, ChecksRunInOrder) {
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::vector<ReceiveEvent> events;
    std::uint32_t horizon;
    Words words;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"decoding before horizon", {}, {}, 99, {delay_word(2), 0xF0000000}, "truncated SENDPICP payload"},
      {"horizon before unknown word",
       {},
       {},
       99,
       {delay_word(2), 0x1234, RETURN_WORD},
       "encoded tile horizon mismatch"},
      {"unknown word before controls",
       {},
       {event(1, xpic_word(1, 1))},
       2,
       {delay_word(2), 0x1234, RETURN_WORD},
       "unknown encoded exchange instruction"},
      {"controls before sender rows",
       {{0, 5}},
       {event(1, xpic_word(1, 1))},
       2,
       {delay_word(2), RETURN_WORD},
       "encoded incoming-control mismatch"},
      {"sender rows before stray sends",
       {{0, 5}},
       {},
       10,
       {delay_word(5), first_send_word(5, 1), RETURN_WORD},
       "encoded sender interval mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto validated = validate_tile_program(0, make_schedule(c.horizon, c.rows, c.events), c.words);
    ASSERT_FALSE(validated.has_value());
    EXPECT_EQ(validated.error(), schedule_error(c.reason));
  }
}

// ---- The debug event of a control mismatch -----------------------------------------

std::chrono::system_clock::time_point epoch_clock() { return std::chrono::system_clock::time_point{}; }

class ControlMismatchEvent : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(log_.ok()); }
  void install(std::string_view filter) { log_.install(filter, false, false, epoch_clock); }
  std::string output() { return log_.output(); }

  // A Pointer + Source pair at cycle 10, carried by a paired send of control 0.
  static TileProgramSchedule pair_schedule() {
    return make_schedule(20, {}, {event(10, xpic_word(7, 1)), event(10, pic_word(0x200, 1))});
  }

  kel_runtime::testing::LogCapture log_;
};

TEST_F(ControlMismatchEvent, LateCarrierIsLoggedAtDebug) {
  install("kel_exchange::diagnostic=debug");
  Words words = {delay_word(5), delay_word(5)};
  push_paired(words, 10, 0, 0, 0x200, 7);  // 10..20: controls at 11 instead of 10
  words.push_back(RETURN_WORD);
  const auto validated = validate_tile_program(7, pair_schedule(), words);
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), schedule_error("encoded incoming-control mismatch"));
  EXPECT_EQ(output(),
            "1970-01-01T00:00:00.000000Z DEBUG kel_exchange::diagnostic: encoded incoming controls differ from the "
            "phase schedule tile=7 first_mismatch=0 actual_len=2 expected_len=2 "
            "actual=(11, IncomingControl { stream: Pic, value: 512 }) "
            "expected=(10, IncomingControl { stream: Pic, value: 512 }) "
            "actual_window=[(11, IncomingControl { stream: Pic, value: 512 }), "
            "(11, IncomingControl { stream: Xpic, value: 7 })] "
            "expected_window=[(10, IncomingControl { stream: Pic, value: 512 }), "
            "(10, IncomingControl { stream: Xpic, value: 7 })]\n");
}

TEST_F(ControlMismatchEvent, ExtraControlHasNoExpectedEntry) {
  install("debug");
  Words words = {delay_word(4), delay_word(5)};
  push_paired(words, 10, 0, 0, 0x200, 7);        // 9..19, controls at 10 as scheduled
  words.push_back(xpic_word(kXpicNoSource, 1));  // 19..20: not in the schedule
  words.push_back(RETURN_WORD);
  const auto validated = validate_tile_program(2, pair_schedule(), words);
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), schedule_error("encoded incoming-control mismatch"));
  EXPECT_EQ(output(),
            "1970-01-01T00:00:00.000000Z DEBUG kel_exchange::diagnostic: encoded incoming controls differ from the "
            "phase schedule tile=2 first_mismatch=2 actual_len=3 expected_len=2 "
            "actual=(20, IncomingControl { stream: Xpic, value: 1600 }) expected=None "
            "actual_window=[(10, IncomingControl { stream: Pic, value: 512 }), "
            "(10, IncomingControl { stream: Xpic, value: 7 }), (20, IncomingControl { stream: Xpic, value: 1600 })] "
            "expected_window=[(10, IncomingControl { stream: Pic, value: 512 }), "
            "(10, IncomingControl { stream: Xpic, value: 7 })]\n");
}

TEST_F(ControlMismatchEvent, WindowSpansThreeBeforeAndThreeAfter) {
  install("debug");
  // Controls at cycles 1..9 on both sides; the sixth differs in value.
  std::vector<ReceiveEvent> events;
  Words words;
  for (std::uint32_t i = 1; i <= 9; ++i) {
    events.push_back(event(i, xpic_word(i, 1)));
    words.push_back(xpic_word(i == 6 ? 60 : i, 1));
  }
  words.push_back(RETURN_WORD);
  const auto validated = validate_tile_program(0, make_schedule(9, {}, events), words);
  ASSERT_FALSE(validated.has_value());
  const std::string text = output();
  const auto entry = [](std::uint32_t cycle, std::uint32_t value) {
    return fmt::format("({}, IncomingControl {{ stream: Xpic, value: {} }})", cycle, value);
  };
  // k = 5: entries 2 up to, not including, 9.
  std::string actual_window = "[";
  for (std::uint32_t i = 3; i <= 9; ++i) {
    if (i != 3) actual_window += ", ";
    actual_window += entry(i, i == 6 ? 60 : i);
  }
  actual_window += "]";
  EXPECT_NE(text.find(" first_mismatch=5 actual_len=9 expected_len=9 actual=" + entry(6, 60) +
                      " expected=" + entry(6, 6) + " actual_window=" + actual_window + " expected_window=["),
            std::string::npos)
      << text;
}

TEST_F(ControlMismatchEvent, NothingIsLoggedAboveDebug) {
  install("kel_exchange::diagnostic=info");
  Words words = {delay_word(5), delay_word(5)};
  push_paired(words, 10, 0, 0, 0x200, 7);
  words.push_back(RETURN_WORD);
  const auto validated = validate_tile_program(7, pair_schedule(), words);
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), schedule_error("encoded incoming-control mismatch"));
  EXPECT_EQ(output(), "");
}

}  // namespace
}  // namespace kel_exchange::diagnostic
