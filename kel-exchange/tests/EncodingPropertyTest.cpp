// Encoder properties over generated tile schedules grown and edited the way the
// phase program builder does: encoding from a base equals encoding from
// scratch, programs last exactly the horizon, checkpoints mark real resume
// points, and the program checker accepts every encoded program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "EncodingTestSupport.h"
#include "kel_exchange/TileProgramSchedule.h"
#include "kel_exchange/diagnostic/TileProgramValidation.h"
#include "kel_exchange/encoding/Encoding.h"

namespace kel_exchange {
namespace {

using namespace encoding_test;

struct Schedule {
  std::vector<ScheduledSenderRow> rows;
  std::vector<ReceiveEvent> events;
  std::uint32_t slack = 0;

  std::uint32_t horizon() const {
    std::uint32_t h = 0;
    if (!rows.empty()) h = std::max(h, rows.back().end);
    if (!events.empty()) h = std::max(h, events.back().cycle);
    return h + slack;
  }
};

// One piece the builder adds at once: a sender row, or a group of receive
// events (a single control or a coincident pair).
struct Piece {
  bool is_row = false;
  ScheduledSenderRow row;
  std::vector<ReceiveEvent> events;
};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::uint32_t uniform(std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng_);
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

  ReceiveEvent single(std::uint32_t cycle) {
    const std::uint32_t xpic_garbage = uniform(0, 0xFFF) << 14;
    const std::uint32_t pic_garbage = uniform(0, 0x7F) << 19;
    switch (uniform(0, 6)) {
      case 0:
        return {cycle, 0x64000000u | xpic_garbage | uniform(0, 1471), ReceiveEventKind::Source};
      case 1:
        return {cycle, 0x64000640u | xpic_garbage, ReceiveEventKind::Teardown};
      case 2:
        return {cycle, 0x64002000u | xpic_garbage | uniform(0, 1471), ReceiveEventKind::PairedSource};
      case 3:
        return {cycle, 0x64002640u | xpic_garbage, ReceiveEventKind::PairedTeardown};
      case 4:
        return {cycle, 0x60000000u | pic_garbage | uniform(0, 0x3FFFF), ReceiveEventKind::PairedPointer};
      case 5:
        return {cycle, 0x60000000u | pic_garbage | uniform(0, 0x3FFFF), ReceiveEventKind::Pointer};
      default:
        return {cycle, 0x60040000u | pic_garbage | uniform(0, 2), ReceiveEventKind::Format};
    }
  }

  // A coincident Pointer and Source/Teardown, in either order.
  std::vector<ReceiveEvent> pair(std::uint32_t cycle) {
    ReceiveEvent p{cycle, 0x60000000u | uniform(0, 0x7FFFF), ReceiveEventKind::Pointer};
    ReceiveEvent x = chance(0.5) ? ReceiveEvent{cycle, 0x64000000u | uniform(0, 1471), ReceiveEventKind::Source}
                                 : ReceiveEvent{cycle, 0x64000640u, ReceiveEventKind::Teardown};
    if (chance(0.5)) return {p, x};
    return {x, p};
  }

  std::vector<ReceiveEvent> group(std::uint32_t cycle) { return chance(0.25) ? pair(cycle) : std::vector{single(cycle)}; }

  std::uint32_t gap() {
    const std::uint32_t kind = uniform(0, 19);
    if (kind == 0) return uniform(4000, 600000);
    if (kind < 4) return uniform(100, 300);
    return uniform(1, 40);
  }

