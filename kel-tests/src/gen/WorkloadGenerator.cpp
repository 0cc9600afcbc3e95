// The workload families. Each draws its shape from the phase's random stream
// and its buffers from the phase's tile memory; loops are bounded, so a shape
// that keeps failing its route check ends the family early instead of looping.
#include "kel_tests/gen/WorkloadGenerator.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "kel_codegen/exchange/ExchangeMemoryElement.h"
#include "kel_runtime/Invariant.h"

namespace kel_tests::gen {

using kel_codegen::exchange::ExchangeItemWidth;
using kel_codegen::exchange::ExchangeScheduleDestination;
using kel_codegen::exchange::ExchangeScheduleTransfer;
using kel_codegen::exchange::spans_share_effective_memory_element;

namespace {

constexpr std::uint32_t kAlign = 8;
/// Most destinations of one broadcast: weights go to hundreds of tiles.
constexpr std::uint32_t kMaxBroadcastDestinations = 512;
/// The byte window per tile of the overlap family; small, so overlaps are common.
constexpr std::uint32_t kOverlapWindow = 0x10000;
using kel_codegen::exchange::kLowerElementBytes;
using kel_codegen::exchange::kUpperElementBytes;
constexpr std::uint32_t kUpperRegion = kel_codegen::exchange::kUpperMemoryBase;

constexpr std::uint32_t bytes_of(std::uint32_t words) { return 4 * words; }

// Group sizes a compiler typically splits tiles into.
constexpr std::array<std::uint32_t, 6> kGroupSizes{2, 4, 8, 16, 32, 64};

}  // namespace

class WorkloadSession {
 public:
  WorkloadSession(const WorkloadGenerator& generator, std::uint32_t count, GeneratorRandom& rng, TileMemory& memory,
                  std::vector<ExchangeScheduleTransfer>& out)
      : route_(generator.route_),
        words_(generator.words_),
        n_(generator.tile_count()),
        rng_(rng),
        memory_(memory),
        out_(out),
        target_(out.size() + count),
        // Enough for every family to reach its count unless routes keep failing.
        attempts_(4 * std::size_t{count} + 64),
        marks_(generator.tile_count(), 0) {}

  void run(WorkloadFamily family) {
    switch (family) {
      case WorkloadFamily::Permutation: return permutation();
      case WorkloadFamily::Halo: return halo();
      case WorkloadFamily::AllToAll: return all_to_all();
      case WorkloadFamily::Broadcast: return broadcast();
      case WorkloadFamily::ReduceScatter: return reduce_scatter();
      case WorkloadFamily::Overlap: return overlap();
      case WorkloadFamily::PairedConvertible: return paired(false);
      case WorkloadFamily::Paired: return paired(true);
      case WorkloadFamily::Mix: return;
    }
  }

 private:
  bool full() const { return out_.size() >= target_; }
  // One more round of a family's loop, unless the phase is full or the
  // attempts are spent.
  bool another_round() {
    if (full() || attempts_ == 0) return false;
    --attempts_;
    return true;
  }
  std::uint32_t remaining() const { return static_cast<std::uint32_t>(target_ - out_.size()); }

  void push(std::uint16_t source, std::vector<std::uint32_t> source_addresses,
            std::vector<ExchangeScheduleDestination> destinations, std::uint32_t words,
            ExchangeItemWidth width = ExchangeItemWidth::Word32) {
    if (full()) return;
    out_.push_back({source, std::move(source_addresses), std::move(destinations), words, width});
  }
  void push_unicast(std::uint16_t source, std::uint32_t source_address, std::uint16_t tile, std::uint32_t address,
                    std::uint32_t words) {
    push(source, {source_address}, {{tile, address}}, words);
  }

  // `repeats` consecutive blocks of `words` on `tile`, one per Repeat iteration.
  std::vector<std::uint32_t> repeated_blocks(std::uint16_t tile, std::uint32_t words, std::uint32_t repeats) {
    const std::uint32_t base = memory_.allocate(tile, bytes_of(words) * repeats, kAlign);
    std::vector<std::uint32_t> addresses(repeats);
    for (std::uint32_t k = 0; k < repeats; ++k) addresses[k] = base + k * bytes_of(words);
    return addresses;
  }

