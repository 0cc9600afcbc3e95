// Sender row timing: the words are walked from the row's sync with their
// durations; only first and continuation send words carry payload.
#include "kel_exchange/SenderRowTiming.h"

#include <optional>

namespace kel_exchange {

std::expected<SenderRowTiming, ExchangeError> sender_row_timing(const ExchangeRow& row, std::uint32_t base) {
  if (row[0] != ROW_SYNC_WORD) return std::unexpected(ExchangeError::schedule("sender row entry"));
  if (row[1] == RETURN_WORD) return std::unexpected(ExchangeError::schedule("sender payload"));
  std::size_t end = 2;
  while (end < kRowWords && row[end] != RETURN_WORD) ++end;
  if (end == kRowWords) return std::unexpected(ExchangeError::schedule("sender row return"));

  std::uint32_t cycle = base;
  std::optional<std::uint32_t> send_start;
  std::uint32_t send_end = 0;
  for (std::size_t i = 1; i < end; i += instruction_length(row[i])) {
    const std::uint32_t w = row[i];
    std::uint32_t next = 0;
    if (__builtin_add_overflow(cycle, word_duration(w), &next))
      return std::unexpected(ExchangeError::schedule("sender event horizon overflow"));
    if (is_first_send_word(w) || is_continuation_send_word(w)) {
      if (!send_start) send_start = cycle;
      send_end = next;
    }
    cycle = next;
  }
  if (!send_start) return std::unexpected(ExchangeError::schedule("sender payload"));
  return SenderRowTiming{*send_start, send_end, cycle};
}

}  // namespace kel_exchange
