// Validation of an encoded tile program against its schedule. Receive controls
// are compared as sorted (cycle, control) lists; outgoing intervals come from
// the decoding in program order, so they are disjoint and sorted by start and
// by end, which lets each sender row find its intervals by bisection.
#include "kel_exchange/diagnostic/TileProgramValidation.h"

#include <fmt/format.h>

#include <algorithm>
#include <compare>
#include <iterator>
#include <string>
#include <vector>

#include "kel_exchange/ReceiveEvent.h"
#include "kel_exchange/ScheduledSenderRow.h"
#include "kel_runtime/Log.h"
#include "kel_runtime/Try.h"

namespace kel_exchange::diagnostic {
namespace {

constexpr const char* kTarget = "kel_exchange::diagnostic";

// A receive control and the cycle at which it takes effect.
struct ControlEntry {
  std::uint32_t cycle = 0;
  IncomingControl control;

  friend constexpr bool operator==(const ControlEntry&, const ControlEntry&) = default;
  friend constexpr auto operator<=>(const ControlEntry&, const ControlEntry&) = default;
};

struct OutgoingInterval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  bool in_row = false;  // set when a sender row's check accepted it
};

void append_entry(std::string& out, const ControlEntry& entry) {
  fmt::format_to(std::back_inserter(out), "({}, ", entry.cycle);
  entry.control.append_debug(out);
  out += ')';
}

// "(cycle, IncomingControl { .. })", or "None" past the end of the list.
std::string render_entry(const std::vector<ControlEntry>& list, std::size_t k) {
  if (k >= list.size()) return "None";
  std::string out;
  append_entry(out, list[k]);
  return out;
}

// The entries from k - 3 up to k + 4 (clamped to the list) as "[.., ..]";
// "None" when that range would end before it starts.
std::string render_window(const std::vector<ControlEntry>& list, std::size_t k) {
  const std::size_t start = k >= 3 ? k - 3 : 0;
  const std::size_t end = std::min(list.size(), k + 4);
  if (end < start) return "None";
  std::string out = "[";
  for (std::size_t i = start; i < end; ++i) {
    if (i != start) out += ", ";
    append_entry(out, list[i]);
  }
  out += ']';
  return out;
}

std::expected<void, ExchangeError> check_controls(std::size_t tile, const TileProgramSchedule& schedule,
                                                  const PlanProgramDiagnostic& decoded) {
  std::vector<ControlEntry> actual;
  std::vector<ControlEntry> expected;
  actual.reserve(schedule.receive_events.len());
  expected.reserve(schedule.receive_events.len());

  for (const DecodedPlanInstruction& instruction : decoded.instructions) {
    if (const IncomingControl* control = instruction.operation.incoming_control()) {
      actual.push_back({instruction.end_cycle, *control});
    } else if (const PlanOperation::Send* send = instruction.operation.send()) {
      // A send lasts at least one cycle, so start + 1 cannot overflow.
      for (const IncomingControl& carried : send->controls) actual.push_back({instruction.start_cycle + 1, carried});
    }
  }
  for (const ReceiveEvent& event : schedule.receive_events) {
    const IncomingControl control = is_xpic_kind(event.kind)
                                        ? IncomingControl{IncomingControlStream::Xpic, xpic_value(event.word)}
                                        : IncomingControl{IncomingControlStream::Pic, pic_value(event.word)};
    expected.push_back({event.cycle, control});
  }
  // Equal keys are identical entries, so an unstable sort is deterministic.
  std::sort(actual.begin(), actual.end());
  std::sort(expected.begin(), expected.end());
  if (actual == expected) return {};

  const std::size_t k = static_cast<std::size_t>(std::ranges::mismatch(actual, expected).in1 - actual.begin());
  KEL_DEBUG(kTarget, "encoded incoming controls differ from the phase schedule", kel_runtime::field("tile", tile),
            kel_runtime::field("first_mismatch", k), kel_runtime::field("actual_len", actual.size()),
            kel_runtime::field("expected_len", expected.size()), kel_runtime::field("actual", render_entry(actual, k)),
            kel_runtime::field("expected", render_entry(expected, k)),
            kel_runtime::field("actual_window", render_window(actual, k)),
            kel_runtime::field("expected_window", render_window(expected, k)));
  return std::unexpected(ExchangeError::schedule("encoded incoming-control mismatch"));
}

std::expected<void, ExchangeError> check_outgoing(const TileProgramSchedule& schedule,
                                                  const PlanProgramDiagnostic& decoded) {
  std::vector<OutgoingInterval> outgoing;
  for (const DecodedPlanInstruction& instruction : decoded.instructions) {
    const PlanOperation::Send* send = instruction.operation.send();
    // A send with control 0 only carries receive controls.
    if (send != nullptr && send->send_control != std::optional<std::uint8_t>(0))
      outgoing.push_back({instruction.start_cycle, instruction.end_cycle});
  }

  for (const ScheduledSenderRow& row : schedule.sender_rows) {
    // The intervals overlapping the row: those ending after its start, up to
    // the first one starting at or after its end.
    auto it = std::ranges::partition_point(outgoing, [&](const OutgoingInterval& iv) { return iv.end <= row.start; });
    std::uint32_t at = row.start;
    bool any = false;
    for (; it != outgoing.end() && it->start < row.end; ++it) {
      if (it->start != at) return std::unexpected(ExchangeError::schedule("encoded sender interval mismatch"));
      at = it->end;
      it->in_row = true;
      any = true;
    }
    if (!any || at != row.end) return std::unexpected(ExchangeError::schedule("encoded sender interval mismatch"));
  }

  // Once every row is tiled exactly by the intervals overlapping it, an
  // interval lies inside some row exactly when it overlaps one.
  for (const OutgoingInterval& iv : outgoing)
    if (!iv.in_row) return std::unexpected(ExchangeError::schedule("unexpected encoded outgoing interval"));
  return {};
}

std::expected<PlanProgramDiagnostic, ExchangeError> check(std::size_t tile, const TileProgramSchedule& schedule,
                                                          PlanProgramDiagnostic decoded) {
  if (decoded.end_cycle != schedule.event_horizon)
    return std::unexpected(ExchangeError::schedule("encoded tile horizon mismatch"));
  for (const DecodedPlanInstruction& instruction : decoded.instructions)
    if (instruction.operation.kind() == PlanOperation::Kind::Unknown)
      return std::unexpected(ExchangeError::schedule("unknown encoded exchange instruction"));
  TRY(check_controls(tile, schedule, decoded));
  TRY(check_outgoing(schedule, decoded));
  return decoded;
}

}  // namespace

std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(std::size_t tile,
                                                                          const TileProgramSchedule& schedule,
                                                                          std::span<const std::uint32_t> words) {
  return check(tile, schedule, TRY(diagnose_plan_program(words)));
}

std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(std::size_t tile,
                                                                          const TileProgramSchedule& schedule,
                                                                          const Chunked<std::uint32_t>& words) {
  return check(tile, schedule, TRY(diagnose_plan_program(words)));
}

}  // namespace kel_exchange::diagnostic
