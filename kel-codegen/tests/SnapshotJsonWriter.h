// Test-side JSON writer for snapshots: writes records as objects or as arrays
// of field values, widths as strings or one-key objects, and can sprinkle
// white space and unknown keys, so the reader's accepted forms can be checked
// by round trips.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "kel_codegen/exchange/ExchangeScheduleSnapshot.h"

namespace kel_codegen::exchange::testing {

enum class RecordForm { Object, Array, Mixed };

struct WriterStyle {
  RecordForm form = RecordForm::Object;
  bool width_objects = false;  ///< write widths as {"Name": null}; Mixed form picks per value
  bool noise = false;          ///< random white space and unknown keys
};

class SnapshotJsonWriter {
 public:
  SnapshotJsonWriter(WriterStyle style, std::uint64_t seed) : style_(style), rng_(seed) {}

  std::string write(const ExchangeScheduleSnapshot& s) {
    out_.clear();
    begin_record();
    field("schema_version", [&] { number(s.schema_version); });
    field("tile_count", [&] { number(s.tile_count); });
    field("phases", [&] {
      list(s.phases, [&](const ExchangeScheduleProblem& p) {
        begin_record();
        field("phase", [&] { number(p.phase); });
        field("transfers", [&] { list(p.transfers, [&](const ExchangeScheduleTransfer& t) { transfer(t); }); });
        end_record();
      });
    });
    end_record();
    space();
    return out_;
  }

  /// A random JSON value (any type, nesting up to `depth`), for unknown keys.
  std::string random_value(int depth) {
    const std::string saved = std::move(out_);
    out_.clear();
    value(depth);
    std::string v = std::move(out_);
    out_ = saved;
    return v;
  }

 private:
  void transfer(const ExchangeScheduleTransfer& t) {
    begin_record();
    field("source", [&] { number(t.source); });
    field("source_addresses", [&] { list(t.source_addresses, [&](std::uint32_t a) { number(a); }); });
    field("destinations", [&] {
      list(t.destinations, [&](const ExchangeScheduleDestination& d) {
        begin_record();
        field("tile", [&] { number(d.tile); });
        field("address", [&] { number(d.address); });
        end_record();
      });
    });
    field("words", [&] { number(t.words); });
    field("width", [&] {
      const char* name = t.width == ExchangeItemWidth::Word32 ? "\"Word32\"" : "\"Paired64\"";
      const bool as_object = style_.form == RecordForm::Mixed ? coin() : style_.width_objects;
      if (as_object) {
        out_ += '{';
        space();
        out_ += name;
        space();
        out_ += ':';
        space();
        out_ += "null";
        space();
        out_ += '}';
      } else {
        out_ += name;
      }
    });
    end_record();
  }

  void begin_record() {
    arrays_.push_back(style_.form == RecordForm::Array || (style_.form == RecordForm::Mixed && coin()));
    first_.push_back(true);
    out_ += arrays_.back() ? '[' : '{';
    space();
  }
  void end_record() {
    if (!arrays_.back() && style_.noise && coin()) unknown_key();
    space();
    out_ += arrays_.back() ? ']' : '}';
    arrays_.pop_back();
    first_.pop_back();
  }
  template <class Fn>
  void field(const char* key, Fn&& write_value) {
    if (!arrays_.back() && style_.noise && rng_() % 4 == 0) unknown_key();
    separator();
    if (!arrays_.back()) {
      out_ += '"';
      out_ += key;
      out_ += '"';
      space();
      out_ += ':';
      space();
    }
    write_value();
  }
  void unknown_key() {
    separator();
    out_ += "\"extra_" + std::to_string(rng_() % 1000) + "\"";
    space();
    out_ += ':';
    space();
    value(3);
  }
  void separator() {
    if (!first_.back()) {
      space();
      out_ += ',';
      space();
    }
    first_.back() = false;
  }
  template <class Range, class Fn>
  void list(const Range& items, Fn&& write_item) {
    out_ += '[';
    space();
    bool first = true;
    for (const auto& item : items) {
      if (!first) {
        space();
        out_ += ',';
        space();
      }
      first = false;
      write_item(item);
    }
    space();
    out_ += ']';
  }
  void number(std::uint64_t v) { out_ += std::to_string(v); }
  void space() {
    if (!style_.noise) return;
    static constexpr const char* kSpaces[] = {"", " ", "\n", "\t", "\r\n  ", "   "};
    out_ += kSpaces[rng_() % 6];
  }
  bool coin() { return rng_() % 2 == 0; }

  void value(int depth) {
    switch (rng_() % (depth > 0 ? 9 : 7)) {
      case 0:
        out_ += "null";
        break;
      case 1:
        out_ += coin() ? "true" : "false";
        break;
      case 2:
        out_ += std::to_string(rng_() % 100000);
        break;
      case 3:
        out_ += "-12.5e-3";
        break;
      case 4:
        out_ += "\"text with \\\"escapes\\\" \\u00e9 \\ud83d\\ude00 and \xc3\xa9\"";
        break;
      case 5:
        out_ += "\"Paired64\"";
        break;
      case 6:
        out_ += "{\"source\": 1, \"words\": [1, 2]}";
        break;
      case 7: {
        out_ += '[';
        const int n = static_cast<int>(rng_() % 4);
        for (int i = 0; i < n; ++i) {
          if (i) out_ += ',';
          value(depth - 1);
        }
        out_ += ']';
        break;
      }
      default: {
        out_ += '{';
        const int n = static_cast<int>(rng_() % 4);
        for (int i = 0; i < n; ++i) {
          if (i) out_ += ',';
          // Keys that records know, used where no record reads them.
          out_ += i % 2 ? "\"tile\":" : "\"phases\":";
          value(depth - 1);
        }
        out_ += '}';
        break;
      }
    }
  }

  WriterStyle style_;
  std::mt19937_64 rng_;
  std::string out_;
  std::vector<bool> arrays_;
  std::vector<bool> first_;
};

}  // namespace kel_codegen::exchange::testing
