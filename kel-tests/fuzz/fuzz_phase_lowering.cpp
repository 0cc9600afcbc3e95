// Small structured phases decoded from the fuzz bytes through the whole
// lowering: a phase that converts either lowers, validates and lowers the same
// way again, or fails with a lowering error. Ordinary phases also go through
// width selection, whose recipe must replay on an identical second call.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>

#include <fuzzer/FuzzedDataProvider.h>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"
#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/ValidateExchangeSchedule.h"
#include "kel_codegen/exchange/reuse/ExchangeScheduleCache.h"

namespace ex = kel_codegen::exchange;

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_phase_lowering: %s %s\n", what, detail.c_str());
  std::abort();
}

std::uint32_t address(FuzzedDataProvider& in, std::uint32_t align) {
  // A small window makes byte ranges overlap often; a rare odd offset
  // exercises the alignment errors.
  const std::uint32_t slot = in.ConsumeIntegralInRange<std::uint32_t>(0, 0x3FFF / align) * align;
  return in.ConsumeIntegralInRange<int>(0, 31) == 0 ? slot + 2 : slot;
}

std::uint32_t words(FuzzedDataProvider& in, bool paired) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return in.ConsumeIntegralInRange<std::uint32_t>(1, 16);
    case 1:
      return in.ConsumeIntegralInRange<std::uint32_t>(1, 300);
    case 2:
      return 2 * in.ConsumeIntegralInRange<std::uint32_t>(64, 400);
    default:
      return paired ? 2 * in.ConsumeIntegralInRange<std::uint32_t>(64, 2074)
                    : in.ConsumeIntegralInRange<std::uint32_t>(1, 4148);
  }
}

ex::ExchangeScheduleSnapshot decode(FuzzedDataProvider& in) {
  ex::ExchangeScheduleSnapshot snapshot;
  snapshot.schema_version = ex::kSnapshotSchemaVersion;
  snapshot.tile_count = in.ConsumeIntegralInRange<std::uint16_t>(1, 64);
  const std::uint16_t tiles = snapshot.tile_count;
  ex::ExchangeScheduleProblem& problem = snapshot.phases.emplace_back();
  problem.phase = in.ConsumeIntegral<std::uint8_t>();
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 32);
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    ex::ExchangeScheduleTransfer& t = problem.transfers.emplace_back();
    const bool paired = tiles >= 4 && in.ConsumeIntegralInRange<int>(0, 4) == 0;
    t.width = paired ? ex::ExchangeItemWidth::Paired64 : ex::ExchangeItemWidth::Word32;
    t.source = in.ConsumeIntegralInRange<std::uint16_t>(0, tiles - 1);
    t.words = words(in, paired);
    const std::uint32_t align = paired ? 8 : 4;
    for (int r = in.ConsumeIntegralInRange<int>(1, 3); r > 0; --r) t.source_addresses.push_back(address(in, align));
    const int destinations = in.ConsumeIntegralInRange<int>(1, 6);
    for (int d = 0; d < destinations; ++d) {
      const std::uint16_t tile = in.ConsumeIntegralInRange<std::uint16_t>(0, tiles - 1);
      const std::uint32_t at = address(in, align);
      t.destinations.push_back({tile, at});
      // Paired and convertible transfers want whole tile pairs.
      if ((paired || in.ConsumeBool()) && (tile ^ 1u) < tiles)
        t.destinations.push_back({static_cast<std::uint16_t>(tile ^ 1u), at});
    }
  }
  return snapshot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const ex::ExchangeScheduleSnapshot snapshot = decode(in);
  if (!snapshot.validate()) return 0;
  const std::uint16_t tiles = snapshot.tile_count;
  const ex::ExchangeScheduleProblem& problem = snapshot.phases[0];
  if (!ex::check_problem_transfers(problem, tiles)) return 0;

  const auto run = ex::schedule_exchange_problem(tiles, problem);
  if (run) {
    if (const auto valid = ex::validate_exchange_schedule(tiles, problem, run->physical); !valid)
      fail("lowered phase does not validate:", valid.error().message());
    const auto again = ex::schedule_exchange_problem(tiles, problem);
    if (!again || again->physical != run->physical) fail("second lowering differs");
  }

  bool ordinary = true;
  for (const auto& t : problem.transfers) ordinary &= t.width == ex::ExchangeItemWidth::Word32;
  if (!ordinary) return 0;
  ex::reuse::ExchangeScheduleCache cache;
  const auto cached = cache.schedule_problem(tiles, problem);
  if (!cached) return 0;
  if (const auto valid = ex::validate_exchange_schedule(tiles, cached->problem, cached->run.physical); !valid)
    fail("width-selected phase does not validate:", valid.error().message());
  const auto replayed = cache.schedule_problem(tiles, problem);
  if (!replayed || !replayed->run.reused || replayed->run.physical != cached->run.physical)
    fail("identical call did not replay its recipe");
  return 0;
}
