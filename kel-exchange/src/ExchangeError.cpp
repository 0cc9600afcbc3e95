// Display and debug texts of ExchangeError.
#include "kel_exchange/ExchangeError.h"

#include <fmt/format.h>

namespace kel_exchange {

std::string ExchangeError::message() const {
  switch (kind_) {
    case Kind::ValidationBudgetExceeded:
      return "exchange incremental-encoding work budget exhausted";
    case Kind::Tile:
      return fmt::format("logical tile {} is out of range", first_);
    case Kind::DuplicateTile:
      return "exchange endpoints must be distinct";
    case Kind::Count:
      return fmt::format("exchange count {} is outside 1..={}", first_, kMaxExchangeWords);
    case Kind::ReceiverSet:
      return "invalid multicast receiver set";
    case Kind::Schedule:
      return fmt::format("exchange schedule is not encodable: {}", reason());
    case Kind::PlanOffsetRange:
      return fmt::format(
          "exchange event offset {} cycles from the phase-entry sync exceeds the encodable maximum of {} cycles",
          first_, second_);
    case Kind::Address:
      return fmt::format("tile address 0x{:x} is not encodable", first_);
    case Kind::HostPacket:
      return "host exchange address or length is not encodable";
  }
  return {};
}

std::string ExchangeError::debug() const {
  switch (kind_) {
    case Kind::ValidationBudgetExceeded:
      return "ValidationBudgetExceeded";
    case Kind::Tile:
      return fmt::format("Tile({})", first_);
    case Kind::DuplicateTile:
      return "DuplicateTile";
    case Kind::Count:
      return fmt::format("Count({})", first_);
    case Kind::ReceiverSet:
      return "ReceiverSet";
    case Kind::Schedule:
      return fmt::format("Schedule(\"{}\")", reason());
    case Kind::PlanOffsetRange:
      return fmt::format("PlanOffsetRange {{ cycles: {}, maximum: {} }}", first_, second_);
    case Kind::Address:
      return fmt::format("Address({})", first_);
    case Kind::HostPacket:
      return "HostPacket";
  }
  return {};
}

}  // namespace kel_exchange
