// Builders shared by the encoder tests: point-to-point style sender rows,
// receive events of each kind, and a program walker that sums word durations.
#pragma once

#include <algorithm>
#include <cstdint>
#include <expected>
#include <vector>

#include "kel_exchange/Chunked.h"
#include "kel_exchange/InstructionWord.h"
#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/ScheduledSenderRow.h"
#include "kel_exchange/TileProgramSchedule.h"
#include "kel_exchange/encoding/Encoding.h"

namespace kel_exchange::encoding_test {

/// A sender row shaped like a point-to-point route's: Sync(3), an optional
/// Delay, the first send of up to 64 items, a continuation for the rest,
/// Return, zero padding. It covers [start, start + items).
inline ScheduledSenderRow sender_row(std::uint32_t start, std::uint32_t items, std::uint8_t control = 1,
                                     std::uint32_t address = 0, std::uint32_t delay = 0) {
  ScheduledSenderRow row;
  std::size_t i = 0;
  row.words[i++] = sync_word(kRowSyncId);
  if (delay > 0) row.words[i++] = delay_word(delay);
  row.words[i++] = first_send_word(std::min(items, kMaxSendItems), control, address);
  if (items > kMaxSendItems) row.words[i++] = continuation_send_word(items - kMaxSendItems, control);
  row.words[i++] = RETURN_WORD;
  row.start = start;
  row.end = start + items;
  return row;
}

inline ReceiveEvent source(std::uint32_t cycle, std::uint32_t tile = 5) {
  return {cycle, 0x64000000u | tile, ReceiveEventKind::Source};
}
inline ReceiveEvent teardown(std::uint32_t cycle) {
  return {cycle, 0x64000000u | kXpicNoSource, ReceiveEventKind::Teardown};
}
inline ReceiveEvent paired_source(std::uint32_t cycle, std::uint32_t tile = 5) {
  return {cycle, 0x64000000u | kXpicPairedFlag | tile, ReceiveEventKind::PairedSource};
}
inline ReceiveEvent paired_teardown(std::uint32_t cycle) {
  return {cycle, 0x64000000u | kXpicPairedFlag | kXpicNoSource, ReceiveEventKind::PairedTeardown};
}
inline ReceiveEvent pointer(std::uint32_t cycle, std::uint32_t address = 0x100) {
  return {cycle, 0x60000000u | address, ReceiveEventKind::Pointer};
}
inline ReceiveEvent paired_pointer(std::uint32_t cycle, std::uint32_t address = 0) {
  return {cycle, 0x60000000u | address, ReceiveEventKind::PairedPointer};
}
inline ReceiveEvent format(std::uint32_t cycle, std::uint32_t value) {
  return {cycle, 0x60000000u | kPicFormatFlag | value, ReceiveEventKind::Format};
}

template <class T>
Chunked<T> chunked(const std::vector<T>& values) {
  Chunked<T> out;
  for (const T& v : values) out.push(v);
  return out;
}

template <class T>
std::vector<T> to_vector(const Chunked<T>& values) {
  return std::vector<T>(values.begin(), values.end());
}

inline std::expected<EncodedSchedule, ExchangeError> encode(const std::vector<ScheduledSenderRow>& rows,
                                                             const std::vector<ReceiveEvent>& events,
                                                             std::uint32_t horizon,
                                                             const EncodingBase* base = nullptr) {
  return encoding::build_scheduled_program(chunked(rows), chunked(events), horizon, base);
}

/// Total cycles of a program, walking paired sends as two words; -1 when a
/// paired send is cut off or a Return stands anywhere but last.
inline std::int64_t program_cycles(const std::vector<std::uint32_t>& words) {
  std::int64_t total = 0;
  for (std::size_t i = 0; i < words.size(); i += instruction_length(words[i])) {
    if (is_paired_send_word(words[i]) && i + 1 >= words.size()) return -1;
    if (is_return_word(words[i]) && i + 1 != words.size()) return -1;
    total += word_duration(words[i]);
  }
  return total;
}

}  // namespace kel_exchange::encoding_test
