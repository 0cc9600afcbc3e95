// Debug forms of decoded operations, in the conventional structural notation.
#include "kel_exchange/diagnostic/PlanOperation.h"

#include <fmt/format.h>

#include <iterator>

namespace kel_exchange::diagnostic {

std::string_view debug_name(SendEncoding encoding) {
  switch (encoding) {
    case SendEncoding::Explicit:
      return "Explicit";
    case SendEncoding::Offset:
      return "Offset";
    case SendEncoding::Pic:
      return "Pic";
    case SendEncoding::PicPair:
      return "PicPair";
  }
  return "?";
}

void SendControls::append_debug(std::string& out) const {
  out += '[';
  for (std::size_t i = 0; i < size_; ++i) {
    if (i != 0) out += ", ";
    items_[i].append_debug(out);
  }
  out += ']';
}

std::string SendControls::debug() const {
  std::string out;
  append_debug(out);
  return out;
}

namespace {

struct DebugAppender {
  std::string& out;

  void operator()(const PlanOperation::Delay&) const { out += "Delay"; }
  void operator()(const IncomingControl& control) const {
    out += "IncomingControl(";
    control.append_debug(out);
    out += ')';
  }
  void operator()(const PlanOperation::Send& send) const {
    auto it = std::back_inserter(out);
    fmt::format_to(it, "Send {{ encoding: {}, words: {}, raw_operand: {}, send_control: ", debug_name(send.encoding),
                   send.words, send.raw_operand);
    if (send.send_control)
      fmt::format_to(it, "Some({})", static_cast<unsigned>(*send.send_control));
    else
      out += "None";
    out += ", controls: ";
    send.controls.append_debug(out);
    out += " }";
  }
  void operator()(const PlanOperation::Sync& sync) const {
    fmt::format_to(std::back_inserter(out), "Sync({})", static_cast<unsigned>(sync.id));
  }
  void operator()(const PlanOperation::Return&) const { out += "Return"; }
  void operator()(const PlanOperation::Unknown& unknown) const {
    fmt::format_to(std::back_inserter(out), "Unknown({})", unknown.word);
  }
};

}  // namespace

void PlanOperation::append_debug(std::string& out) const { std::visit(DebugAppender{out}, value_); }

std::string PlanOperation::debug() const {
  std::string out;
  append_debug(out);
  return out;
}

}  // namespace kel_exchange::diagnostic
