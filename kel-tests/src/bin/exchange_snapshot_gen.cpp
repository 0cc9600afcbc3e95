// exchange_snapshot_gen: writes a valid exchange-schedule snapshot for a named
// workload family, the same for the same options and seed. The snapshot is
// validated before anything is written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <variant>

#include "kel_tests/ErrorChain.h"
#include "kel_tests/gen/GeneratorOptions.h"
#include "kel_tests/gen/SnapshotGenerator.h"
#include "kel_tests/gen/SnapshotWriter.h"

namespace {

int fail(const kel_tests::ErrorChain& error) {
  std::fflush(stdout);
  std::fputs(error.render().c_str(), stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = kel_tests::gen::parse_generator_arguments(argc, argv);
  if (auto* exit = std::get_if<kel_tests::CommandLineExit>(&parsed)) {
    std::fputs(exit->text.c_str(), exit->status == 0 ? stdout : stderr);
    return exit->status;
  }
  const auto& options = std::get<kel_tests::gen::GeneratorOptions>(parsed);

  auto snapshot = kel_tests::gen::generate_checked_snapshot(options);
  if (!snapshot) return fail(snapshot.error());

  const bool to_file = !options.output.empty();
  const std::string name = to_file ? options.output : "standard output";
  std::FILE* out = stdout;
  if (to_file) {
    out = std::fopen(options.output.c_str(), "wb");
    if (out == nullptr) return fail(kel_tests::ErrorChain(std::strerror(errno)).context("open " + name));
  }
  auto written = kel_tests::gen::write_snapshot(out, *snapshot);
  if (to_file && std::fclose(out) != 0 && written) written = std::unexpected(std::string(std::strerror(errno)));
  if (!written) {
    // A truncated snapshot must not be mistaken for a generated one.
    std::error_code ignored;
    if (to_file && std::filesystem::is_regular_file(options.output, ignored))
      std::filesystem::remove(options.output, ignored);
    return fail(kel_tests::ErrorChain(written.error()).context("write " + name));
  }
  return 0;
}
