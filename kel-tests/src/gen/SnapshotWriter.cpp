// Snapshot JSON text, formatted with fmt into one buffer that is handed to the
// sink whenever it passes a threshold.
#include "kel_tests/gen/SnapshotWriter.h"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace kel_tests::gen {

using kel_codegen::exchange::ExchangeItemWidth;
using kel_codegen::exchange::ExchangeScheduleSnapshot;
using kel_codegen::exchange::ExchangeScheduleTransfer;

namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 16;

void append_transfer(fmt::memory_buffer& buffer, const ExchangeScheduleTransfer& t) {
  // Compiled formats straight into the buffer: a broadcast has millions of
  // destinations, and this loop is most of the generator's time.
  const fmt::appender out(buffer);
  fmt::format_to(out, FMT_COMPILE(R"(    {{"source": {}, "source_addresses": [)"), t.source);
  for (std::size_t i = 0; i < t.source_addresses.size(); ++i)
    fmt::format_to(out, FMT_COMPILE("{}{}"), i == 0 ? "" : ", ", t.source_addresses[i]);
  fmt::format_to(out, FMT_COMPILE(R"(], "destinations": [)"));
  for (std::size_t i = 0; i < t.destinations.size(); ++i)
    fmt::format_to(out, FMT_COMPILE(R"({}{{"tile": {}, "address": {}}})"), i == 0 ? "" : ", ",
                   t.destinations[i].tile, t.destinations[i].address);
  fmt::format_to(out, FMT_COMPILE(R"(], "words": {}, "width": "{}"}})"), t.words,
                 t.width == ExchangeItemWidth::Paired64 ? "Paired64" : "Word32");
}

// Formats the snapshot, handing the buffer to `flush` whenever it is full
// and once at the end; stops at the first failing flush.
template <class Flush>
bool stream_snapshot(const ExchangeScheduleSnapshot& snapshot, Flush&& flush) {
  fmt::memory_buffer buffer;
  const fmt::appender out(buffer);
  fmt::format_to(out, R"({{"schema_version": {}, "tile_count": {}, "phases": [)", snapshot.schema_version,
                 snapshot.tile_count);
  for (std::size_t p = 0; p < snapshot.phases.size(); ++p) {
    const auto& phase = snapshot.phases[p];
    fmt::format_to(out, R"({}
  {{"phase": {}, "transfers": [)", p == 0 ? "" : ",", phase.phase);
    for (std::size_t i = 0; i < phase.transfers.size(); ++i) {
      buffer.push_back(i == 0 ? '\n' : ',');
      if (i != 0) buffer.push_back('\n');
      append_transfer(buffer, phase.transfers[i]);
      if (buffer.size() >= kFlushBytes) {
        if (!flush(buffer)) return false;
        buffer.clear();
      }
    }
    fmt::format_to(out, "{}]}}", phase.transfers.empty() ? "" : "\n  ");
  }
  fmt::format_to(out, "{}]}}\n", snapshot.phases.empty() ? "" : "\n");
  return flush(buffer);
}

}  // namespace

std::expected<void, std::string> write_snapshot(std::FILE* file, const ExchangeScheduleSnapshot& snapshot) {
  const bool written = stream_snapshot(snapshot, [&](const fmt::memory_buffer& buffer) {
    return std::fwrite(buffer.data(), 1, buffer.size(), file) == buffer.size();
  });
  if (!written || std::fflush(file) != 0) return std::unexpected(std::string(std::strerror(errno)));
  return {};
}

std::string format_snapshot(const ExchangeScheduleSnapshot& snapshot) {
  std::string text;
  stream_snapshot(snapshot, [&](const fmt::memory_buffer& buffer) {
    text.append(buffer.data(), buffer.size());
    return true;
  });
  return text;
}

}  // namespace kel_tests::gen
