// An error with the context messages wrapped around it: the outermost message
// first, then each underlying cause down to the root.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kel_tests {

class ErrorChain {
 public:
  explicit ErrorChain(std::string message) { messages_.push_back(std::move(message)); }

  /// Wraps this error in `context`, which becomes the outermost message.
  ErrorChain context(std::string context) && {
    messages_.insert(messages_.begin(), std::move(context));
    return std::move(*this);
  }

  const std::string& message() const { return messages_.front(); }
  const std::vector<std::string>& messages() const { return messages_; }

  /// The report: "Error: ", the message, then a "Caused by:" block listing
  /// the causes (numbered from 0 when there are two or more).
  std::string render() const;

 private:
  std::vector<std::string> messages_;
};

}  // namespace kel_tests
