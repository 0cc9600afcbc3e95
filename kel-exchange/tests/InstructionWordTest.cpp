// Instruction words: class boundaries, durations, constructor/extractor round
// trips, receive-event kinds and the three sender-row editors.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/ScheduledSenderRow.h"
#include "kel_exchange/SenderRowEditing.h"

namespace kel_exchange {
namespace {

struct WordCase {
  std::uint32_t word;
  InstructionClass cls;
  std::uint32_t duration;
};

TEST(InstructionWord, ClassesDurationsAndBoundaries) {
  const WordCase cases[] = {
      {0x43A00000, InstructionClass::Return, 0},
      {0x43A00001, InstructionClass::Other, 0},
      {0x40A00000, InstructionClass::Delay, 1},
      {0x40A00009, InstructionClass::Delay, 10},
      {0x40A7FFFF, InstructionClass::Delay, 524288},
      {0x40A80000, InstructionClass::Other, 0},
      {0x409FFFFF, InstructionClass::Other, 0},
      {0x64000000, InstructionClass::Xpic, 1},
      {0x64000640 | (199u << 14), InstructionClass::Xpic, 200},
      {0x67FFFFFF, InstructionClass::Xpic, 4096},
      {0x60000000, InstructionClass::Pic, 1},
      {0x63FFFFFF, InstructionClass::Pic, 128},
      {0x5FFFFFFF, InstructionClass::Other, 0},
      {0x68000000, InstructionClass::Other, 0},
      {0xF0000000, InstructionClass::PairedSend, 1},
      {0xF7E00000, InstructionClass::PairedSend, 64},
      {0xFFFFFFFF, InstructionClass::PairedSend, 64},
      {0x70100000, InstructionClass::ControlSend, 1},
      {0x70100000 | (5u << 21) | 0x80000, InstructionClass::ControlSend, 6},
      {0x77FFFFFF, InstructionClass::ControlSend, 64},
      {0x78000000, InstructionClass::FirstSend, 1},
      {0x78100000, InstructionClass::FirstSend, 1},  // bit 20 does not make a first send a control send
      {0x7FFFFFFF, InstructionClass::FirstSend, 64},
      {0x70000000, InstructionClass::ContinuationSend, 1},
      {0x70000000 | (63u << 21) | (63u << 14), InstructionClass::ContinuationSend, 4096},
      {0x70000000 | (1u << 14), InstructionClass::ContinuationSend, 65},
      {0x41800000, InstructionClass::Sync, 0},
      {0x41800003, InstructionClass::Sync, 0},
      {0x418000FF, InstructionClass::Sync, 0},
      {0x41800100, InstructionClass::Other, 0},
      {0x00000000, InstructionClass::Other, 0},
      {0x80000000, InstructionClass::Other, 0},
  };
  for (const WordCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "word 0x" << c.word);
    EXPECT_EQ(classify_instruction(c.word), c.cls);
    EXPECT_EQ(word_duration(c.word), c.duration);
    EXPECT_EQ(instruction_length(c.word), c.cls == InstructionClass::PairedSend ? 2u : 1u);
  }
}

TEST(InstructionWord, RowNotationWords) {
  static_assert(delay_word(10) == 0x40A00009u, "constructors are usable in constant expressions");
  static_assert(classify_instruction(RETURN_WORD) == InstructionClass::Return);
  EXPECT_EQ(sync_word(kRowSyncId), 0x41800003u);
  EXPECT_EQ(ROW_SYNC_WORD, 0x41800003u);
  EXPECT_EQ(delay_word(10), 0x40A00009u);
  EXPECT_EQ(delay_word(kMaxDelayCycles), 0x40A7FFFFu);
  EXPECT_EQ(xpic_word(kXpicNoSource, 4096), 0x67FFC640u);
  EXPECT_EQ(xpic_word(0, 113), 0x64000000u | (112u << 14));
  EXPECT_EQ(pic_word(0x40001, 1), 0x60040001u);
  EXPECT_EQ(pic_word(0x14000, 128), 0x63F94000u);
  EXPECT_EQ(first_send_word(64, 1), 0x7FE00001u);
  EXPECT_EQ(continuation_send_word(4096, 2), 0x77EFC002u);
  EXPECT_EQ(continuation_send_word(65, 3), 0x70004003u);
}

TEST(InstructionWord, ConstructorsRoundTripThroughExtractors) {
  for (std::uint32_t d : {1u, 2u, 128u, 524288u}) EXPECT_EQ(delay_cycles(delay_word(d)), d);

  const std::uint32_t x = xpic_word(0x2000 | 0x5A5, 4000);
  EXPECT_TRUE(is_xpic_word(x));
  EXPECT_EQ(xpic_value(x), 0x25A5u);
  EXPECT_EQ(xpic_source(x), 0x5A5u);
  EXPECT_TRUE(xpic_is_paired(x));
  EXPECT_FALSE(xpic_is_release(x));
  EXPECT_EQ(xpic_advance(x), 4000u);

  const std::uint32_t p = pic_word(0x40002, 77);
  EXPECT_TRUE(is_pic_word(p));
  EXPECT_TRUE(pic_is_format(p));
  EXPECT_EQ(pic_field(p), 2u);
  EXPECT_EQ(pic_value(p), 0x40002u);
  EXPECT_EQ(pic_advance(p), 77u);

  const std::uint32_t s = first_send_word(33, 5, 0x3FFFF);
  EXPECT_TRUE(is_first_send_word(s));
  EXPECT_EQ(send_items(s), 33u);
  EXPECT_EQ(send_control(s), 5u);
  EXPECT_EQ(send_address_field(s), 0x3FFFFu);

  for (std::uint32_t n = 1; n <= kMaxContinuationItems; ++n) {
    const std::uint32_t w = continuation_send_word(n, 7);
    ASSERT_TRUE(is_continuation_send_word(w)) << n;
    ASSERT_EQ(continuation_items(w), n);
    ASSERT_EQ(word_duration(w), n);
    ASSERT_EQ(send_control(w), 7u);
  }
}

TEST(InstructionWord, SingleControlSendCarriesEitherStream) {
  const std::uint32_t pic = control_send_word(12, pic_word(0x41234, 9));
  EXPECT_TRUE(is_control_send_word(pic));
  EXPECT_TRUE(control_send_is_pic(pic));
  EXPECT_EQ(control_send_value(pic), 0x41234u);
  EXPECT_EQ(word_duration(pic), 12u);

  const std::uint32_t xpic = control_send_word(64, xpic_word(0x2640, 300));
  EXPECT_TRUE(is_control_send_word(xpic));
  EXPECT_FALSE(control_send_is_pic(xpic));
  EXPECT_EQ(control_send_value(xpic), 0x2640u);
  EXPECT_EQ(xpic & 0x3E000u, 0u) << "bits 13-17 stay clear";
  EXPECT_EQ(word_duration(xpic), 64u);
}

TEST(InstructionWord, PairedSendSplitsThePicValue) {
  const auto [w1, w2] = paired_send_words(20, 5, 0x1234, pic_word(0x40001, 3), xpic_word(0x2007, 9));
  EXPECT_TRUE(is_paired_send_word(w1));
  EXPECT_EQ(send_items(w1), 20u);
  EXPECT_EQ(send_control(w1), 5u);
  EXPECT_EQ(send_address_field(w1), 0x1234u);
  EXPECT_NE(w1 & (1u << 27), 0u);
  EXPECT_EQ(paired_send_pic_value(w1, w2), 0x40001u);
  EXPECT_EQ(paired_send_xpic_value(w2), 0x2007u);
  EXPECT_EQ(word_duration(w1), 20u);

  // A pure carrier: control 0, address 0, pointer value.
  const auto [c1, c2] = paired_send_words(1, 0, 0, 0x3FFFF, 0x640);
  EXPECT_EQ(c1, 0xF0000000u);
  EXPECT_EQ(c2, 0x3FFFFu | (0x640u << 18));
}

TEST(InstructionWordDeathTest, ConstructorsRejectFieldsThatDoNotFit) {
  EXPECT_DEATH((void)delay_word(0), "delay word length");
  EXPECT_DEATH((void)delay_word(kMaxDelayCycles + 1), "delay word length");
  EXPECT_DEATH((void)xpic_word(0, 4097), "xpic word advance");
  EXPECT_DEATH((void)pic_word(0, 129), "pic word advance");
  EXPECT_DEATH((void)first_send_word(65, 1), "first send word items");
  EXPECT_DEATH((void)continuation_send_word(4097, 1), "continuation send word items");
  EXPECT_DEATH((void)control_send_word(1, RETURN_WORD), "control send word carries a receive control");
}

TEST(ReceiveEventKindTest, ClassifiesControlWords) {
  struct Case {
    std::uint32_t word;
    std::optional<ReceiveEventKind> kind;
  };
  const Case cases[] = {
      {xpic_word(5, 1), ReceiveEventKind::Source},
      {xpic_word(0x640, 7), ReceiveEventKind::Teardown},
      {xpic_word(0x2005, 1), ReceiveEventKind::PairedSource},
      {xpic_word(0x2640, 1), ReceiveEventKind::PairedTeardown},
      {xpic_word(0x1640, 1), ReceiveEventKind::Source},  // only the low 13 bits name the release
      {pic_word(0x3FFFF, 1), ReceiveEventKind::Pointer},
      {pic_word(0x40001, 1), ReceiveEventKind::Format},
      {pic_word(0x40000, 1), ReceiveEventKind::Format},
      {RETURN_WORD, std::nullopt},
      {first_send_word(1, 1), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(receive_event_kind(c.word), c.kind) << std::hex << c.word;

  for (auto k : {ReceiveEventKind::Source, ReceiveEventKind::Teardown, ReceiveEventKind::PairedSource,
                 ReceiveEventKind::PairedTeardown})
    EXPECT_TRUE(is_xpic_kind(k));
  for (auto k : {ReceiveEventKind::PairedPointer, ReceiveEventKind::Pointer, ReceiveEventKind::Format})
    EXPECT_TRUE(is_pic_kind(k));
  EXPECT_EQ(static_cast<int>(ReceiveEventKind::Format), 6);
}

// A point-to-point sender row of 100 words: Sync, Delay, Send, More, Return.
ExchangeRow send_row(std::uint8_t control) {
  return {ROW_SYNC_WORD,
          delay_word(40),
          first_send_word(64, control),
          continuation_send_word(36, control),
          RETURN_WORD,
          0,
          0,
          0,
          0};
}

TEST(SetSenderControl, RewritesEverySendWord) {
  ExchangeRow row = send_row(1);
  const auto [p1, p2] = paired_send_words(4, 2, 0x10, 0, 0);
  const auto [c1, c2] = paired_send_words(4, 4, 0x10, 0, 0);  // no direction: a carrier, left alone
  row[5] = p1;
  row[6] = p2;
  row[7] = c1;
  row[8] = c2;
  ASSERT_TRUE(set_sender_control(row, 7).has_value());
  EXPECT_EQ(row[2], first_send_word(64, 7));
  EXPECT_EQ(row[3], continuation_send_word(36, 7));
  EXPECT_EQ(row[5], (p1 & ~7u) | 7u);
  EXPECT_EQ(row[7], c1);
  EXPECT_EQ(row[0], ROW_SYNC_WORD);
  EXPECT_EQ(row[1], delay_word(40));
  EXPECT_EQ(row[4], RETURN_WORD);
}

TEST(SetSenderControl, FailuresLeaveTheRowUnchanged) {
  const ExchangeRow no_send = {ROW_SYNC_WORD, delay_word(5), xpic_word(3, 1), RETURN_WORD, 0, 0, 0, 0, 0};
  struct Case {
    ExchangeRow row;
    std::uint8_t control;
    const char* reason;
  };
  const Case cases[] = {
      {send_row(1), 0, "send control"},
      {send_row(1), 8, "send control"},
      {no_send, 3, "sender payload"},
      {no_send, 0, "send control"},
  };
  for (const Case& c : cases) {
    ExchangeRow row = c.row;
    const auto result = set_sender_control(row, c.control);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), ExchangeError::schedule(c.reason));
    EXPECT_EQ(row, c.row);
  }
}

TEST(PatchSenderAddress, WritesWordsOrPairedItems) {
  struct Case {
    std::uint8_t control;
    std::uint32_t address;
    std::uint32_t field;
  };
  const Case cases[] = {
      {1, 0, 0}, {1, 4, 1}, {2, 0xFFFFC, 0x3FFFF}, {5, 8, 1}, {7, 0x1FFFF8, 0x3FFFF},
  };
  for (const Case& c : cases) {
    ExchangeRow row = send_row(c.control);
    row[2] = first_send_word(64, c.control, 0x2AAAA);  // an old address is replaced, not merged
    ASSERT_TRUE(patch_sender_address(row, c.address).has_value()) << c.address;
    EXPECT_EQ(row[2], first_send_word(64, c.control, c.field));
    EXPECT_EQ(row[3], continuation_send_word(36, c.control));
  }
}

TEST(PatchSenderAddress, RejectsMisalignedOrOversizedAddresses) {
  struct Case {
    ExchangeRow row;
    std::uint32_t address;
  };
  const ExchangeRow no_send = {ROW_SYNC_WORD, delay_word(5), RETURN_WORD, 0, 0, 0, 0, 0, 0};
  const Case cases[] = {
      {send_row(1), 6},
      {send_row(1), 0x100000},  // 0x40000 words
      {send_row(5), 4},         // paired items are 8 bytes
      {send_row(5), 0x200000},  // 0x40000 items
      {no_send, 0},
  };
  for (const Case& c : cases) {
    ExchangeRow row = c.row;
    const auto result = patch_sender_address(row, c.address);
    ASSERT_FALSE(result.has_value()) << c.address;
    EXPECT_EQ(result.error(), ExchangeError::address(c.address));
    EXPECT_EQ(row, c.row);
  }
}

TEST(NormalizedAddressWords, ClearsOnlyAddressFields) {
  const std::vector<std::uint32_t> words = {0x78000028, delay_word(9), sync_word(3), RETURN_WORD};
  EXPECT_EQ(normalized_exchange_address_words(words),
            (std::vector<std::uint32_t>{0x78000000, delay_word(9), sync_word(3), RETURN_WORD}));
  EXPECT_TRUE(normalized_exchange_address_words({}).empty());
}

// A program with every kind of address field, parameterised by its addresses.
std::vector<std::uint32_t> program(std::uint32_t send_address, std::uint32_t pointer, std::uint32_t paired_source) {
  const auto [p1, p2] = paired_send_words(8, 5, paired_source, pointer, xpic_word(0x2005, 1));
  return {delay_word(20),
          first_send_word(64, 1, send_address),
          continuation_send_word(100, 1),
          pic_word(pointer, 7),
          control_send_word(3, pic_word(pointer, 1)),
          p1,
          p2,
          xpic_word(0x640, 4),
          RETURN_WORD};
}

TEST(NormalizedAddressWords, ProgramsDifferingOnlyInAddressesCompareEqual) {
  const auto a = program(0x100, 0x200, 0x300);
  const auto b = program(0x3FFFF, 0x1, 0x2);
  ASSERT_NE(a, b);
  EXPECT_EQ(normalized_exchange_address_words(a), normalized_exchange_address_words(b));
  EXPECT_EQ(normalized_exchange_address_words(a), program(0, 0, 0));
}

TEST(NormalizedAddressWords, KeepsFormatValuesCarriersAndOtherControls) {
  const std::uint32_t f1 = paired_send_words(8, 5, 0x30, 0x40001, 0x2640)[0];  // format, not pointer
  const auto [z1, z2] = paired_send_words(8, 0, 0x30, 0x123, 0x5);             // control 0 keeps its operand
  const std::vector<std::uint32_t> kept = {
      pic_word(0x40002, 3),                        // format value
      control_send_word(4, pic_word(0x40001, 1)),  // format riding on a send
      control_send_word(4, xpic_word(0x2005, 1)),  // Xpic riding on a send
      xpic_word(0x1FF, 9),
      f1,
      0x78000028,  // second word of the pair: skipped although it looks like a send
  };
  std::vector<std::uint32_t> expected = kept;
  expected[4] = f1 & ~0x1FFFF8u;
  EXPECT_EQ(normalized_exchange_address_words(kept), expected);

  const std::vector<std::uint32_t> carrier = {z1, z2};
  EXPECT_EQ(normalized_exchange_address_words(carrier), (std::vector<std::uint32_t>{z1, z2 & ~0x3FFFFu}));

  // A paired first word at the very end has no second word to clear.
  const std::vector<std::uint32_t> truncated = {delay_word(1), z1 | 1u};
  EXPECT_EQ(normalized_exchange_address_words(truncated),
            (std::vector<std::uint32_t>{delay_word(1), (z1 | 1u) & ~0x1FFFF8u}));
}

TEST(ScheduledSenderRowTest, IsAPlainValue) {
  ScheduledSenderRow a{send_row(1), 10, 110};
  ScheduledSenderRow b = a;
  EXPECT_EQ(a, b);
  b.words[2] = first_send_word(64, 2);
  EXPECT_NE(a, b);
  static_assert(std::is_trivially_copyable_v<ScheduledSenderRow>);
  static_assert(std::is_trivially_copyable_v<ReceiveEvent>);
}

}  // namespace
}  // namespace kel_exchange
