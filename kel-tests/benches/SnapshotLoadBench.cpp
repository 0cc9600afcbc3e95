// Loading a large exchange-schedule snapshot: parsing (from memory and
// through a FILE stream) and validation, reported in bytes per second. The
// ~100 MB document is generated once, in memory, with realistic transfers.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/SnapshotReader.h"

namespace {

namespace ex = kel_codegen::exchange;

constexpr std::uint16_t kTiles = 1472;
constexpr std::size_t kTargetBytes = 100u << 20;

void append_transfer(std::string& out, std::mt19937_64& rng) {
  const bool paired = rng() % 8 == 0;
  const std::uint32_t words =
      paired ? 128 + 2 * static_cast<std::uint32_t>(rng() % 600) : 1 + static_cast<std::uint32_t>(rng() % 1024);
  const auto source = static_cast<std::uint16_t>(rng() % kTiles);
  const std::uint32_t align = paired ? 8 : 4;
  auto address = [&] { return static_cast<std::uint32_t>(rng() % 0x60000) / align * align; };

  out += "{\"source\": ";
  out += std::to_string(source);
  out += ", \"source_addresses\": [";
  const std::size_t repeats = 1 + rng() % 3;
  for (std::size_t i = 0; i < repeats; ++i) {
    if (i) out += ", ";
    out += std::to_string(address());
  }
  out += "], \"destinations\": [";
  // Mostly point-to-point, some multicasts to a run of neighbouring tiles.
  const std::size_t fanout = rng() % 4 == 0 ? 2 + rng() % 6 : 1;
  const auto first = static_cast<std::uint16_t>((source + 1 + rng() % (kTiles - fanout - 1)) % kTiles);
  for (std::size_t i = 0; i < fanout; ++i) {
    if (i) out += ", ";
    const auto tile =
        static_cast<std::uint16_t>((first + i) % kTiles == source ? (first + fanout) % kTiles : (first + i) % kTiles);
    out += "{\"tile\": ";
    out += std::to_string(tile);
    out += ", \"address\": ";
    out += std::to_string(0x60000 + address() / 2 / align * align);
    out += "}";
  }
  out += "], \"words\": ";
  out += std::to_string(words);
  out += paired ? ", \"width\": \"Paired64\"}" : ", \"width\": \"Word32\"}";
}

const std::string& snapshot_text() {
  static const std::string text = [] {
    std::mt19937_64 rng(42);
    std::string out;
    out.reserve(kTargetBytes + (1u << 20));
    out += "{\n  \"schema_version\": 3,\n  \"tile_count\": 1472,\n  \"phases\": [\n";
    for (std::uint32_t phase = 0; out.size() < kTargetBytes; ++phase) {
      if (phase) out += ",\n";
      out += "    {\"phase\": " + std::to_string(phase) + ", \"transfers\": [\n";
      for (int i = 0; i < 4000; ++i) {
        if (i) out += ",\n";
        out += "      ";
        append_transfer(out, rng);
      }
      out += "\n    ]}";
    }
    out += "\n  ]\n}\n";
    return out;
  }();
  return text;
}

void BM_SnapshotParseAndValidate(benchmark::State& state) {
  const std::string& text = snapshot_text();
  for (auto _ : state) {
    auto parsed = ex::parse_snapshot(text);
    if (!parsed) {
      state.SkipWithError(parsed.error().display().c_str());
      break;
    }
    if (auto valid = parsed->validate(); !valid) {
      state.SkipWithError(valid.error().message().c_str());
      break;
    }
    benchmark::DoNotOptimize(parsed->phases.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SnapshotParseAndValidate)->Unit(benchmark::kMillisecond);

void BM_SnapshotParse(benchmark::State& state) {
  const std::string& text = snapshot_text();
  for (auto _ : state) {
    auto parsed = ex::parse_snapshot(text);
    if (!parsed) {
      state.SkipWithError(parsed.error().display().c_str());
      break;
    }
    benchmark::DoNotOptimize(parsed->phases.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SnapshotParse)->Unit(benchmark::kMillisecond);

void BM_SnapshotReadFileAndValidate(benchmark::State& state) {
  const std::string& text = snapshot_text();
  for (auto _ : state) {
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (file == nullptr) {
      state.SkipWithError("fmemopen failed");
      break;
    }
    auto parsed = ex::read_snapshot(file);
    std::fclose(file);
    if (!parsed) {
      state.SkipWithError(parsed.error().display().c_str());
      break;
    }
    if (auto valid = parsed->validate(); !valid) {
      state.SkipWithError(valid.error().message().c_str());
      break;
    }
    benchmark::DoNotOptimize(parsed->phases.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SnapshotReadFileAndValidate)->Unit(benchmark::kMillisecond);

}  // namespace
