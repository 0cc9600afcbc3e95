// Phase by phase generation: each phase draws from its own random stream and
// its own tile memory; a mix picks one or two families per phase, varies the
// phase size up to the requested count and leaves a few phases empty.
#include "kel_tests/gen/SnapshotGenerator.h"

#include <fmt/format.h>

#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_tests/gen/GeneratorRandom.h"
#include "kel_tests/gen/TileMemory.h"
#include "kel_tests/gen/WorkloadGenerator.h"

namespace kel_tests::gen {

using kel_codegen::exchange::ExchangeScheduleProblem;
using kel_codegen::exchange::ExchangeScheduleSnapshot;

namespace {

// Stream numbers of the phase-id sequence and of phase k (k + 1).
constexpr std::uint64_t kPhaseIdStream = 0;

struct Weighted {
  WorkloadFamily family;
  std::uint32_t weight;
};

// How often each family turns up in a mix: plain data movement dominates.
constexpr Weighted kMixWeights[] = {
    {WorkloadFamily::Permutation, 3}, {WorkloadFamily::Halo, 3},    {WorkloadFamily::AllToAll, 2},
    {WorkloadFamily::Broadcast, 3},   {WorkloadFamily::ReduceScatter, 2}, {WorkloadFamily::Overlap, 2},
    {WorkloadFamily::PairedConvertible, 1}, {WorkloadFamily::Paired, 1},
};

WorkloadFamily pick_mixed_family(GeneratorRandom& rng, const WorkloadGenerator& generator) {
  std::uint32_t total = 0;
  for (const Weighted& w : kMixWeights) total += w.weight;
  std::uint32_t draw = rng.below(total);
  for (const Weighted& w : kMixWeights) {
    if (draw < w.weight)
      return generator.can_generate(w.family) ? w.family : WorkloadFamily::Permutation;
    draw -= w.weight;
  }
  return WorkloadFamily::Permutation;
}

void generate_phase(const GeneratorOptions& options, const WorkloadGenerator& generator, std::uint32_t index,
                    ExchangeScheduleProblem& problem) {
  GeneratorRandom rng = GeneratorRandom::derived(options.seed, std::uint64_t{index} + 1);
  TileMemory memory(options.tiles, rng);
  if (options.family != WorkloadFamily::Mix) {
    generator.generate(options.family, options.transfers, rng, memory, problem.transfers);
    return;
  }
  if (options.transfers == 0 || rng.chance(1, 16)) return;
  const std::uint32_t count = rng.log_uniform(std::max<std::uint32_t>(1, options.transfers / 4), options.transfers);
  const WorkloadFamily first = pick_mixed_family(rng, generator);
  if (count >= 2 && rng.chance(1, 3)) {
    // Two operations' exchanges merged into one phase.
    const std::uint32_t split = rng.between(1, count - 1);
    const WorkloadFamily second = pick_mixed_family(rng, generator);
    generator.generate(first, split, rng, memory, problem.transfers);
    generator.generate(second, count - split, rng, memory, problem.transfers);
    return;
  }
  generator.generate(first, count, rng, memory, problem.transfers);
}

}  // namespace

ExchangeScheduleSnapshot generate_snapshot(const GeneratorOptions& options) {
  ExchangeScheduleSnapshot snapshot;
  snapshot.schema_version = kel_codegen::exchange::kSnapshotSchemaVersion;
  snapshot.tile_count = options.tiles;
  const WorkloadGenerator generator(options.tiles, TransferWords(options.min_words, options.max_words));
  GeneratorRandom ids = GeneratorRandom::derived(options.seed, kPhaseIdStream);
  // Ids ascend with gaps, as phases of a compiled program are numbered.
  std::uint32_t id = ids.below(8);
  snapshot.phases.resize(options.phases);
  for (std::uint32_t k = 0; k < options.phases; ++k) {
    snapshot.phases[k].phase = id;
    id += ids.between(1, 3);
    generate_phase(options, generator, k, snapshot.phases[k]);
  }
  return snapshot;
}

std::expected<void, ErrorChain> check_generated_snapshot(const ExchangeScheduleSnapshot& snapshot) {
  const auto failed = [](const auto& error) {
    return std::unexpected(ErrorChain(error.message()).context("generated snapshot failed validation"));
  };
  if (auto valid = snapshot.validate(); !valid) return failed(valid.error());
  for (const ExchangeScheduleProblem& problem : snapshot.phases)
    if (auto pending = kel_codegen::exchange::pending_from_problem(problem, snapshot.tile_count); !pending)
      return failed(pending.error());
  return {};
}

std::expected<ExchangeScheduleSnapshot, ErrorChain> generate_checked_snapshot(const GeneratorOptions& options) {
  ExchangeScheduleSnapshot snapshot = generate_snapshot(options);
  if (auto checked = check_generated_snapshot(snapshot); !checked) return std::unexpected(std::move(checked.error()));
  return snapshot;
}

}  // namespace kel_tests::gen
