// The code generator's storage-layout error as the exchange lowering carries
// it: an opaque value with a user-facing message.
#pragma once

#include <string>
#include <utility>

namespace kel_codegen::exchange {

class StorageError {
 public:
  explicit StorageError(std::string message) : message_(std::move(message)) {}

  /// The user-facing text.
  const std::string& message() const { return message_; }

  friend bool operator==(const StorageError&, const StorageError&) = default;

 private:
  std::string message_;
};

}  // namespace kel_codegen::exchange