  std::uint16_t other_tile(std::uint16_t tile) {
    return static_cast<std::uint16_t>((tile + 1 + rng_.below(n_ - 1u)) % n_);
  }

  // `k` distinct values of 0..universe-1 other than `excluded` (which may lie
  // outside), ascending; Floyd's sampling over a marks array.
  std::vector<std::uint16_t> sample(std::uint32_t universe, std::uint32_t k, std::uint32_t excluded) {
    const std::uint32_t size = excluded < universe ? universe - 1 : universe;
    k = std::min(k, size);
    std::vector<std::uint16_t> picked;
    picked.reserve(k);
    for (std::uint32_t j = size - k; j < size; ++j) {
      std::uint32_t t = rng_.between(0, j);
      if (marks_[t]) t = j;
      marks_[t] = 1;
      picked.push_back(static_cast<std::uint16_t>(t));
    }
    for (std::uint16_t& v : picked) {
      marks_[v] = 0;
      if (excluded < universe && v >= excluded) ++v;
    }
    std::sort(picked.begin(), picked.end());
    return picked;
  }

  // Every tile sends one block to a random other tile (a derangement); with
  // fewer transfers left than tiles, a random subset of the tiles sends.
  void permutation() {
    if (n_ < 2) return;
    std::vector<std::uint16_t> target(n_);
    std::vector<std::uint16_t> senders(n_);
    while (another_round()) {
      std::iota(target.begin(), target.end(), std::uint16_t{0});
      rng_.shuffle(std::span(target));
      for (std::uint16_t t = 0; t < n_; ++t)
        if (target[t] == t) std::swap(target[t], target[(t + 1u) % n_]);
      const bool uniform = rng_.chance(2, 3);
      const std::uint32_t block = words_.draw(rng_, 16, 2048);
      std::iota(senders.begin(), senders.end(), std::uint16_t{0});
      std::span<std::uint16_t> chosen(senders);
      if (remaining() < n_) {
        rng_.shuffle(chosen);
        chosen = chosen.first(remaining());
        std::sort(chosen.begin(), chosen.end());
      }
      for (const std::uint16_t t : chosen) {
        const std::uint32_t words = uniform ? block : words_.draw(rng_, 16, 2048);
        const std::uint32_t source = memory_.allocate(t, bytes_of(words), kAlign);
        push_unicast(t, source, target[t], memory_.allocate(target[t], bytes_of(words), kAlign), words);
      }
    }
  }

  // The tiles as a near-square grid (spare tiles idle); every tile sends its
  // edges to its four neighbours, sometimes its corners to the diagonal ones,
  // sometimes for two channels (two Repeat iterations).
  void halo() {
    if (n_ < 2) return;
    std::uint32_t cols = 1;
    while ((cols + 1) * (cols + 1) <= n_) ++cols;
    const std::uint32_t rows = n_ / cols;
    struct Step {
      int dr;
      int dc;
    };
    static constexpr std::array<Step, 8> kSteps{
        {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {-1, 1}, {1, -1}, {1, 1}}};
    while (another_round()) {
      const std::uint32_t depth = rng_.between(1, 2);
      const std::uint32_t row_words = words_.clamp(depth * rng_.log_uniform(4, 512));
      const std::uint32_t column_words = words_.clamp(depth * rng_.log_uniform(4, 512));
      const std::uint32_t corner_words = words_.clamp(depth * depth);
      const std::size_t steps = rng_.chance(1, 3) ? 8 : 4;
      const std::uint32_t channels = rng_.chance(1, 4) ? 2 : 1;
      for (std::uint32_t t = 0; t < rows * cols && !full(); ++t) {
        const auto r = static_cast<int>(t / cols);
        const auto c = static_cast<int>(t % cols);
        for (std::size_t s = 0; s < steps; ++s) {
          const int rr = r + kSteps[s].dr;
          const int cc = c + kSteps[s].dc;
          if (rr < 0 || cc < 0 || rr >= static_cast<int>(rows) || cc >= static_cast<int>(cols)) continue;
          const auto neighbour = static_cast<std::uint16_t>(static_cast<std::uint32_t>(rr) * cols + static_cast<std::uint32_t>(cc));
          const std::uint32_t words = kSteps[s].dc == 0 ? row_words : kSteps[s].dr == 0 ? column_words : corner_words;
          const auto tile = static_cast<std::uint16_t>(t);
          auto sources = repeated_blocks(tile, words, channels);
          push(tile, std::move(sources), {{neighbour, memory_.allocate(neighbour, bytes_of(words), kAlign)}}, words);
        }
      }
    }
  }

