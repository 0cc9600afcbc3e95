// Tile program encoder: exact words for representative schedules, every
// reachable failure reason, rollback of the public steps, resumption from a
// base, and the encoding cache of a tile schedule.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "EncodingTestSupport.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/TileProgramSchedule.h"
#include "kel_exchange/encoding/Encoding.h"

namespace kel_exchange {
namespace {

using namespace encoding_test;
using Words = std::vector<std::uint32_t>;

constexpr std::uint32_t kReturn = 0x43A00000;

Words words_of(const std::vector<ScheduledSenderRow>& rows, const std::vector<ReceiveEvent>& events,
               std::uint32_t horizon) {
  auto encoded = encode(rows, events, horizon);
  EXPECT_TRUE(encoded.has_value()) << (encoded ? "" : encoded.error().debug());
  if (!encoded) return {};
  EXPECT_EQ(program_cycles(to_vector(encoded->words)), horizon);
  return to_vector(encoded->words);
}

std::string reason_of(const std::expected<void, ExchangeError>& r) {
  return r ? std::string("<ok>") : std::string(r.error().reason());
}

// ---------------------------------------------------------------------------
// Receive controls between sends.

TEST(EncodingReceiveControls, EmptyScheduleIsDelaysAndReturn) {
  EXPECT_EQ(words_of({}, {}, 0), (Words{kReturn}));
  EXPECT_EQ(words_of({}, {}, 10), (Words{0x40A00009, kReturn}));
  EXPECT_EQ(words_of({}, {}, 600000), (Words{0x40A7FFFF, 0x40A127BF, kReturn}));
  auto encoded = encode({}, {}, 10);
  ASSERT_TRUE(encoded);
  EXPECT_TRUE(encoded->checkpoints.is_empty());
}

TEST(EncodingReceiveControls, SingleControlsCarryTheirAdvance) {
  // An Xpic control reaches 4096 cycles ahead, so no delay is needed.
  EXPECT_EQ(words_of({}, {source(200)}, 300), (Words{0x6431C005, 0x40A00063, kReturn}));
  // A Pic control reaches only 128 cycles: the rest becomes a delay first.
  EXPECT_EQ(words_of({}, {pointer(200)}, 300), (Words{0x40A00047, 0x63F80100, 0x40A00063, kReturn}));
  // Beyond 4096 cycles an Xpic control also needs a delay; the advance field
  // of the event's word is replaced.
  const ReceiveEvent stale_advance{5000, 0x64A5C640, ReceiveEventKind::Teardown};
  EXPECT_EQ(words_of({}, {stale_advance}, 5000), (Words{0x40A00387, 0x67FFC640, kReturn}));
}

TEST(EncodingReceiveControls, SingleControlsLeaveCheckpointsWithTheirLimit) {
  auto encoded = encode({}, {source(200), teardown(250)}, 300);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(to_vector(encoded->checkpoints),
            (std::vector<Checkpoint>{{0, 249, 0, 1, 1, 200}, {0, 300, 0, 2, 2, 250}}));
}

TEST(EncodingReceiveControls, CoincidentPointerAndSourceRideOnAnAlignedCarrier) {
  // The carrier starts at cycle 9 at an even word: two delays (8 + 1) keep
  // the position even, and it lasts min(limit - 9, 64) cycles.
  EXPECT_EQ(words_of({}, {pointer(10), source(10)}, 100),
            (Words{0x40A00007, 0x40A00000, 0xF7E00000, 0x00140100, 0x40A0001A, kReturn}));
  // A following control lowers the limit to the cycle before it.
  EXPECT_EQ(words_of({}, {source(10), pointer(10), teardown(30)}, 100),
            (Words{0x40A00007, 0x40A00000, 0xF2600000, 0x00140100, 0x64000640, 0x40A00045, kReturn}));
  auto encoded = encode({}, {pointer(10), source(10)}, 100);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(to_vector(encoded->checkpoints), (std::vector<Checkpoint>{{1, 100, 0, 2, 4, 73}}));
}

TEST(EncodingReceiveControls, AlignmentDelaysLeaveEachLaterDelayACycle) {
  // Five cycles to fill before an even position: Delay(4), Delay(1).
  EXPECT_EQ(words_of({}, {pointer(6), teardown(6)}, 100),
            (Words{0x40A00003, 0x40A00000, 0xF7E00000, 0x19000100, 0x40A0001E, kReturn}));
  // After one word the carrier needs an odd number of delays: one is enough.
  EXPECT_EQ(words_of({}, {source(3), pointer(10), source(10, 7)}, 20),
            (Words{0x64008005, 0x40A00005, 0xF1400000, 0x001C0100, 0x43A00000}));
}

TEST(EncodingReceiveControls, FormatMarkerOfACarriedPointerMovesToBit27) {
  const ReceiveEvent formatted_pointer{10, 0x60040123, ReceiveEventKind::Pointer};
  const Words w = words_of({}, {formatted_pointer, teardown(10)}, 20);
  ASSERT_EQ(w.size(), 5u);
  EXPECT_EQ(w[2], 0xF8000000u | (10u << 21));
  EXPECT_EQ(w[3], 0x123u | (0x640u << 18));
}

// ---------------------------------------------------------------------------
// Sender messages.

TEST(EncodingSenderMessages, PayloadIsFirstSendThenContinuations) {
  EXPECT_EQ(words_of({sender_row(10, 100, 1, 0x20)}, {}, 120),
            (Words{0x40A00009, 0x7FE00101, 0x74600001, 0x40A00009, kReturn}));
  // Continuations carry at most 4096 items each; the row's Sync and Delay
  // words are not part of the program.
  const Words big = words_of({sender_row(0, 4148, 2, 0, 7)}, {}, 4148);
  EXPECT_EQ(big, (Words{first_send_word(64, 2), continuation_send_word(4084, 2), kReturn}));
  auto encoded = encode({sender_row(10, 100, 1, 0x20)}, {}, 120);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(to_vector(encoded->checkpoints), (std::vector<Checkpoint>{{0, 0, 1, 0, 3, 110}}));
}

TEST(EncodingSenderMessages, RowWithSeveralContinuationsSendsTheirSum) {
  ScheduledSenderRow row = sender_row(0, 10);
  row.words[2] = continuation_send_word(5000 - 10 - 4096, 1);
  row.words[3] = continuation_send_word(4096, 1);
  row.words[4] = kReturn;
  row.end = 5000;
  EXPECT_EQ(words_of({row}, {}, 5000),
            (Words{first_send_word(64, 1), continuation_send_word(4096, 1), continuation_send_word(840, 1), kReturn}));
}

TEST(EncodingSenderMessages, EmbeddedSingleControlRidesOnAControlSend) {
  // Xpic value: bit 13 goes to bit 18 of the send word.
  EXPECT_EQ(words_of({sender_row(10, 100, 1, 0x20)}, {source(50)}, 110),
            (Words{0x40A00009, 0x7CC00101, 0x77900005, kReturn}));
  EXPECT_EQ(words_of({sender_row(10, 100, 1, 0x20)}, {paired_source(50, 9)}, 110),
            (Words{0x40A00009, 0x7CC00101, 0x77940009, kReturn}));
  // Pic value: bit 19 marks the stream, bits 0-18 carry the value.
  EXPECT_EQ(words_of({sender_row(10, 100, 1, 0x20)}, {format(50, 2)}, 110),
            (Words{0x40A00009, 0x7CC00101, 0x779C0002, kReturn}));
}

TEST(EncodingSenderMessages, ControlSendCoversUpToSixtyFourItemsThenContinuations) {
  EXPECT_EQ(words_of({sender_row(0, 200)}, {pointer(20, 0x40)}, 200),
            (Words{first_send_word(19, 1), 0x77F80040, continuation_send_word(117, 1), kReturn}));
}

TEST(EncodingSenderMessages, EmbeddedPairIsAPairedSendFromTheCurrentAddress) {
  EXPECT_EQ(words_of({sender_row(10, 100, 1, 0x20)}, {pointer(50), source(50)}, 110),
            (Words{0x40A00009, 0x7CC00101, 0xF7800239, 0x00140100, kReturn}));
  // Without the leading delay the first piece is split so that the pair
  // starts at word 2.
  EXPECT_EQ(words_of({sender_row(0, 100, 1, 0x20)}, {pointer(50), source(50)}, 100),
            (Words{0x78000101, continuation_send_word(48, 1), 0xF6400289, 0x00140100, kReturn}));
}

TEST(EncodingSenderMessages, ControlBeforeAPairLeavesACycleForAlignment) {
  // Even word count after the control send: no lowering needed.
  EXPECT_EQ(words_of({sender_row(0, 200)}, {source(50), pointer(100), teardown(100)}, 200),
            (Words{first_send_word(49, 1), 0x76300005, 0xF7E00000 | (99u << 3) | 1u, 0x19000100,
                   continuation_send_word(37, 1), kReturn}));
  // Odd: the control send stops a cycle early and a one-item continuation
  // puts the pair at an even word.
  EXPECT_EQ(words_of({sender_row(10, 200)}, {source(50), pointer(100), teardown(100)}, 210),
            (Words{0x40A00009, first_send_word(39, 1), 0x76100005, continuation_send_word(1, 1),
                   0xF7E00000 | (89u << 3) | 1u, 0x19000100, continuation_send_word(47, 1), kReturn}));
}

// ---------------------------------------------------------------------------
// Failures of whole schedules, each with the rule it names.

struct ScheduleFailure {
  const char* name;
  std::vector<ScheduledSenderRow> rows;
  std::vector<ReceiveEvent> events;
  std::uint32_t horizon;
  const char* reason;
};

ScheduledSenderRow row_with_end(ScheduledSenderRow row, std::uint32_t end) {
  row.end = end;
  return row;
}

ScheduledSenderRow row_with_words(ScheduledSenderRow row, std::vector<std::uint32_t> words) {
  row.words = {};
  std::copy(words.begin(), words.end(), row.words.begin());
  return row;
}

class EncodingScheduleFailures : public ::testing::TestWithParam<ScheduleFailure> {};

TEST_P(EncodingScheduleFailures, NamesTheBrokenRule) {
  const ScheduleFailure& c = GetParam();
  auto encoded = encode(c.rows, c.events, c.horizon);
  ASSERT_FALSE(encoded.has_value());
  EXPECT_EQ(encoded.error().kind(), ExchangeError::Kind::Schedule);
  EXPECT_EQ(encoded.error().reason(), std::string_view(c.reason));
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, EncodingScheduleFailures,
    ::testing::Values(
        ScheduleFailure{"TwoSources", {}, {source(50), source(50, 6)}, 100,
                        "incompatible simultaneous receive controls"},
        ScheduleFailure{"PointerAndFormat", {}, {pointer(50), format(50, 1)}, 100,
                        "incompatible simultaneous receive controls"},
        ScheduleFailure{"PointerAndPairedSource", {}, {pointer(50), paired_source(50)}, 100,
                        "incompatible simultaneous receive controls"},
        ScheduleFailure{"ThreeControls", {}, {pointer(50), source(50), teardown(50)}, 100,
                        "incompatible simultaneous receive controls"},
        ScheduleFailure{"CoincidenceInsideASend", {sender_row(0, 100)}, {source(50), teardown(50)}, 100,
                        "incompatible simultaneous receive controls"},
        ScheduleFailure{"EventsOutOfOrder", {}, {source(50), pointer(40)}, 100, "receive event order"},
        ScheduleFailure{"ControlAtPhaseEntry", {}, {source(0)}, 100, "receive control issue interval"},
        ScheduleFailure{"ControlWordNotAControl", {}, {{10, 0x40A00000, ReceiveEventKind::Source}}, 100,
                        "receive timed event"},
        ScheduleFailure{"PairAtPhaseEntry", {}, {pointer(0), source(0)}, 100, "receive control at phase entry"},
        ScheduleFailure{"PairNeedsMoreDelaysThanCycles", {}, {pointer(2), source(2)}, 100,
                        "SENDPICP instruction alignment"},
        ScheduleFailure{"PairAtOddWordWithNoCycleToFill", {}, {source(5), pointer(6), source(6)}, 100,
                        "SENDPICP instruction alignment"},
        ScheduleFailure{"HorizonBeforeLastControl", {}, {source(50)}, 40, "plan delay order"},
        ScheduleFailure{"HorizonBeforeRowEnd", {sender_row(0, 50)}, {}, 40, "plan delay order"},
        ScheduleFailure{"OverlappingRows", {sender_row(10, 10), sender_row(15, 10)}, {}, 100, "plan delay order"},
        ScheduleFailure{"OverlappingRowsAroundAControl", {sender_row(10, 10), sender_row(15, 10)}, {source(17)},
                        100, "plan delay order"},
        ScheduleFailure{"RowWithoutFirstSend",
                        {row_with_words(sender_row(0, 10), {ROW_SYNC_WORD, continuation_send_word(10, 1), kReturn})},
                        {},
                        10,
                        "sender payload"},
        ScheduleFailure{"RowWithTwoFirstSends",
                        {row_with_words(sender_row(0, 20),
                                        {ROW_SYNC_WORD, first_send_word(10, 1), first_send_word(10, 1), kReturn})},
                        {},
                        20,
                        "multiple initial sends"},
        ScheduleFailure{"PayloadShorterThanRow", {row_with_end(sender_row(5, 10), 16)}, {}, 20,
                        "sender payload horizon"},
        ScheduleFailure{"PayloadLongerThanRow", {row_with_end(sender_row(5, 10), 14)}, {}, 20,
                        "sender payload horizon"},
        ScheduleFailure{"ControlOnFirstPayloadCycle", {sender_row(10, 100)}, {source(11)}, 110,
                        "unencodable initial send control"},
        ScheduleFailure{"PairOnFirstPayloadCycle", {sender_row(10, 100)}, {pointer(11), source(11)}, 110,
                        "unencodable initial send control"},
        ScheduleFailure{"ControlBeyondThePayload", {row_with_end(sender_row(10, 10), 30)}, {source(25)}, 30,
                        "send control beyond payload"},
        ScheduleFailure{"PairedSendAddressPastTheField", {sender_row(10, 100, 1, kMaxSendAddressField)},
                        {pointer(20), source(20)}, 110, "SENDPICP operand"},
        ScheduleFailure{"PairRightAfterAnEmbeddedControl", {sender_row(10, 100)},
                        {source(30), pointer(31), source(31)}, 110, "SENDPICP instruction alignment"}),
    [](const ::testing::TestParamInfo<ScheduleFailure>& case_info) { return std::string(case_info.param.name); });

// ---------------------------------------------------------------------------
// The steps on their own: the call forms other builders use, failures that a
// whole schedule cannot reach, and rollback.

TEST(EncodingReceiveRecord, UnalignedRunAsInAPairedReceiverRow) {
  Chunked<std::uint32_t> words;
  words.push(ROW_SYNC_WORD);
  std::uint32_t cycle = 0;
  const std::vector<ReceiveEvent> events{paired_source(40), paired_teardown(104), format(200, 1), paired_pointer(202),
                                         format(264, 0)};
  ASSERT_TRUE(encoding::append_receive_events_record(words, cycle, events, 271, /*align=*/false, /*sink=*/nullptr));
  EXPECT_EQ(cycle, 271u);
  EXPECT_EQ(to_vector(words),
            (Words{ROW_SYNC_WORD, 0x6409E005, 0x640FE640, 0x62FC0001, 0x60080000, 0x61EC0000, 0x40A00006}));
}

TEST(EncodingReceiveRecord, UnalignedCarrierUsesPlainDelays) {
  const std::vector<ReceiveEvent> pair{pointer(10), source(10)};
  Chunked<std::uint32_t> words;
  std::uint32_t cycle = 0;
  ASSERT_TRUE(encoding::append_receive_events_record(words, cycle, pair, 20, false, nullptr));
  EXPECT_EQ(to_vector(words), (Words{0x40A00008, 0xF1400000, 0x00140100}));
  Chunked<std::uint32_t> aligned;
  cycle = 0;
  ASSERT_TRUE(encoding::append_receive_events_record(aligned, cycle, pair, 20, true, nullptr));
  EXPECT_EQ(to_vector(aligned), (Words{0x40A00007, 0x40A00000, 0xF1400000, 0x00140100}));
}

TEST(EncodingReceiveRecord, SinkCountsEventsFromBeforeTheRun) {
  Chunked<std::uint32_t> words;
  words.push(0x40A00000);
  Chunked<Checkpoint> checkpoints;
  encoding::CheckpointSink sink{&checkpoints, 3, 7};
  std::uint32_t cycle = 1;
  const std::vector<ReceiveEvent> events{source(10), pointer(20), teardown(20)};
  ASSERT_TRUE(encoding::append_receive_events_record(words, cycle, events, 100, true, &sink));
  EXPECT_EQ(to_vector(checkpoints), (std::vector<Checkpoint>{{0, 19, 3, 8, 2, 10}, {1, 100, 3, 10, 6, 83}}));
}

struct StepFailure {
  const char* name;
  std::vector<ReceiveEvent> events;
  std::uint32_t start_cycle;
  std::uint32_t until;
  const char* reason;
};

class EncodingReceiveRecordFailures : public ::testing::TestWithParam<StepFailure> {};

TEST_P(EncodingReceiveRecordFailures, FailsAndLeavesItsOutputsUnchanged) {
  const StepFailure& c = GetParam();
  Chunked<std::uint32_t> words;
  words.push(ROW_SYNC_WORD);
  words.push(0x40A00000);
  Chunked<Checkpoint> checkpoints;
  checkpoints.push(Checkpoint{});
  encoding::CheckpointSink sink{&checkpoints, 0, 0};
  std::uint32_t cycle = c.start_cycle;
  const auto r = encoding::append_receive_events_record(words, cycle, c.events, c.until, true, &sink);
  EXPECT_EQ(reason_of(r), c.reason);
  EXPECT_EQ(to_vector(words), (Words{ROW_SYNC_WORD, 0x40A00000}));
  EXPECT_EQ(cycle, c.start_cycle);
  EXPECT_EQ(checkpoints.len(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, EncodingReceiveRecordFailures,
    ::testing::Values(StepFailure{"PairBeforeCurrentCycle", {pointer(10), source(10)}, 10, 100, "plan delay order"},
                      StepFailure{"BoundBeforeCurrentCycle", {}, 10, 5, "plan delay order"},
                      StepFailure{"BoundBeforeCarrier", {source(3), pointer(10), source(10)}, 0, 8,
                                  "receive control order"},
                      StepFailure{"BoundAtCarrierStart", {source(3), pointer(10), source(10)}, 0, 9,
                                  "empty SENDPICP interval"},
                      StepFailure{"TwoXpicControls", {source(10), teardown(10)}, 0, 100, "SENDPICP PIC control"},
                      StepFailure{"TwoPicControls", {pointer(10), format(10, 1)}, 0, 100, "SENDPICP XPIC control"},
                      StepFailure{"ThreeControls", {pointer(10), source(10), teardown(10)}, 0, 100,
                                  "incompatible simultaneous receive controls"},
                      StepFailure{"ControlBeforeCurrentCycle", {source(5)}, 10, 100, "receive event order"},
                      StepFailure{"ControlAtCurrentCycle", {source(10)}, 10, 100, "receive control issue interval"},
                      StepFailure{"LaterControlFails", {source(20), pointer(30), source(25)}, 0, 100,
                                  "receive event order"}),
    [](const ::testing::TestParamInfo<StepFailure>& case_info) { return std::string(case_info.param.name); });

struct MessageFailure {
  const char* name;
  ScheduledSenderRow row;
  std::vector<ReceiveEvent> events;
  const char* reason;
};

class EncodingSenderMessageFailures : public ::testing::TestWithParam<MessageFailure> {};

TEST_P(EncodingSenderMessageFailures, FailsAndLeavesItsOutputsUnchanged) {
  const MessageFailure& c = GetParam();
  Chunked<std::uint32_t> words;
  words.push(0x40A00000);
  std::uint32_t cycle = 1;
  const auto r = encoding::append_sender_message(words, cycle, c.row, c.events);
  EXPECT_EQ(reason_of(r), c.reason);
  EXPECT_EQ(to_vector(words), (Words{0x40A00000}));
  EXPECT_EQ(cycle, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, EncodingSenderMessageFailures,
    ::testing::Values(
        MessageFailure{"RowBeforeCurrentCycle", sender_row(0, 10), {}, "plan delay order"},
        MessageFailure{"ControlAtPhaseEntry", sender_row(1, 10), {source(0)}, "send control at phase entry"},
        MessageFailure{"ControlBeforeRow", sender_row(10, 10), {source(5)}, "send control order"},
        MessageFailure{"ControlsOutOfOrder", sender_row(10, 100), {source(30), teardown(20)}, "send control order"},
        MessageFailure{"ControlAfterRowEnd", row_with_end(sender_row(10, 20), 15), {source(16)},
                       "empty receive-control continuation"},
        MessageFailure{"TwoXpicControls", sender_row(10, 100), {source(30), teardown(30)}, "SENDPICP PIC control"},
        MessageFailure{"TwoPicControls", sender_row(10, 100), {pointer(30), format(30, 2)}, "SENDPICP XPIC control"}),
    [](const ::testing::TestParamInfo<MessageFailure>& case_info) { return std::string(case_info.param.name); });

TEST(EncodingSenderMessages, MessageAppendsAfterExistingWords) {
  Chunked<std::uint32_t> words;
  words.push(0x64000005);
  std::uint32_t cycle = 1;
  ASSERT_TRUE(encoding::append_sender_message(words, cycle, sender_row(4, 10), {}));
  EXPECT_EQ(cycle, 14u);
  EXPECT_EQ(to_vector(words), (Words{0x64000005, 0x40A00002, first_send_word(10, 1)}));
}

// emit_sender_words: pieces, the first-send template and alignment splits.
struct SenderWordsCase {
  const char* name;
  std::uint32_t prior_words;
  bool started;
  std::uint32_t count;
  bool align;
  Words expected;
};

class EncodingSenderWords : public ::testing::TestWithParam<SenderWordsCase> {};

TEST_P(EncodingSenderWords, CutsPayloadIntoPieces) {
  const SenderWordsCase& c = GetParam();
  Chunked<std::uint32_t> words;
  for (std::uint32_t i = 0; i < c.prior_words; ++i) words.push(0x40A00000);
  std::uint32_t cycle = 100;
  std::uint32_t remaining = 10000;
  std::uint32_t offset = 3;
  bool started = c.started;
  ASSERT_TRUE(encoding::emit_sender_words(words, cycle, first_send_word(1, 2, 0x50), 2, remaining, offset, started,
                                          c.count, c.align));
  const Words all = to_vector(words);
  EXPECT_EQ(Words(all.begin() + c.prior_words, all.end()), c.expected);
  EXPECT_EQ(cycle, 100 + c.count);
  EXPECT_EQ(remaining, 10000 - c.count);
  EXPECT_EQ(offset, 3 + c.count);
  EXPECT_EQ(started, c.started || c.count > 0);
  if (c.align) {
    EXPECT_EQ(words.len() % 2, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, EncodingSenderWords,
    ::testing::Values(
        SenderWordsCase{"NothingAfterStart", 2, true, 0, true, {}},
        SenderWordsCase{"FirstSendThenContinuation", 0, false, 100, true,
                        {first_send_word(64, 2, 0x50), continuation_send_word(36, 2)}},
        SenderWordsCase{"SplitLastPieceForAlignment", 1, false, 100, true,
                        {first_send_word(64, 2, 0x50), continuation_send_word(1, 2), continuation_send_word(35, 2)}},
        SenderWordsCase{"SplitFirstSend", 0, false, 30, true,
                        {first_send_word(1, 2, 0x50), continuation_send_word(29, 2)}},
        SenderWordsCase{"UnalignedKeepsOnePiece", 1, false, 30, false, {first_send_word(30, 2, 0x50)}},
        SenderWordsCase{"ContinuationsOf4096", 0, true, 5000, true,
                        {continuation_send_word(4096, 2), continuation_send_word(904, 2)}},
        SenderWordsCase{"SplitBeforeAOneItemTail", 1, true, 4097, true,
                        {continuation_send_word(1, 2), continuation_send_word(4095, 2), continuation_send_word(1, 2)}}),
    [](const ::testing::TestParamInfo<SenderWordsCase>& case_info) { return std::string(case_info.param.name); });

struct SenderWordsFailure {
  const char* name;
  std::uint32_t template_word;
  std::uint32_t prior_words;
  std::uint32_t remaining;
  bool started;
  std::uint32_t count;
  bool align;
  const char* reason;
};

class EncodingSenderWordsFailures : public ::testing::TestWithParam<SenderWordsFailure> {};

TEST_P(EncodingSenderWordsFailures, FailsAndLeavesItsOutputsUnchanged) {
  const SenderWordsFailure& c = GetParam();
  Chunked<std::uint32_t> words;
  for (std::uint32_t i = 0; i < c.prior_words; ++i) words.push(0x40A00000);
  std::uint32_t cycle = 7;
  std::uint32_t remaining = c.remaining;
  std::uint32_t offset = 2;
  bool started = c.started;
  const auto r = encoding::emit_sender_words(words, cycle, c.template_word, 1, remaining, offset, started, c.count,
                                             c.align);
  EXPECT_EQ(reason_of(r), c.reason);
  EXPECT_EQ(words.len(), c.prior_words);
  EXPECT_EQ(cycle, 7u);
  EXPECT_EQ(remaining, c.remaining);
  EXPECT_EQ(offset, 2u);
  EXPECT_EQ(started, c.started);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, EncodingSenderWordsFailures,
    ::testing::Values(
        SenderWordsFailure{"CountBeyondPayload", first_send_word(1, 1), 0, 5, false, 10, false,
                           "sender payload overflow"},
        SenderWordsFailure{"ControlOnFirstPayloadCycle", first_send_word(1, 1), 0, 5, false, 0, false,
                           "unencodable initial send control"},
        SenderWordsFailure{"NoPiecesAtOddPosition", first_send_word(1, 1), 1, 5, true, 0, true,
                           "SENDPICP instruction alignment"},
        SenderWordsFailure{"SingleItemAtEvenPosition", first_send_word(1, 1), 0, 5, false, 1, true,
                           "SENDPICP instruction alignment"},
        SenderWordsFailure{"TemplateIsNotAFirstSend", continuation_send_word(1, 1), 0, 5, false, 3, false,
                           "initial send size"}),
    [](const ::testing::TestParamInfo<SenderWordsFailure>& case_info) { return std::string(case_info.param.name); });

// ---------------------------------------------------------------------------
// Resuming from a base.

EncodingBase base_of(const EncodedSchedule& encoded, std::size_t sender_prefix, std::size_t receive_prefix) {
  return EncodingBase{std::make_shared<const EncodedSchedule>(encoded), sender_prefix, receive_prefix};
}

// Rows and events of a long tile program, cycles from 0 on.
struct LongSchedule {
  std::vector<ScheduledSenderRow> rows;
  std::vector<ReceiveEvent> events;
  std::uint32_t horizon = 0;
};

LongSchedule long_schedule(std::size_t row_count) {
  LongSchedule s;
  std::uint32_t at = 20;
  for (std::size_t i = 0; i < row_count; ++i) {
    s.events.push_back(source(at - 15, static_cast<std::uint32_t>(i % 1000)));
    s.rows.push_back(sender_row(at, 70, 1, static_cast<std::uint32_t>(i)));
    s.events.push_back(pointer(at + 30, static_cast<std::uint32_t>(i)));
    at += 100;
  }
  s.horizon = at;
  return s;
}

TEST(EncodingResume, NewLastRowResumesFromTheBaseAndSharesItsWords) {
  LongSchedule before = long_schedule(200);
  auto base_encoding = encode(before.rows, before.events, before.horizon);
  ASSERT_TRUE(base_encoding);
  LongSchedule after = before;
  after.rows.push_back(sender_row(after.horizon + 10, 50));
  after.horizon += 60;
  const EncodingBase base = base_of(*base_encoding, before.rows.size(), before.events.size());
  auto resumed = encode(after.rows, after.events, after.horizon, &base);
  auto scratch = encode(after.rows, after.events, after.horizon);
  ASSERT_TRUE(resumed);
  ASSERT_TRUE(scratch);
  EXPECT_EQ(resumed->words, scratch->words);
  EXPECT_EQ(resumed->checkpoints, scratch->checkpoints);
  // Only the tail was produced again: every full chunk is the base's own.
  const std::size_t full_chunks = before.rows.size() * 4 / kChunkCapacity;
  ASSERT_GT(full_chunks, 2u);
  for (std::size_t c = 0; c + 1 < full_chunks; ++c) {
    EXPECT_TRUE(resumed->words.shares_chunk_with(base.encoded->words, c)) << c;
  }
}

TEST(EncodingResume, CarrierCheckpointIsSkippedWhenItsLimitChanged) {
  // The carrier lasted 21 cycles because the program ended at 30; with a
  // longer program it lasts 64, so the base's words cannot be kept.
  auto short_program = encode({}, {pointer(10), source(10)}, 30);
  ASSERT_TRUE(short_program);
  const EncodingBase base = base_of(*short_program, 0, 2);
  auto resumed = encode({}, {pointer(10), source(10)}, 100, &base);
  auto scratch = encode({}, {pointer(10), source(10)}, 100);
  ASSERT_TRUE(resumed);
  ASSERT_TRUE(scratch);
  EXPECT_EQ(to_vector(resumed->words), to_vector(scratch->words));
  EXPECT_EQ(to_vector(resumed->checkpoints), to_vector(scratch->checkpoints));
}

TEST(EncodingResume, CarrierCheckpointIsKeptWhenItsLimitHolds) {
  auto first = encode({}, {pointer(10), source(10), teardown(40)}, 100);
  ASSERT_TRUE(first);
  const EncodingBase base = base_of(*first, 0, 3);
  auto resumed = encode({}, {pointer(10), source(10), teardown(40), pointer(300)}, 400, &base);
  auto scratch = encode({}, {pointer(10), source(10), teardown(40), pointer(300)}, 400);
  ASSERT_TRUE(resumed);
  ASSERT_TRUE(scratch);
  EXPECT_EQ(to_vector(resumed->words), to_vector(scratch->words));
  // The base's checkpoints up to the teardown were kept as they were.
  ASSERT_EQ(resumed->checkpoints.len(), 3u);
  EXPECT_EQ(resumed->checkpoints[1], base.encoded->checkpoints[1]);
}

TEST(EncodingResume, ResumedPrefixIsTakenFromTheBase) {
  LongSchedule s = long_schedule(10);
  auto first = encode(s.rows, s.events, s.horizon);
  ASSERT_TRUE(first);
  // A marker in the base's first word shows that the prefix is not rebuilt.
  EncodedSchedule marked = *first;
  marked.words.set(0, 0x40A00000 | 1234);
  const EncodingBase base = base_of(marked, s.rows.size(), s.events.size());
  s.events.push_back(source(s.horizon + 20));
  auto resumed = encode(s.rows, s.events, s.horizon + 30, &base);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->words[0], 0x40A00000u | 1234);
  EXPECT_EQ(resumed->words.len(), first->words.len() + 1);
}

TEST(EncodingResume, CoincidenceCheckNeverStartsInsideAGroup) {
  // Only the pointer is shared; the group it starts must be checked whole.
  auto first = encode({}, {pointer(50), source(50)}, 100);
  ASSERT_TRUE(first);
  const EncodingBase base = base_of(*first, 0, 1);
  auto broken = encode({}, {pointer(50), format(50, 1)}, 100, &base);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().reason(), "incompatible simultaneous receive controls");
  // A change after the shared prefix is checked as well.
  const EncodingBase whole = base_of(*first, 0, 2);
  auto appended = encode({}, {pointer(50), source(50), source(90), teardown(90)}, 100, &whole);
  ASSERT_FALSE(appended);
  EXPECT_EQ(appended.error().reason(), "incompatible simultaneous receive controls");
}

TEST(EncodingResume, BaseWithoutEncodingStartsOver) {
  const EncodingBase empty{nullptr, 3, 3};
  auto encoded = encode({}, {source(200)}, 300, &empty);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(to_vector(encoded->words), (Words{0x6431C005, 0x40A00063, kReturn}));
}

// ---------------------------------------------------------------------------
// The tile schedule's cache.

TEST(TileProgramScheduleEncoding, FirstSuccessIsCachedAndSharedByClones) {
  TileProgramSchedule tile;
  tile.sender_rows = chunked(std::vector<ScheduledSenderRow>{sender_row(10, 100)});
  tile.receive_events = chunked(std::vector<ReceiveEvent>{source(5)});
  tile.event_horizon = 120;
  EXPECT_EQ(tile.cached_encoding(), nullptr);
  auto first = tile.encoded();
  ASSERT_TRUE(first);
  EXPECT_EQ(program_cycles(to_vector((*first)->words)), 120);
  auto second = tile.encoded();
  ASSERT_TRUE(second);
  EXPECT_EQ(*first, *second);
  const TileProgramSchedule clone = tile;
  auto from_clone = clone.encoded();
  ASSERT_TRUE(from_clone);
  EXPECT_EQ(*from_clone, *first);
}

TEST(TileProgramScheduleEncoding, FailureCachesNothing) {
  TileProgramSchedule tile;
  tile.receive_events = chunked(std::vector<ReceiveEvent>{source(50), source(50)});
  tile.event_horizon = 100;
  auto failed = tile.encoded();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().reason(), "incompatible simultaneous receive controls");
  EXPECT_EQ(tile.cached_encoding(), nullptr);
  tile.receive_events = chunked(std::vector<ReceiveEvent>{source(50)});
  ASSERT_TRUE(tile.encoded());
  EXPECT_NE(tile.cached_encoding(), nullptr);
}

TEST(TileProgramScheduleEncoding, EncodesFromItsBase) {
  LongSchedule s = long_schedule(50);
  TileProgramSchedule before;
  before.sender_rows = chunked(s.rows);
  before.receive_events = chunked(s.events);
  before.event_horizon = s.horizon;
  ASSERT_TRUE(before.encoded());

  TileProgramSchedule after = before;
  after.base = EncodingBase{after.cached_encoding(), after.sender_rows.len(), after.receive_events.len()};
  after.clear_encoding();
  after.receive_events.push(pointer(s.horizon + 40));
  after.event_horizon = s.horizon + 50;
  auto resumed = after.encoded();
  ASSERT_TRUE(resumed);
  s.events.push_back(pointer(s.horizon + 40));
  auto scratch = encode(s.rows, s.events, s.horizon + 50);
  ASSERT_TRUE(scratch);
  EXPECT_EQ((*resumed)->words, scratch->words);
  EXPECT_TRUE((*resumed)->words.shares_chunk_with(before.cached_encoding()->words, 0));
}

}  // namespace
}  // namespace kel_exchange
