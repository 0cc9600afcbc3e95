// For tests: installs a logger that writes into a temporary file and reads
// back what was logged. Only one capture may be alive at a time, since the
// logger is process-wide.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <unistd.h>

#include "kel_runtime/Log.h"

namespace kel_runtime::testing {

class LogCapture {
 public:
  LogCapture() : out_(std::tmpfile()) { reset_tracing_for_tests(); }
  ~LogCapture() {
    reset_tracing_for_tests();
    if (out_) std::fclose(out_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool ok() const { return out_ != nullptr; }

  /// Starts capturing events that `filter` lets through.
  void install(std::optional<std::string_view> filter, bool json = true, bool color = false,
               WallClock clock = nullptr) {
    init_tracing_with(filter, json, out_, color, clock);
  }

  /// Removes the logger and forgets what was captured, for a fresh install.
  void restart() {
    reset_tracing_for_tests();
    std::fflush(out_);
    if (::ftruncate(::fileno(out_), 0) != 0) std::abort();
    std::rewind(out_);
  }

  /// Everything written so far.
  std::string output() {
    std::fflush(out_);
    std::rewind(out_);
    std::string text;
    for (int c = std::fgetc(out_); c != EOF; c = std::fgetc(out_)) text.push_back(static_cast<char>(c));
    return text;
  }

  /// Occurrences of `needle` in what was written so far.
  std::size_t count(std::string_view needle) {
    const std::string text = output();
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
  }

 private:
  std::FILE* out_;
};

}  // namespace kel_runtime::testing