  // Transposes: the tiles split into groups; each member sends block j of its
  // buffer to member j, which stores it at slot i of its own buffer.
  void all_to_all() {
    if (n_ < 2) return;
    while (another_round()) {
      const std::uint32_t block = words_.draw(rng_, 8, 1024);
      // A member holds two buffers of `group` blocks; keep them within half
      // of its memory (at least two members always fit).
      std::vector<std::uint32_t> sizes;
      for (const std::uint32_t g : kGroupSizes)
        if (g <= n_ && (g == 2 || 2 * g * bytes_of(block) <= kGeneratedAddressLimit / 2)) sizes.push_back(g);
      const std::uint32_t group = sizes[rng_.below(static_cast<std::uint32_t>(sizes.size()))];
      std::vector<std::uint32_t> send_base(group);
      std::vector<std::uint32_t> receive_base(group);
      for (std::uint32_t first = 0; first + group <= n_ && !full(); first += group) {
        for (std::uint32_t i = 0; i < group; ++i) {
          const auto tile = static_cast<std::uint16_t>(first + i);
          send_base[i] = memory_.allocate(tile, group * bytes_of(block), kAlign);
          receive_base[i] = memory_.allocate(tile, group * bytes_of(block), kAlign);
        }
        for (std::uint32_t i = 0; i < group; ++i)
          for (std::uint32_t j = 0; j < group; ++j)
            if (i != j)
              push_unicast(static_cast<std::uint16_t>(first + i), send_base[i] + j * bytes_of(block),
                           static_cast<std::uint16_t>(first + j), receive_base[j] + i * bytes_of(block), block);
      }
    }
  }

  // The receivers of a broadcast: a run of tiles, a random set or a strided set.
  std::vector<std::uint16_t> broadcast_receivers(std::uint16_t source, std::uint32_t k) {
    switch (rng_.below(3)) {
      case 1:
        return sample(n_, k, source);
      case 2: {
        const std::uint32_t stride = rng_.between(2, 8);
        std::vector<std::uint16_t> tiles;
        for (std::uint32_t t = rng_.below(stride); t < n_ && tiles.size() < k; t += stride)
          if (t != source) tiles.push_back(static_cast<std::uint16_t>(t));
        if (!tiles.empty()) return tiles;
        break;
      }
      default:
        break;
    }
    std::vector<std::uint16_t> tiles;
    for (std::uint32_t t = rng_.below(n_); tiles.size() < k; t = (t + 1) % n_)
      if (t != source) tiles.push_back(static_cast<std::uint16_t>(t));
    std::sort(tiles.begin(), tiles.end());
    return tiles;
  }

  // Weights multicast from one tile to 2 to hundreds of tiles, at one address
  // on all of them; sometimes over several Repeat iterations, sometimes also
  // into the source tile's own memory (never into an element it reads).
  void broadcast() {
    if (n_ < 2) return;
    while (another_round()) {
      const auto source = static_cast<std::uint16_t>(rng_.below(n_));
      const std::uint32_t most = std::min<std::uint32_t>(n_ - 1u, kMaxBroadcastDestinations);
      const std::uint32_t k = rng_.log_uniform(std::min<std::uint32_t>(2, most), most);
      std::vector<std::uint16_t> receivers = broadcast_receivers(source, k);
      const std::uint32_t words = words_.draw(rng_, 64, 4148);
      const std::uint32_t repeats = rng_.chance(1, 5) ? rng_.between(2, 4) : 1;
      const std::vector<std::uint32_t> sources = repeated_blocks(source, words, repeats);

      if (rng_.chance(1, 4)) {
        receivers.insert(std::upper_bound(receivers.begin(), receivers.end(), source), source);
        if (!route_.loopback_routable(source, receivers, words)) std::erase(receivers, source);
      }
      const bool loopback = std::binary_search(receivers.begin(), receivers.end(), source);
      // Checked where it stands and where a relocation by the headroom puts
      // it: the move takes lower-region blocks into the coarser upper region.
      const auto shares_a_read = [&](std::uint32_t address) {
        return std::ranges::any_of(sources, [&](std::uint32_t s) {
          return spans_share_effective_memory_element(s, words, address, words) ||
                 spans_share_effective_memory_element(s + kRelocationHeadroom, words, address + kRelocationHeadroom,
                                                      words);
        });
      };
      std::uint32_t address = memory_.allocate_common(receivers, bytes_of(words), kAlign);
      if (loopback && shares_a_read(address)) {
        // An element boundary beyond the reads; it fails only after a wrap.
        address = memory_.allocate_common(receivers, bytes_of(words), kUpperElementBytes);
        if (shares_a_read(address)) std::erase(receivers, source);
      }
      std::vector<ExchangeScheduleDestination> destinations;
      destinations.reserve(receivers.size());
      for (const std::uint16_t tile : receivers) destinations.push_back({tile, address});
      push(source, sources, std::move(destinations), words);
    }
  }

