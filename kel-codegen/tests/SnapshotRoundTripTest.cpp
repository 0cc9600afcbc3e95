// Round trips: random snapshots written in every accepted form (objects,
// arrays, mixed, both width forms, with white space and unknown keys) read
// back equal, from memory and from a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "SnapshotJsonWriter.h"
#include "kel_codegen/exchange/SnapshotReader.h"

namespace kel_codegen::exchange {
namespace {

using testing::RecordForm;
using testing::SnapshotJsonWriter;
using testing::WriterStyle;

ExchangeScheduleSnapshot random_snapshot(std::mt19937_64& rng) {
  auto u16 = [&] {
    const std::uint16_t edges[] = {0, 1, 65535, 1471, 1472};
    return rng() % 4 == 0 ? edges[rng() % 5] : static_cast<std::uint16_t>(rng());
  };
  auto u32 = [&] {
    const std::uint32_t edges[] = {0, 1, 4294967295u, 0x80000, 4148};
    return rng() % 4 == 0 ? edges[rng() % 5] : static_cast<std::uint32_t>(rng());
  };
  ExchangeScheduleSnapshot s{u32(), u16(), {}};
  const std::size_t phases = rng() % 4;
  for (std::size_t p = 0; p < phases; ++p) {
    ExchangeScheduleProblem problem{u32(), {}};
    const std::size_t transfers = rng() % 5;
    for (std::size_t i = 0; i < transfers; ++i) {
      ExchangeScheduleTransfer t;
      t.source = u16();
      for (std::size_t k = rng() % 4; k > 0; --k) t.source_addresses.push_back(u32());
      for (std::size_t k = rng() % 4; k > 0; --k) t.destinations.push_back({u16(), u32()});
      t.words = u32();
      t.width = rng() % 2 ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
      problem.transfers.push_back(std::move(t));
    }
    s.phases.push_back(std::move(problem));
  }
  return s;
}

TEST(SnapshotRoundTrip, EveryFormReadsBackEqual) {
  std::mt19937_64 rng(17);
  const WriterStyle styles[] = {
      {RecordForm::Object, false, false}, {RecordForm::Array, false, false}, {RecordForm::Object, true, true},
      {RecordForm::Array, true, true},    {RecordForm::Mixed, false, true},
  };
  for (int trial = 0; trial < 300; ++trial) {
    const ExchangeScheduleSnapshot snapshot = random_snapshot(rng);
    for (const WriterStyle& style : styles) {
      SnapshotJsonWriter writer(style, rng());
      const std::string json = writer.write(snapshot);
      const auto parsed = parse_snapshot(json);
      ASSERT_TRUE(parsed) << parsed.error().display() << "\n" << json;
      ASSERT_EQ(*parsed, snapshot) << json;
    }
  }
}

TEST(SnapshotRoundTrip, LargeDocumentThroughAFile) {
  std::mt19937_64 rng(23);
  ExchangeScheduleSnapshot snapshot{3, 1472, {}};
  for (int i = 0; i < 60; ++i) {
    ExchangeScheduleSnapshot part = random_snapshot(rng);
    for (auto& p : part.phases) snapshot.phases.push_back(std::move(p));
  }
  SnapshotJsonWriter writer({RecordForm::Mixed, false, true}, 29);
  const std::string json = writer.write(snapshot);
  ASSERT_GT(json.size(), 3u * 8192u);
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  std::fwrite(json.data(), 1, json.size(), f);
  std::rewind(f);
  const auto parsed = read_snapshot(f);
  std::fclose(f);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(*parsed, snapshot);
}

}  // namespace
}  // namespace kel_codegen::exchange
