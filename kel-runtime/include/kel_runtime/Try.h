// Error propagation for std::expected: TRY(expr) yields the value of a
// successful expected or returns its error (converted to the caller's error
// type) from the enclosing function.
#pragma once

#include <expected>
#include <utility>

// GNU statement expression: GCC and Clang both accept it, and it lets TRY be
// used as an expression, e.g. `auto x = TRY(parse(y));`.
#define TRY(...)                                                        \
  ({                                                                    \
    auto&& kel_try_result_ = (__VA_ARGS__);                             \
    if (!kel_try_result_.has_value()) [[unlikely]]                      \
      return std::unexpected(std::move(kel_try_result_).error());       \
    std::move(kel_try_result_).value();                                 \
  })