  // Reduce-scatter ring steps: within each ring every tile passes a chunk to
  // its neighbour, reading one slice per Repeat iteration.
  void reduce_scatter() {
    if (n_ < 2) return;
    while (another_round()) {
      std::uint32_t ring = n_;
      if (rng_.chance(2, 3)) {
        std::uint32_t sizes = 0;
        while (sizes < kGroupSizes.size() && kGroupSizes[sizes] <= n_) ++sizes;
        ring = kGroupSizes[rng_.below(sizes)];
      }
      const std::uint32_t iterations = rng_.between(2, 6);
      const std::uint32_t words = words_.draw(rng_, 16, 1024);
      const bool backwards = rng_.chance(1, 2);
      for (std::uint32_t first = 0; first + ring <= n_ && !full(); first += ring)
        for (std::uint32_t p = 0; p < ring; ++p) {
          const auto tile = static_cast<std::uint16_t>(first + p);
          const auto next = static_cast<std::uint16_t>(first + (backwards ? p + ring - 1 : p + 1) % ring);
          auto slices = repeated_blocks(tile, words, iterations);
          push(tile, std::move(slices), {{next, memory_.allocate(next, bytes_of(words), kAlign)}}, words);
        }
    }
  }

  // Transfers that read and write overlapping bytes, within a small window per
  // tile: dependency chains, diamonds, partial overwrites, Repeat reads under a
  // later write, and disjoint accesses that share one memory element.
  void overlap() {
    if (n_ < 2) return;
    std::vector<std::uint32_t> window(n_);
    for (std::uint32_t& w : window)
      w = kLowerElementBytes * rng_.below((kGeneratedAddressLimit - kOverlapWindow) / kLowerElementBytes + 1);
    const auto in_window = [&](std::uint16_t tile, std::uint32_t bytes, std::uint32_t align) {
      return window[tile] + align * rng_.below((kOverlapWindow - bytes) / align + 1);
    };
    while (another_round()) {
      const std::uint32_t words = words_.draw(rng_, 4, 1024);
      const auto t = static_cast<std::uint16_t>(rng_.below(n_));
      std::uint32_t kind = rng_.below(5);
      // Two blocks of the smallest allowed size must fit one memory element.
      if (kind == 2 && words_.min() > 1024) kind = 0;
      switch (kind) {
        case 0: {  // chain: each transfer forwards what the previous one wrote
          std::uint16_t tile = t;
          std::uint32_t address = in_window(tile, bytes_of(words), kAlign);
          for (std::uint32_t k = rng_.between(2, 6); k > 0; --k) {
            const std::uint16_t next = other_tile(tile);
            const std::uint32_t written = in_window(next, bytes_of(words), kAlign);
            push_unicast(tile, address, next, written, words);
            tile = next;
            address = written;
          }
          break;
        }
        case 1: {  // diamond: a write, two readers, then an overlapping overwrite
          const std::uint32_t block = in_window(t, bytes_of(words), kAlign);
          const std::uint16_t writer = other_tile(t);
          push_unicast(writer, in_window(writer, bytes_of(words), kAlign), t, block, words);
          for (int reader = 0; reader < 2; ++reader) {
            const std::uint16_t to = other_tile(t);
            push_unicast(t, block, to, in_window(to, bytes_of(words), kAlign), words);
          }
          const std::uint16_t overwriter = other_tile(t);
          const std::uint32_t shift = 4 * rng_.below(words);
          const std::uint32_t shifted = std::min(block + shift, window[t] + kOverlapWindow - bytes_of(words));
          push_unicast(overwriter, in_window(overwriter, bytes_of(words), kAlign), t, shifted, words);
          break;
        }
        case 2: {  // disjoint read and write inside one memory element
          const std::uint32_t read_words = std::min<std::uint32_t>(words, 1024);
          const std::uint32_t write_words = std::min<std::uint32_t>(words_.draw(rng_, 4, 1024), 1024);
          const bool upper = rng_.chance(1, 3);
          const std::uint32_t element_bytes = upper ? kUpperElementBytes : kLowerElementBytes;
          const std::uint32_t element =
              upper ? kUpperRegion + element_bytes * rng_.below((kGeneratedAddressLimit - kUpperRegion) / element_bytes)
                    : element_bytes * rng_.below(kUpperRegion / element_bytes);
          const std::uint32_t gap = 4 * rng_.below(64);
          const std::uint32_t slack = element_bytes - bytes_of(read_words) - gap - bytes_of(write_words);
          const std::uint32_t read = element + 4 * rng_.below(slack / 4 + 1);
          const std::uint32_t write = read + bytes_of(read_words) + gap;
          const std::uint16_t to = other_tile(t);
          push_unicast(t, read, to, in_window(to, bytes_of(read_words), kAlign), read_words);
          const std::uint16_t from = other_tile(t);
          push_unicast(from, in_window(from, bytes_of(write_words), kAlign), t, write, write_words);
          break;
        }
        case 3: {  // two writers of partly the same bytes, then a reader of both
          const std::uint32_t first = in_window(t, bytes_of(words), 4);
          const std::uint32_t second =
              std::min(first + 4 * rng_.between(1, words), window[t] + kOverlapWindow - bytes_of(words));
          for (const std::uint32_t at : {first, second}) {
            const std::uint16_t from = other_tile(t);
            push_unicast(from, in_window(from, bytes_of(words), 4), t, at, words);
          }
          const std::uint16_t to = other_tile(t);
          push_unicast(t, first, to, in_window(to, bytes_of(words), 4), words);
          break;
        }
        default: {  // Repeat iterations over overlapping slices, then a write into them
          const std::uint32_t iterations = rng_.between(2, 4);
          const std::uint32_t step = 4 * rng_.between(1, words / 2 + 1);
          const std::uint32_t span = bytes_of(words) + step * (iterations - 1);
          const std::uint32_t base = in_window(t, span, 4);
          std::vector<std::uint32_t> slices(iterations);
          for (std::uint32_t k = 0; k < iterations; ++k) slices[k] = base + k * step;
          const std::uint16_t to = other_tile(t);
          push(t, std::move(slices), {{to, in_window(to, bytes_of(words), 4)}}, words);
          const std::uint16_t from = other_tile(t);
          const std::uint32_t into = base + 4 * rng_.below((span - bytes_of(words)) / 4 + 1);
          push_unicast(from, in_window(from, bytes_of(words), 4), t, into, words);
          break;
        }
      }
    }
  }

