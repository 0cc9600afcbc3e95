// Command line of the snapshot generator: long options only, each at most
// once, plain decimal numbers; CLI11's exceptions stop here.
#include "kel_tests/gen/GeneratorOptions.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "kel_codegen/exchange/PendingTransfer.h"
#include "kel_exchange/Topology.h"
#include "kel_tests/CommandLine.h"
#include "kel_tests/gen/TransferWords.h"

namespace kel_tests::gen {

namespace {

std::string family_list() {
  std::string names;
  for (const WorkloadFamily family : kWorkloadFamilies) {
    if (!names.empty()) names += ", ";
    names += workload_family_name(family);
  }
  return names;
}

std::string usage_error(std::string_view message) {
  return kel_tests::usage_error(kGeneratorName, "[OPTIONS]", message);
}

}  // namespace

std::optional<std::string> check_generator_options(const GeneratorOptions& options) {
  using kel_codegen::exchange::kMaxTransferWords;
  if (options.tiles < 1 || options.tiles > kel_exchange::Topology::kR817Tiles)
    return fmt::format("--tiles {} is outside 1..{}", options.tiles, kel_exchange::Topology::kR817Tiles);
  if (options.min_words < 1 || options.min_words > kMaxTransferWords)
    return fmt::format("--min-words {} is outside 1..{}", options.min_words, kMaxTransferWords);
  if (options.max_words < 1 || options.max_words > kMaxTransferWords)
    return fmt::format("--max-words {} is outside 1..{}", options.max_words, kMaxTransferWords);
  if (options.min_words > options.max_words)
    return fmt::format("--min-words {} is above --max-words {}", options.min_words, options.max_words);
  if (options.phases > kMaxGeneratedPhases)
    return fmt::format("--phases {} is above {}", options.phases, kMaxGeneratedPhases);
  if (std::uint64_t{options.phases} * options.transfers > kMaxGeneratedTransfers)
    return fmt::format("--phases {} times --transfers {} exceeds {} transfers", options.phases, options.transfers,
                       kMaxGeneratedTransfers);
  if (workload_family_needs_paired_words(options.family) &&
      !TransferWords(options.min_words, options.max_words).has_paired())
    return fmt::format("--family {} needs an even word count of at least {} within --min-words..--max-words",
                       workload_family_name(options.family), kel_codegen::exchange::kMinPairedWords);
  return std::nullopt;
}

std::variant<GeneratorOptions, CommandLineExit> parse_generator_arguments(int argc, const char* const* argv) {
  GeneratorOptions options;
  std::string family = std::string(workload_family_name(options.family));
  CLI::App app("Write a valid exchange-schedule snapshot (schema 3) for a named workload family", kGeneratorName);
  app.set_version_flag("-V,--version", fmt::format("{} {}", kGeneratorName, kGeneratorVersion), "Print version");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);

  app.add_option("--family", family, fmt::format("Workload family: {}", family_list()))
      ->type_name("<NAME>")
      ->capture_default_str();
  app.add_option("--tiles", options.tiles, "Logical tiles of the snapshot (1..1472)")
      ->type_name("<N>")
      ->capture_default_str()
      ->check(decimal_of_width<std::uint16_t>());
  app.add_option("--phases", options.phases, "Exchange phases to write")
      ->type_name("<N>")
      ->capture_default_str()
      ->check(decimal_of_width<std::uint32_t>());
  app.add_option("--transfers", options.transfers, "Transfers per phase (the mix family varies it up to this)")
      ->type_name("<N>")
      ->capture_default_str()
      ->check(decimal_of_width<std::uint32_t>());
  app.add_option("--min-words", options.min_words, "Smallest payload in 32-bit words (1..4148)")
      ->type_name("<N>")
      ->capture_default_str()
      ->check(decimal_of_width<std::uint32_t>());
  app.add_option("--max-words", options.max_words, "Largest payload in 32-bit words (1..4148)")
      ->type_name("<N>")
      ->capture_default_str()
      ->check(decimal_of_width<std::uint32_t>());
  app.add_option("--seed", options.seed, "Seed; equal options and seed give an identical snapshot")
      ->type_name("<N>")
      ->capture_default_str()
      ->check(decimal_of_width<std::uint64_t>());
  app.add_option("--output", options.output, "File to write (default: standard output)")->type_name("<FILE>");

  if (auto exit = parse_command_line(app, kGeneratorName, "[OPTIONS]", [&] { app.parse(argc, argv); })) return *exit;
  const auto parsed_family = workload_family_from_name(family);
  if (!parsed_family)
    return CommandLineExit{usage_error(fmt::format("unknown family '{}' (known: {})", family, family_list())), 2};
  options.family = *parsed_family;
  if (options.output == "-") options.output.clear();
  if (auto problem = check_generator_options(options)) return CommandLineExit{usage_error(*problem), 2};
  return options;
}

}  // namespace kel_tests::gen