  // The final schedule as pieces in program order: sender rows at
  // non-overlapping intervals with controls between and inside them.
  std::vector<Piece> pieces() {
    std::vector<Piece> out;
    std::uint32_t t = uniform(0, 30);
    const std::uint32_t count = uniform(0, 90);
    for (std::uint32_t i = 0; i < count; ++i) {
      t += gap();
      if (chance(0.4)) {
        const std::uint32_t items = chance(0.1) ? uniform(65, 4148) : uniform(1, 200);
        const std::uint32_t address = chance(0.05) ? kMaxSendAddressField - uniform(0, 10) : uniform(0, 0x30000);
        Piece row{true, sender_row(t, items, static_cast<std::uint8_t>(uniform(1, 7)), address,
                                   chance(0.3) ? uniform(1, 50) : 0),
                  {}};
        out.push_back(row);
        // Controls carried by the send, never on its first payload cycle.
        std::uint32_t c = t + 1;
        while (items >= 2 && chance(0.5)) {
          c += uniform(1, 30);
          if (c > t + items) break;
          out.push_back(Piece{false, {}, group(c)});
        }
        t += items;
      } else {
        out.push_back(Piece{false, {}, group(t)});
      }
    }
    return out;
  }

 private:
  std::mt19937_64 rng_;
};

void add(Schedule& s, const Piece& p) {
  if (p.is_row) {
    const auto at = std::upper_bound(s.rows.begin(), s.rows.end(), p.row.start,
                                     [](std::uint32_t v, const ScheduledSenderRow& r) { return v < r.start; });
    s.rows.insert(at, p.row);
    return;
  }
  for (const ReceiveEvent& e : p.events) {
    const auto at = std::upper_bound(s.events.begin(), s.events.end(), e.cycle,
                                     [](std::uint32_t v, const ReceiveEvent& x) { return v < x.cycle; });
    s.events.insert(at, e);
  }
}

template <class T>
std::size_t common_prefix(const std::vector<T>& a, const std::vector<T>& b) {
  return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

// The limit of a checkpoint that does not follow a carrier records the bound
// seen when it was made, which a later version may have moved; nothing reads it.
std::vector<Checkpoint> comparable(const Chunked<Checkpoint>& checkpoints) {
  std::vector<Checkpoint> out = to_vector(checkpoints);
  for (Checkpoint& k : out) {
    if (k.after_pair == 0) k.limit = 0;
  }
  return out;
}

struct Tally {
  std::size_t versions = 0;
  std::size_t encoded = 0;
  std::size_t words = 0;
  std::size_t reused_words = 0;
};

// A copy of an encoding with every word inverted, so that words taken over
// from it stand out in a result.
std::shared_ptr<const EncodedSchedule> inverted(const EncodedSchedule& e) {
  auto copy = std::make_shared<EncodedSchedule>(e);
  for (std::size_t i = 0; i < copy->words.len(); ++i) copy->words.set(i, ~copy->words[i]);
  return copy;
}

// Checks one version: from scratch and from the base, both results agree.
void check_version(const Schedule& s, const Schedule* base_schedule,
                   const std::shared_ptr<const EncodedSchedule>& base_encoding, Tally& tally,
                   std::shared_ptr<const EncodedSchedule>& result) {
  const std::uint32_t horizon = s.horizon();
  auto scratch = encode(s.rows, s.events, horizon);
  ++tally.versions;
  result.reset();

  std::expected<EncodedSchedule, ExchangeError> resumed = scratch;
  if (base_schedule != nullptr) {
    const EncodingBase base{base_encoding, common_prefix(base_schedule->rows, s.rows),
                            common_prefix(base_schedule->events, s.events)};
    resumed = encode(s.rows, s.events, horizon, &base);
    if (scratch && resumed) {
      // How many leading words the base supplied.
      const EncodingBase marked{inverted(*base_encoding), base.sender_prefix, base.receive_prefix};
      auto from_marked = encode(s.rows, s.events, horizon, &marked);
      ASSERT_TRUE(from_marked);
      std::size_t reused = 0;
      while (reused < from_marked->words.len() && reused < scratch->words.len() &&
             from_marked->words[reused] == ~scratch->words[reused]) {
        ++reused;
      }
      tally.reused_words += reused;
      tally.words += scratch->words.len();
    }
  }
  ASSERT_EQ(scratch.has_value(), resumed.has_value());
  if (!scratch) {
    EXPECT_EQ(scratch.error(), resumed.error());
    return;
  }
  ++tally.encoded;
  EXPECT_EQ(to_vector(resumed->words), to_vector(scratch->words));
  EXPECT_EQ(comparable(resumed->checkpoints), comparable(scratch->checkpoints));

  const std::vector<std::uint32_t> words = to_vector(scratch->words);
  ASSERT_FALSE(words.empty());
  EXPECT_EQ(words.back(), RETURN_WORD);
  EXPECT_EQ(program_cycles(words), horizon);

  // Every checkpoint marks an instruction boundary reached at its cycle, at
  // an even word after a carrier, and the counts only grow.
  std::int64_t cycles = 0;
  std::size_t at = 0;
  const Checkpoint* previous = nullptr;
  for (const Checkpoint& k : scratch->checkpoints.iter()) {
    while (at < k.word_count) {
      cycles += word_duration(words[at]);
      at += instruction_length(words[at]);
    }
    ASSERT_EQ(at, k.word_count);
    EXPECT_EQ(cycles, k.cycle);
    if (k.after_pair == 1) {
      EXPECT_EQ(k.word_count % 2, 0u);
    }
    if (previous != nullptr) {
      EXPECT_LE(previous->sender_rows, k.sender_rows);
      EXPECT_LE(previous->receive_events, k.receive_events);
    }
    previous = &k;
  }

  TileProgramSchedule tile;
  tile.sender_rows = chunked(s.rows);
  tile.receive_events = chunked(s.events);
  tile.event_horizon = horizon;
  auto checked = diagnostic::validate_tile_program(0, tile, scratch->words);
  EXPECT_TRUE(checked.has_value()) << (checked ? "" : checked.error().debug());

  result = std::make_shared<const EncodedSchedule>(std::move(*resumed));
}

// Grows each generated schedule piece by piece (in program order, so every
// edit is at the end, or shuffled, so most edits are in the middle), now and
// then dropping a piece, and checks every version against the last version
// that encoded.
TEST(EncodingProperties, ResumedEncodingEqualsScratchAndPassesTheChecker) {
  Tally tallies[2];
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    Generator gen(seed);
    std::vector<Piece> pieces = gen.pieces();
    const bool in_order = seed % 2 == 0;
    Tally& tally = tallies[in_order ? 1 : 0];
    if (!in_order) std::shuffle(pieces.begin(), pieces.end(), std::mt19937_64(seed * 7919));

    Schedule current;
    current.slack = gen.uniform(0, 100);
    Schedule base_schedule;
    std::shared_ptr<const EncodedSchedule> base_encoding;
    for (const Piece& piece : pieces) {
      add(current, piece);
      if (gen.chance(0.08) && !current.events.empty()) {
        current.events.erase(current.events.begin() + gen.uniform(0, static_cast<std::uint32_t>(current.events.size() - 1)));
      }
      std::shared_ptr<const EncodedSchedule> result;
      check_version(current, base_encoding ? &base_schedule : nullptr, base_encoding, tally, result);
      if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) {
        FAIL() << "seed " << seed << " after " << current.rows.size() << " rows and " << current.events.size()
               << " events";
      }
      if (result) {
        base_schedule = current;
        base_encoding = result;
      }
    }
  }
  // The generator must mostly produce encodable schedules, and resumption
  // must actually reuse base words, or the comparison above proves little.
  for (const Tally& tally : tallies) {
    std::printf("versions %zu, encoded %zu, words %zu, taken from the base %zu\n", tally.versions, tally.encoded,
                tally.words, tally.reused_words);
    EXPECT_GT(tally.encoded * 2, tally.versions);
  }
  // Growing at the end reuses nearly everything; edits in the middle less.
  EXPECT_GT(tallies[1].reused_words * 10, tallies[1].words * 8);
  EXPECT_GT(tallies[0].reused_words * 5, tallies[0].words);
}

}  // namespace
}  // namespace kel_exchange
