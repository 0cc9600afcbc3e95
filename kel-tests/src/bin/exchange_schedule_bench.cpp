// exchange_schedule_bench: replays the exchange scheduling of a snapshot,
// validates it and reports figures per phase.
#include <cstdio>
#include <cstdlib>
#include <variant>

#include "kel_runtime/Log.h"
#include "kel_tests/Arguments.h"
#include "kel_tests/StartUp.h"

int main(int argc, char** argv) {
  auto parsed = kel_tests::parse_arguments(argc, argv);
  if (auto* exit = std::get_if<kel_tests::CommandLineExit>(&parsed)) {
    std::fputs(exit->text.c_str(), exit->status == 0 ? stdout : stderr);
    return exit->status;
  }
  const auto& args = std::get<kel_tests::Arguments>(parsed);

  // Logging exists only when asked for; otherwise every event stays a single
  // relaxed load.
  if (std::getenv("KEL_LOG") != nullptr) kel_runtime::init_tracing();

  auto result = kel_tests::run_benchmark(args);
  if (!result) {
    std::fflush(stdout);
    std::fputs(result.error().render().c_str(), stderr);
    return 1;
  }
  return 0;
}
