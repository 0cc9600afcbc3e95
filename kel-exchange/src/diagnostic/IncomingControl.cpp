// Debug forms of decoded receive controls.
#include "kel_exchange/diagnostic/IncomingControl.h"

#include <fmt/format.h>

#include <iterator>

namespace kel_exchange::diagnostic {

std::string_view debug_name(IncomingControlStream stream) {
  switch (stream) {
    case IncomingControlStream::Pic:
      return "Pic";
    case IncomingControlStream::Xpic:
      return "Xpic";
  }
  return "?";
}

void IncomingControl::append_debug(std::string& out) const {
  fmt::format_to(std::back_inserter(out), "IncomingControl {{ stream: {}, value: {} }}", debug_name(stream), value);
}

std::string IncomingControl::debug() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace kel_exchange::diagnostic
