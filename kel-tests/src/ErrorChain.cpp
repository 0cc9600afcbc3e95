// Rendering of the error report.
#include "kel_tests/ErrorChain.h"

#include <fmt/format.h>

namespace kel_tests {

std::string ErrorChain::render() const {
  std::string out = fmt::format("Error: {}\n", messages_.front());
  const std::size_t causes = messages_.size() - 1;
  if (causes == 0) return out;
  out += "\nCaused by:\n";
  for (std::size_t i = 1; i < messages_.size(); ++i) {
    if (causes == 1)
      out += fmt::format("    {}\n", messages_[i]);
    else
      out += fmt::format("    {}: {}\n", i - 1, messages_[i]);
  }
  return out;
}

}  // namespace kel_tests