  struct PairedShape {
    std::uint16_t source = 0;
    std::vector<std::uint16_t> receivers;  ///< whole tile pairs, each as (even, odd)
    std::uint32_t words = 0;
  };

  // A paired-capable shape: a tile of one pair sends an even payload of at
  // least 128 words to other whole pairs; absent when no routable one turned up.
  std::optional<PairedShape> paired_shape() {
    const std::uint32_t pairs = n_ / 2u;
    if (pairs < 2 || !words_.has_paired()) return std::nullopt;
    for (int attempt = 0; attempt < 4; ++attempt) {
      PairedShape shape;
      const std::uint32_t own = rng_.below(pairs);
      shape.source = static_cast<std::uint16_t>(2 * own + rng_.below(2));
      const std::uint32_t most = std::min<std::uint32_t>(pairs - 1, rng_.chance(1, 6) ? 32 : 4);
      for (const std::uint16_t p : sample(pairs, rng_.log_uniform(1, most), own)) {
        shape.receivers.push_back(static_cast<std::uint16_t>(2 * p));
        shape.receivers.push_back(static_cast<std::uint16_t>(2 * p + 1));
      }
      shape.words = words_.draw_paired(rng_, 128, 4096);
      if (route_.paired_routable(shape.source, shape.receivers, shape.words)) return shape;
    }
    return std::nullopt;
  }

