// Display and debug texts of ExchangeLoweringError.
#include "kel_codegen/exchange/ExchangeLoweringError.h"

#include <fmt/format.h>

namespace kel_codegen::exchange {

namespace {

// A quoted, escaped string literal as the debug form shows texts.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(static_cast<unsigned char>(c)));
        else
          out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string ExchangeLoweringError::message() const {
  switch (kind_) {
    case Kind::Exchange:
      return exchange_.message();
    case Kind::Storage:
      return text_;
    case Kind::UnplacedShard:
      return "exchange refers to an unplaced shard";
    case Kind::InvalidDestination:
      return "exchange destination is not writable";
    case Kind::UnalignedPayload:
      return "exchange payload is not a nonempty whole number of words";
    case Kind::SizeMismatch:
      return "exchange source and destination byte counts differ";
    case Kind::Overflow:
      return "exchange address arithmetic overflowed";
    case Kind::IncompatibleRepeatRows:
      return "structured-repeat exchange rows have incompatible shapes";
    case Kind::DiagnosticTile:
      return fmt::format("exchange diagnostic refers to missing tile {}", tile());
    case Kind::InvalidSnapshot:
      return fmt::format("invalid exchange-schedule snapshot: {}", text());
    case Kind::Invariant:
      return fmt::format("exchange-schedule invariant failed: {}", text());
  }
  return {};
}

std::string ExchangeLoweringError::debug() const {
  switch (kind_) {
    case Kind::Exchange:
      return fmt::format("Exchange({})", exchange_.debug());
    case Kind::Storage:
      return fmt::format("Storage(StorageError({}))", quoted(text_));
    case Kind::UnplacedShard:
      return "UnplacedShard";
    case Kind::InvalidDestination:
      return "InvalidDestination";
    case Kind::UnalignedPayload:
      return "UnalignedPayload";
    case Kind::SizeMismatch:
      return "SizeMismatch";
    case Kind::Overflow:
      return "Overflow";
    case Kind::IncompatibleRepeatRows:
      return "IncompatibleRepeatRows";
    case Kind::DiagnosticTile:
      return fmt::format("DiagnosticTile({})", tile());
    case Kind::InvalidSnapshot:
      return fmt::format("InvalidSnapshot({})", quoted(text()));
    case Kind::Invariant:
      return fmt::format("Invariant({})", quoted(text()));
  }
  return {};
}

}  // namespace kel_codegen::exchange
