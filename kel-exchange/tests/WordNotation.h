// Row word notation for tests, written out from the bit layouts independently
// of the library's constructors.
#pragma once

#include <cstdint>

namespace kel_exchange::test_words {

constexpr std::uint32_t Sync3 = 0x41800003;
constexpr std::uint32_t Ret = 0x43A00000;
constexpr std::uint32_t Delay(std::uint32_t d) { return 0x40A00000u | (d - 1); }
constexpr std::uint32_t Xpic(std::uint32_t v, std::uint32_t a) { return 0x64000000u | ((a - 1) << 14) | v; }
constexpr std::uint32_t Pic(std::uint32_t v, std::uint32_t a) { return 0x60000000u | ((a - 1) << 19) | v; }
constexpr std::uint32_t Send(std::uint32_t n, std::uint32_t k) { return 0x78000000u | ((n - 1) << 21) | k; }
constexpr std::uint32_t More(std::uint32_t n, std::uint32_t k) {
  return 0x70000000u | (((n - 1) % 64) << 21) | (((n - 1) / 64) << 14) | k;
}

}  // namespace kel_exchange::test_words