  void push_paired(const PairedShape& shape, ExchangeItemWidth width) {
    const std::uint32_t repeats = rng_.chance(1, 4) ? 2 : 1;
    auto sources = repeated_blocks(shape.source, shape.words, repeats);
    std::vector<ExchangeScheduleDestination> destinations;
    for (std::size_t i = 0; i < shape.receivers.size(); i += 2) {
      const std::array<std::uint16_t, 2> pair{shape.receivers[i], shape.receivers[i + 1]};
      const std::uint32_t address = memory_.allocate_common(pair, bytes_of(shape.words), kAlign);
      destinations.push_back({pair[0], address});
      destinations.push_back({pair[1], address});
    }
    push(shape.source, std::move(sources), std::move(destinations), shape.words, width);
  }

  // Ordinary transfers to `receivers` (and perhaps a few other tiles) from a
  // tile that is none of them.
  void push_ordinary_to(std::span<const std::uint16_t> receivers, std::uint16_t avoid) {
    const std::uint16_t receiver = receivers[rng_.below(static_cast<std::uint32_t>(receivers.size()))];
    std::uint16_t source = other_tile(receiver);
    if (rng_.chance(1, 2) && route_.partner(avoid) && *route_.partner(avoid) != receiver)
      source = *route_.partner(avoid);
    std::vector<std::uint16_t> tiles{receiver};
    if (n_ > 2 && rng_.chance(1, 3))
      for (const std::uint16_t extra : sample(n_, rng_.between(1, 3), source))
        if (extra != receiver) tiles.push_back(extra);
    std::sort(tiles.begin(), tiles.end());
    const std::uint32_t words = words_.draw(rng_, 1, 512);
    std::vector<ExchangeScheduleDestination> destinations;
    for (const std::uint16_t tile : tiles) destinations.push_back({tile, memory_.allocate(tile, bytes_of(words), kAlign)});
    push(source, {memory_.allocate(source, bytes_of(words), kAlign)}, std::move(destinations), words);
  }

  // Paired-capable shapes, as ordinary transfers (`as_paired` false) or as
  // paired transfers with ordinary transfers to the same receivers between
  // them. Tiles that cannot form two pairs get ordinary transfers only.
  void paired(bool as_paired) {
    if (n_ < 2) return;
    while (another_round()) {
      const auto shape = paired_shape();
      if (!shape) {
        if (!as_paired) continue;
        const auto t = static_cast<std::uint16_t>(rng_.below(n_));
        const std::array<std::uint16_t, 1> one{t};
        push_ordinary_to(one, t);
        continue;
      }
      push_paired(*shape, as_paired ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32);
      if (as_paired)
        for (std::uint32_t k = rng_.between(0, 2); k > 0; --k) push_ordinary_to(shape->receivers, shape->source);
    }
  }

  const RoutabilityCheck& route_;
  const TransferWords& words_;
  std::uint16_t n_;
  GeneratorRandom& rng_;
  TileMemory& memory_;
  std::vector<ExchangeScheduleTransfer>& out_;
  std::size_t target_;
  std::size_t attempts_;
  std::vector<std::uint8_t> marks_;
};

WorkloadGenerator::WorkloadGenerator(std::uint16_t tiles, TransferWords words) : route_(tiles), words_(words) {}

bool WorkloadGenerator::can_generate(WorkloadFamily family) const {
  if (tile_count() < 2 || family == WorkloadFamily::Mix) return false;
  if (family == WorkloadFamily::PairedConvertible) return tile_count() >= 4 && words_.has_paired();
  return true;
}

void WorkloadGenerator::generate(WorkloadFamily family, std::uint32_t count, GeneratorRandom& rng, TileMemory& memory,
                                 std::vector<ExchangeScheduleTransfer>& transfers) const {
  kel_runtime::expect(family != WorkloadFamily::Mix, "a mix is made of the other families");
  WorkloadSession session(*this, count, rng, memory, transfers);
  session.run(family);
}

}  // namespace kel_tests::gen
