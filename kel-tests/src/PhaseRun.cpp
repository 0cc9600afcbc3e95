// One phase of the benchmark. Only the run itself is inside a
// scheduler/codegen sample; validation is timed on its own, and copying,
// comparing, dumping and statistics are outside both.
#include "kel_tests/PhaseRun.h"

#include <chrono>
#include <exception>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "kel_codegen/exchange/ScheduleExchangeProblem.h"
#include "kel_codegen/exchange/ValidateExchangeSchedule.h"
#include "kel_codegen/exchange/reuse/ExchangeScheduleCache.h"
#include "kel_exchange/diagnostic/PlanProgramDiagnostic.h"
#include "kel_tests/PhaseReport.h"

namespace kel_tests {

namespace ex = kel_codegen::exchange;

namespace {

using Clock = std::chrono::steady_clock;

const char* activity_name(ex::ExchangeActivityKind kind) {
  switch (kind) {
    case ex::ExchangeActivityKind::Send:
      return "Send";
    case ex::ExchangeActivityKind::Receive:
      return "Receive";
    case ex::ExchangeActivityKind::PartnerBusy:
      return "PartnerBusy";
  }
  return "";
}

// A run's result and the problem it actually scheduled: the given one for a
// direct run, the cache's copy (with the chosen widths) for a cached run.
struct Lowered {
  ex::ExchangeRun run;
  std::optional<ex::ExchangeScheduleProblem> cached_problem;

