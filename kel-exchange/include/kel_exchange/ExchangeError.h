// The one error type of the exchange program layer: a small value (tag plus at
// most two numbers or one static reason text) returned by value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kel_exchange {

/// Largest word count of one transfer on every route.
inline constexpr std::uint32_t kMaxExchangeWords = 4148;

class ExchangeError {
 public:
  enum class Kind : std::uint8_t {
    ValidationBudgetExceeded,
    Tile,
    DuplicateTile,
    Count,
    ReceiverSet,
    Schedule,
    PlanOffsetRange,
    Address,
    HostPacket,
  };

  static constexpr ExchangeError validation_budget_exceeded() { return ExchangeError(Kind::ValidationBudgetExceeded); }
  static constexpr ExchangeError tile(std::uint16_t logical) { return ExchangeError(Kind::Tile, logical); }
  static constexpr ExchangeError duplicate_tile() { return ExchangeError(Kind::DuplicateTile); }
  static constexpr ExchangeError count(std::uint32_t words) { return ExchangeError(Kind::Count, words); }
  static constexpr ExchangeError receiver_set() { return ExchangeError(Kind::ReceiverSet); }
  /// `reason` must be a static text naming the broken rule.
  static constexpr ExchangeError schedule(const char* reason) {
    ExchangeError e(Kind::Schedule);
    e.reason_ = reason;
    return e;
  }
  static constexpr ExchangeError plan_offset_range(std::uint32_t cycles, std::uint32_t maximum) {
    return ExchangeError(Kind::PlanOffsetRange, cycles, maximum);
  }
  static constexpr ExchangeError address(std::uint32_t address) { return ExchangeError(Kind::Address, address); }
  static constexpr ExchangeError host_packet() { return ExchangeError(Kind::HostPacket); }

  constexpr Kind kind() const { return kind_; }
  /// Payload of Tile (as u16), Count, Address, or `cycles` of PlanOffsetRange.
  constexpr std::uint32_t value() const { return first_; }
  /// `maximum` of PlanOffsetRange.
  constexpr std::uint32_t maximum() const { return second_; }
  /// Reason text of Schedule; empty for the other variants.
  constexpr std::string_view reason() const { return reason_ ? std::string_view(reason_) : std::string_view(); }

  /// The user-facing text.
  std::string message() const;
  /// The structural form, e.g. `Tile(5)` or `Schedule("sender delay")`.
  std::string debug() const;

  friend constexpr bool operator==(const ExchangeError& a, const ExchangeError& b) {
    return a.kind_ == b.kind_ && a.first_ == b.first_ && a.second_ == b.second_ && a.reason() == b.reason();
  }

 private:
  constexpr explicit ExchangeError(Kind kind, std::uint32_t first = 0, std::uint32_t second = 0)
      : kind_(kind), first_(first), second_(second) {}

  Kind kind_;
  std::uint32_t first_ = 0;
  std::uint32_t second_ = 0;
  const char* reason_ = nullptr;
};

}  // namespace kel_exchange
