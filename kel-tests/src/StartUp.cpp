// Start-up steps in their fixed order; the first failure ends the run.
#include "kel_tests/StartUp.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include <fmt/format.h>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_codegen/exchange/SnapshotReader.h"
#include "kel_tests/PhaseRun.h"

namespace kel_tests {

namespace ex = kel_codegen::exchange;

namespace {

std::string os_error_text(int error) { return fmt::format("{} (os error {})", std::strerror(error), error); }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::expected<LoadedBenchmark, ErrorChain> load_benchmark(const Arguments& args) {
  if (args.iterations == 0) return std::unexpected(ErrorChain("--iterations must be nonzero"));

  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(args.snapshot.c_str(), "rb"));
  if (!file) {
    const int error = errno;
    return std::unexpected(ErrorChain(os_error_text(error)).context(fmt::format("open {}", args.snapshot)));
  }

  auto parsed = ex::read_snapshot(file.get());
  if (!parsed)
    return std::unexpected(ErrorChain(parsed.error().display()).context(fmt::format("parse {}", args.snapshot)));
  LoadedBenchmark loaded{std::move(*parsed), {}};
  file.reset();

  if (auto valid = loaded.snapshot.validate(); !valid) return std::unexpected(ErrorChain(valid.error().message()));

  if (args.first_iteration_only) {
    for (auto& problem : loaded.snapshot.phases)
      for (auto& transfer : problem.transfers)
        if (transfer.source_addresses.size() > 1)
          transfer.source_addresses.erase(transfer.source_addresses.begin() + 1, transfer.source_addresses.end());
  }

  const std::set<std::uint32_t> wanted(args.phases.begin(), args.phases.end());
  if (wanted.size() < args.phases.size())
    return std::unexpected(ErrorChain("--phase contains a duplicate phase ID"));
  for (std::uint32_t phase : wanted) {
    bool found = false;
    for (const auto& problem : loaded.snapshot.phases) found = found || problem.phase == phase;
    if (!found) return std::unexpected(ErrorChain(fmt::format("snapshot does not contain phase {}", phase)));
  }

  for (std::size_t i = 0; i < loaded.snapshot.phases.size(); ++i)
    if (wanted.empty() || wanted.contains(loaded.snapshot.phases[i].phase)) loaded.selected.push_back(i);
  return loaded;
}

std::string header_line(const Arguments& args, const LoadedBenchmark& loaded) {
  return fmt::format("snapshot={} tiles={} phases={} warmup={} iterations={} repeatAware={}", args.snapshot,
                     loaded.snapshot.tile_count, loaded.selected.size(), args.warmup, args.iterations,
                     args.first_iteration_only ? "false" : "true");
}

std::expected<void, ErrorChain> run_benchmark(const Arguments& args) {
  auto loaded = load_benchmark(args);
  if (!loaded) return std::unexpected(std::move(loaded).error());
  fmt::print("{}\n", header_line(args, *loaded));
  const auto start = std::chrono::steady_clock::now();

  for (const std::size_t index : loaded->selected) {
    auto phase = run_phase(args, loaded->snapshot.tile_count, loaded->snapshot.phases[index], stdout);
    if (!phase) return phase;
  }

  const std::chrono::duration<double, std::milli> total = std::chrono::steady_clock::now() - start;
  fmt::print("totalMs={:.3f}\n", total.count());
  std::fflush(stdout);
  return {};
}

}  // namespace kel_tests