  const ex::ExchangeScheduleProblem& scheduled(const ex::ExchangeScheduleProblem& given) const {
    return cached_problem ? *cached_problem : given;
  }
};

std::expected<Lowered, ErrorChain> cached_run(ex::reuse::ExchangeScheduleCache& cache, std::uint16_t tile_count,
                                              const ex::ExchangeScheduleProblem& problem) {
  auto cached = cache.schedule_problem(tile_count, problem);
  if (!cached) return std::unexpected(ErrorChain(cached.error().message()));
  return Lowered{std::move(cached->run), std::move(cached->problem)};
}

// One run as the options define it; emptying the cache belongs to the run.
std::expected<Lowered, ErrorChain> lower(const Arguments& args, ex::reuse::ExchangeScheduleCache& cache,
                                         std::uint16_t tile_count, const ex::ExchangeScheduleProblem& problem) {
  if (args.select_widths) {
    if (!args.replay_cache) cache.clear();
    return cached_run(cache, tile_count, problem);
  }
  auto run = ex::schedule_exchange_problem(tile_count, problem);
  if (!run) return std::unexpected(ErrorChain(run.error().message()));
  return Lowered{std::move(*run), std::nullopt};
}

std::expected<void, ErrorChain> validate(std::uint16_t tile_count, const ex::ExchangeScheduleProblem& problem,
                                         const ex::ExchangeRun& run) {
  auto valid = ex::validate_exchange_schedule(tile_count, problem, run.physical);
  if (!valid) return std::unexpected(ErrorChain(valid.error().message()));
  return {};
}

std::expected<void, ErrorChain> dump_tile(std::size_t tile, const ex::PhysicalExchangePhase& physical,
                                          std::FILE* out) {
  if (tile >= physical.programs.size() || tile >= physical.activities.size())
    return std::unexpected(ErrorChain(fmt::format("logical tile {} is out of range", tile)));
  for (const ex::ExchangeActivity& a : physical.activities[tile])
    fmt::print(out, "phase={} logicalTile={} transfer={} {} cycles={}..{} memoryEnd={} address=0x{:x} words={}\n",
               physical.phase, tile, a.transfer, activity_name(a.kind), a.start, a.end, a.memory_end, a.address,
               a.words);
  auto decoded = kel_exchange::diagnostic::diagnose_plan_program(
      std::span<const std::uint32_t>(physical.programs[tile]));
  if (!decoded) return std::unexpected(ErrorChain(decoded.error().message()));
  fmt::print(out, "phase={} logicalTile={}\n{}\n", physical.phase, tile, decoded->render());
  return {};
}

}  // namespace

std::expected<ex::ExchangeScheduleProblem, ErrorChain> relocate_problem(const ex::ExchangeScheduleProblem& problem,
                                                                        std::uint32_t bytes) {
  ex::ExchangeScheduleProblem moved = problem;
  const auto shift = [&](std::uint32_t& address) {
    if (address > 0xFFFFFFFFu - bytes) return false;
    address += bytes;
    return true;
  };
  for (auto& transfer : moved.transfers) {
    for (auto& address : transfer.source_addresses)
      if (!shift(address)) return std::unexpected(ErrorChain("relocated address overflow"));
    for (auto& destination : transfer.destinations)
      if (!shift(destination.address)) return std::unexpected(ErrorChain("relocated address overflow"));
  }
  return moved;
}

std::expected<void, ErrorChain> run_phase(const Arguments& args, std::uint16_t tile_count,
                                          const ex::ExchangeScheduleProblem& selected, std::FILE* out) {
  ex::reuse::ExchangeScheduleCache cache;
  if (args.replay_cache) {
    // Fills the cache with the unrelocated phase's recipe, even when the timed
    // runs are direct.
    auto populated = cached_run(cache, tile_count, selected);
    if (!populated) return std::unexpected(std::move(populated).error());
    if (auto valid = validate(tile_count, populated->scheduled(selected), populated->run); !valid) return valid;
  }

  std::optional<ex::ExchangeScheduleProblem> relocated;
  if (args.relocate_by != 0) {
    auto moved = relocate_problem(selected, args.relocate_by);
    if (!moved) return std::unexpected(std::move(moved).error());
    relocated = std::move(*moved);
  }
  const ex::ExchangeScheduleProblem& problem = relocated ? *relocated : selected;

  for (std::size_t i = 0; i < args.warmup; ++i) {
    auto lowered = lower(args, cache, tile_count, problem);
    if (!lowered) return std::unexpected(std::move(lowered).error());
    if (auto valid = validate(tile_count, lowered->scheduled(problem), lowered->run); !valid) return valid;
  }

  // Samples are reserved up front so that no allocation falls inside a
  // measurement; a count beyond what the machine holds is an error, not a crash.
  std::vector<Sample> schedule_samples, validation_samples;
  try {
    schedule_samples.reserve(args.iterations);
    validation_samples.reserve(args.iterations);
  } catch (const std::exception&) {
    return std::unexpected(
        ErrorChain(fmt::format("--iterations {} needs more memory for timing samples than is available",
                               args.iterations)));
  }
  std::optional<ex::PhysicalExchangePhase> reference;
  std::optional<Lowered> last;
  for (std::size_t i = 0; i < args.iterations; ++i) {
    const auto run_started = Clock::now();
    auto lowered = lower(args, cache, tile_count, problem);
    const auto run_finished = Clock::now();
    if (!lowered) return std::unexpected(std::move(lowered).error());
    schedule_samples.push_back(run_finished - run_started);

    const auto validation_started = Clock::now();
    auto valid = validate(tile_count, lowered->scheduled(problem), lowered->run);
    const auto validation_finished = Clock::now();
    if (!valid) return valid;
    validation_samples.push_back(validation_finished - validation_started);

    if (!reference) {
      reference = lowered->run.physical;
      if (args.dump_tile)
        if (auto dumped = dump_tile(*args.dump_tile, lowered->run.physical, out); !dumped) return dumped;
    } else if (lowered->run.physical != *reference) {
      return std::unexpected(
          ErrorChain(fmt::format("phase {} scheduler/codegen output changed between identical runs", problem.phase)));
    }
    last = std::move(*lowered);
  }
  fmt::print(out, "{}\n", phase_line(last->scheduled(problem), last->run, schedule_samples, validation_samples));
  return {};
}

}  // namespace kel_tests
