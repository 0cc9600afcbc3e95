// Command-line parsing: long options only, one value per occurrence, every
// option but --phase at most once; the parser's exceptions stop here.
#include "kel_tests/Arguments.h"

#include "kel_tests/CommandLine.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <string_view>

namespace kel_tests {

std::variant<Arguments, CommandLineExit> parse_arguments(int argc, const char* const* argv) {
  Arguments args;
  std::size_t dump_tile = 0;
  CLI::App app("Replay and validate production exchange scheduling without KEL hardware", kCommandName);
  app.set_version_flag("-V,--version", fmt::format("{} {}", kCommandName, kCommandVersion), "Print version");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);

  app.add_option("SNAPSHOT", args.snapshot, "JSON snapshot written by kel-trivial-test --export-exchange-schedule")
      ->required()
      ->type_name("");
  app.add_option("--phase", args.phases, "Restrict the benchmark to these physical exchange phase IDs")
      ->type_name("<PHASES>")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(decimal_of_width<std::uint32_t>());
  app.add_option("--warmup", args.warmup, "Untimed scheduler/codegen runs before measurement")
      ->type_name("<WARMUP>")
      ->capture_default_str()
      ->check(decimal_of_width<std::size_t>());
  app.add_option("--iterations", args.iterations, "Timed scheduler/codegen runs per selected phase")
      ->type_name("<ITERATIONS>")
      ->capture_default_str()
      ->check(decimal_of_width<std::size_t>());
  CLI::Option* first_iteration_only = app.add_flag("--first-iteration-only", args.first_iteration_only,
               "Ignore sender addresses after the first Repeat iteration. This reproduces the unsafe scheduler "
               "behavior used before Repeat-aware memory-element hazard checking");
  CLI::Option* select_widths = app.add_flag("--select-widths", args.select_widths,
               "Include the production comparison of ordinary and paired transfers");
  CLI::Option* replay_cache = app.add_flag("--replay-cache", args.replay_cache,
               "Populate the production recipe cache before timing, then measure replay");
  app.add_option("--relocate-by", args.relocate_by,
                 "Relocate every source/destination by this many bytes after cache warmup")
      ->type_name("<RELOCATE_BY>")
      ->capture_default_str()
      ->check(decimal_of_width<std::uint32_t>());
  CLI::Option* dump = app.add_option("--dump-tile", dump_tile,
                                     "Decode the generated exchange program for this logical tile")
                          ->type_name("<DUMP_TILE>")
                          ->check(decimal_of_width<std::size_t>());

  const auto exit = parse_command_line(app, kCommandName, "SNAPSHOT [OPTIONS]", [&] {
    // CLI11 accepts `--flag=value` and repeated flags; this command's flags
    // take no value and, like every option but --phase, come at most once.
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg(argv[i]);
      if (arg == "--") break;
      for (std::string_view flag : {"--first-iteration-only", "--select-widths", "--replay-cache"})
        if (arg.starts_with(flag) && arg.size() > flag.size() && arg[flag.size()] == '=')
          throw CLI::ArgumentMismatch(fmt::format("{} takes no value", flag));
    }
    app.parse(argc, argv);
    for (const CLI::Option* flag : {first_iteration_only, select_widths, replay_cache})
      if (flag->count() > 1) throw CLI::ArgumentMismatch(fmt::format("{} may be given only once", flag->get_name()));
  });
  if (exit) return *exit;
  if (dump->count() > 0) args.dump_tile = dump_tile;
  return args;
}

}  // namespace kel_tests
