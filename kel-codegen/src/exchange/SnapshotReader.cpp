// Snapshot reading on top of an iterative SAX JSON reader. The handler is an
// explicit state machine (a fixed stack of frames plus a counter for skipped
// values), so nesting never recurses; it copies no key text and allocates only
// the records themselves. Line and column are recovered from byte offsets at
// the point of failure.
#include "kel_codegen/exchange/SnapshotReader.h"

#include <fmt/format.h>
#include <rapidjson/encodings.h>
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "kel_runtime/Invariant.h"

namespace kel_codegen::exchange {

std::string SnapshotParseError::display() const {
  return fmt::format("{} at line {} column {}", message, line, column);
}

namespace {

constexpr std::size_t kReadBufferBytes = 8192;
// Scratch bytes the reader's stack keeps per nesting level, on top of a token.
constexpr std::size_t kStackBytesPerLevel = 16;

// Input over either a memory block or a file read in fixed-size chunks. The
// chunk is refilled as soon as its last byte is taken, so `cur_ == end_` only
// at the end of input. Newlines of finished chunks are folded into a count,
// which is all that locating an error later needs.
class TrackedStream {
 public:
  using Ch = char;

  explicit TrackedStream(std::string_view text)
      : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}

  TrackedStream(std::FILE* file, char* buffer, std::size_t capacity)
      : begin_(buffer), cur_(buffer), end_(buffer), file_(file), buffer_(buffer), capacity_(capacity) {
    refill();
  }

  Ch Peek() const { return cur_ != end_ ? *cur_ : '\0'; }
  Ch Take() {
    if (cur_ == end_) return '\0';
    const Ch c = *cur_++;
    if (cur_ == end_ && file_ != nullptr) [[unlikely]]
      refill();
    return c;
  }
  std::size_t Tell() const { return consumed_before_ + static_cast<std::size_t>(cur_ - begin_); }

  // Output side of the stream concept; a reader never writes.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

  /// True at the real end of input (a NUL byte in the input is not the end).
  bool exhausted() const { return cur_ == end_; }
  bool read_failed() const { return read_failed_; }
  int read_errno() const { return read_errno_; }

  /// 1-based line and the column after the first `offset` bytes of input;
  /// `offset` lies in the current chunk or inside the token that ends there.
  std::pair<std::size_t, std::size_t> position(std::size_t offset) const {
    std::size_t lines = lines_before_;
    std::size_t line_start = line_start_;
    if (offset >= consumed_before_) {
      const std::size_t local = std::min(offset - consumed_before_, static_cast<std::size_t>(end_ - begin_));
      for (std::size_t i = 0; i < local; ++i) {
        if (begin_[i] == '\n') {
          ++lines;
          line_start = consumed_before_ + i + 1;
        }
      }
    }
    // Tokens never span a newline, so an offset in an earlier chunk is on the
    // line that was current when the chunk ended.
    return {lines + 1, offset > line_start ? offset - line_start : 0};
  }

 private:
  void refill() {
    for (const char* p = begin_; p != end_; ++p) {
      if (*p == '\n') {
        ++lines_before_;
        line_start_ = consumed_before_ + static_cast<std::size_t>(p - begin_) + 1;
      }
    }
    consumed_before_ += static_cast<std::size_t>(end_ - begin_);
    errno = 0;
    const std::size_t n = std::fread(buffer_, 1, capacity_, file_);
    if (n < capacity_) {
      if (std::ferror(file_)) {
        read_failed_ = true;
        read_errno_ = errno;
      }
      file_ = nullptr;
    }
    begin_ = buffer_;
    cur_ = buffer_;
    end_ = buffer_ + n;
  }

  const char* begin_;
  const char* cur_;
  const char* end_;
  std::FILE* file_ = nullptr;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t consumed_before_ = 0;  // bytes of finished chunks
  std::size_t lines_before_ = 0;     // newlines in finished chunks
  std::size_t line_start_ = 0;       // offset just after the last of them
  bool read_failed_ = false;
  int read_errno_ = 0;
};

// Scratch memory of the JSON reader (one token plus its nesting state). The
// reader cannot report a failed allocation, so both the cap and an exhausted
// heap leave it by std::bad_alloc, which the entry points catch.
class CappedAllocator {
 public:
  [[maybe_unused]] static const bool kNeedFree = true;

  CappedAllocator() = default;  // the reader's stack requires one; never used here
  explicit CappedAllocator(std::size_t cap) : cap_(cap) {}

  void* Malloc(std::size_t size) { return Realloc(nullptr, 0, size); }
  void* Realloc(void* original, std::size_t, std::size_t size) {
    if (size == 0) {
      std::free(original);
      return nullptr;
    }
    if (size > cap_) {
      exceeded_ = true;
      throw std::bad_alloc();
    }
    void* grown = std::realloc(original, size);
    if (grown == nullptr) throw std::bad_alloc();
    return grown;
  }
  static void Free(void* p) { std::free(p); }

  bool exceeded() const { return exceeded_; }

 private:
  std::size_t cap_ = static_cast<std::size_t>(-1);
  bool exceeded_ = false;
};

// Where the next JSON value goes.
enum class Slot : std::uint8_t {
  Snapshot,
  SchemaVersion,
  TileCount,
  Phases,
  Problem,
  PhaseId,
  Transfers,
  Transfer,
  Source,
  SourceAddresses,
  SourceAddress,
  Destinations,
  Words,
  Width,
  Destination,
  DestinationTile,
  DestinationAddress,
  WidthUnit,  // the null of the one-key width object
  Skip,
  None,
};

enum class RecordId : std::uint8_t { Snapshot, Problem, Transfer, Destination };

struct Field {
  std::string_view key;
  Slot slot;
};

struct Record {
  std::string_view name;
  std::array<Field, 5> fields;
  std::uint8_t count;
};

constexpr std::array<Record, 4> kRecords = {{
    {"ExchangeScheduleSnapshot",
     {{{"schema_version", Slot::SchemaVersion}, {"tile_count", Slot::TileCount}, {"phases", Slot::Phases}}},
     3},
    {"ExchangeScheduleProblem", {{{"phase", Slot::PhaseId}, {"transfers", Slot::Transfers}}}, 2},
    {"ExchangeScheduleTransfer",
     {{{"source", Slot::Source},
       {"source_addresses", Slot::SourceAddresses},
       {"destinations", Slot::Destinations},
       {"words", Slot::Words},
       {"width", Slot::Width}}},
     5},
    {"ExchangeScheduleDestination", {{{"tile", Slot::DestinationTile}, {"address", Slot::DestinationAddress}}}, 2},
}};

const Record& record_of(RecordId id) { return kRecords[static_cast<std::size_t>(id)]; }

std::optional<RecordId> record_slot(Slot slot) {
  switch (slot) {
    case Slot::Snapshot:
      return RecordId::Snapshot;
    case Slot::Problem:
      return RecordId::Problem;
    case Slot::Transfer:
      return RecordId::Transfer;
    case Slot::Destination:
      return RecordId::Destination;
    default:
      return std::nullopt;
  }
}

// The element slot of an array field.
Slot element_slot(Slot slot) {
  switch (slot) {
    case Slot::Phases:
      return Slot::Problem;
    case Slot::Transfers:
      return Slot::Transfer;
    case Slot::SourceAddresses:
      return Slot::SourceAddress;
    case Slot::Destinations:
      return Slot::Destination;
    default:
      return Slot::None;
  }
}

std::string expectation(Slot slot) {
  if (const auto record = record_slot(slot)) return fmt::format("struct {}", record_of(*record).name);
  switch (slot) {
    case Slot::TileCount:
    case Slot::Source:
    case Slot::DestinationTile:
      return "u16";
    case Slot::Phases:
    case Slot::Transfers:
    case Slot::SourceAddresses:
    case Slot::Destinations:
      return "a sequence";
    case Slot::Width:
      return "enum ExchangeItemWidth";
    case Slot::WidthUnit:
      return "unit";
    default:
      return "u32";
  }
}

// Input text as messages show it: escaped, and cut short when long.
std::string shown(std::string_view text) {
  constexpr std::size_t kShownBytes = 64;
  bool cut = false;
  if (text.size() > kShownBytes) {
    std::size_t n = kShownBytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;  // keep whole characters
    text = text.substr(0, n);
    cut = true;
  }
  std::string out;
  out.reserve(text.size() + 3);
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{{{:x}}}", static_cast<unsigned>(c));
    } else {
      out.push_back(c);
    }
  }
  if (cut) out += "...";
  return out;
}

std::optional<ExchangeItemWidth> width_named(std::string_view name) {
  if (name == "Word32") return ExchangeItemWidth::Word32;
  if (name == "Paired64") return ExchangeItemWidth::Paired64;
  return std::nullopt;
}

enum class FrameKind : std::uint8_t {
  Object,       // a record written as an object
  Array,        // a record written as an array of its field values
  Seq,          // an array field
  WidthObject,  // the one-key object form of ExchangeItemWidth
};

struct Frame {
  FrameKind kind;
  RecordId record;
  Slot slot;              // Object/WidthObject: the pending value; Seq: the element
  std::size_t count = 0;  // Array: values seen; WidthObject: keys seen
  std::uint8_t seen = 0;  // Object: one bit per field, in declared order
};

// Records snapshot fields from SAX events. Each event returns false after
// recording the first error; the reader then stops.
class SnapshotHandler {
 public:
  SnapshotHandler(const TrackedStream& stream, std::size_t max_depth) : stream_(stream), max_depth_(max_depth) {}

  bool Null() {
    bracket_ = false;
    if (skip_depth_ > 0) return true;
    const Slot slot = next_slot();
    if (slot == Slot::Skip || slot == Slot::WidthUnit) return true;
    return slot != Slot::None && invalid_type("null", slot);
  }
  bool Bool(bool value) {
    bracket_ = false;
    if (skip_depth_ > 0) return true;
    const Slot slot = next_slot();
    if (slot == Slot::Skip) return true;
    return slot != Slot::None && invalid_type(fmt::format("boolean `{}`", value), slot);
  }
  // Numbers arrive as raw text only.
  bool Int(int) { return unexpected_event(); }
  bool Uint(unsigned) { return unexpected_event(); }
  bool Int64(std::int64_t) { return unexpected_event(); }
  bool Uint64(std::uint64_t) { return unexpected_event(); }
  bool Double(double) { return unexpected_event(); }

  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    bracket_ = false;
    if (skip_depth_ > 0) return true;
    const std::string_view raw(text, length);
    switch (const Slot slot = next_slot()) {
      case Slot::SchemaVersion:
        return read_uint(raw, slot, snapshot_.schema_version);
      case Slot::TileCount:
        return read_uint(raw, slot, snapshot_.tile_count);
      case Slot::PhaseId:
        return read_uint(raw, slot, problem_->phase);
      case Slot::Source:
        return read_uint(raw, slot, transfer_->source);
      case Slot::SourceAddress: {
        std::uint32_t address = 0;
        if (!read_uint(raw, slot, address)) return false;
        transfer_->source_addresses.push_back(address);
        return true;
      }
      case Slot::Words:
        return read_uint(raw, slot, transfer_->words);
      case Slot::DestinationTile:
        return read_uint(raw, slot, destination_->tile);
      case Slot::DestinationAddress:
        return read_uint(raw, slot, destination_->address);
      case Slot::Skip:
        return true;
      case Slot::None:
        return false;
      default:
        return invalid_type(describe_number(raw), slot);
    }
  }

  bool String(const char* text, rapidjson::SizeType length, bool) {
    bracket_ = false;
    if (skip_depth_ > 0) return true;
    const std::string_view value(text, length);
    const Slot slot = next_slot();
    if (slot == Slot::Skip) return true;
    if (slot == Slot::Width) {
      const auto width = width_named(value);
      if (!width) return unknown_variant(value);
      transfer_->width = *width;
      return true;
    }
    return slot != Slot::None && invalid_type(fmt::format("string \"{}\"", shown(value)), slot);
  }

  bool StartObject() {
    bracket_ = true;
    if (skip_depth_ > 0) return enter_skipped();
    const Slot slot = next_slot();
    if (slot == Slot::None) return false;
    if (slot == Slot::Skip) return enter_skipped();
    if (const auto record = record_slot(slot)) return open_record(*record, slot, FrameKind::Object);
    if (slot == Slot::Width) return push({FrameKind::WidthObject, RecordId::Transfer, Slot::None});
    return invalid_type("map", slot);
  }

  bool Key(const char* text, rapidjson::SizeType length, bool) {
    bracket_ = false;
    if (skip_depth_ > 0) return true;
    const std::string_view key(text, length);
    Frame& frame = top();
    if (frame.kind == FrameKind::WidthObject) {
      if (frame.count++ > 0) return fail("invalid type: map with more than one key, expected enum ExchangeItemWidth");
      const auto width = width_named(key);
      if (!width) return unknown_variant(key);
      transfer_->width = *width;
      frame.slot = Slot::WidthUnit;
      return true;
    }
    const Record& record = record_of(frame.record);
    for (std::uint8_t i = 0; i < record.count; ++i) {
      if (record.fields[i].key != key) continue;
      const std::uint8_t bit = static_cast<std::uint8_t>(1u << i);
      if (frame.seen & bit) return fail(fmt::format("duplicate field `{}`", record.fields[i].key));
      frame.seen |= bit;
      frame.slot = record.fields[i].slot;
      return true;
    }
    frame.slot = Slot::Skip;
    return true;
  }

  bool EndObject(rapidjson::SizeType) {
    bracket_ = true;
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    const Frame& frame = top();
    if (frame.kind == FrameKind::WidthObject) {
      if (frame.count == 0) return fail("invalid type: empty map, expected enum ExchangeItemWidth");
    } else {
      const Record& record = record_of(frame.record);
      for (std::uint8_t i = 0; i < record.count; ++i)
        if (!(frame.seen & (1u << i))) return fail(fmt::format("missing field `{}`", record.fields[i].key));
    }
    --depth_;
    return true;
  }

  bool StartArray() {
    bracket_ = true;
    if (skip_depth_ > 0) return enter_skipped();
    const Slot slot = next_slot();
    if (slot == Slot::None) return false;
    if (slot == Slot::Skip) return enter_skipped();
    if (const auto record = record_slot(slot)) return open_record(*record, slot, FrameKind::Array);
    if (const Slot element = element_slot(slot); element != Slot::None)
      return push({FrameKind::Seq, RecordId::Snapshot, element});
    return invalid_type("sequence", slot);
  }

  bool EndArray(rapidjson::SizeType) {
    bracket_ = true;
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    const Frame& frame = top();
    if (frame.kind == FrameKind::Array) {
      const Record& record = record_of(frame.record);
      if (frame.count != record.count)
        return fail(fmt::format("invalid length {}, expected struct {} with {} elements", frame.count, record.name,
                                record.count));
    }
    --depth_;
    return true;
  }

  bool failed() const { return error_end_.has_value(); }
  const std::string& message() const { return message_; }
  /// Bytes of input up to and including the one at which the error arose.
  std::size_t error_end() const { return *error_end_; }
  ExchangeScheduleSnapshot take_snapshot() { return std::move(snapshot_); }

 private:
  Frame& top() {
    kel_runtime::expect(depth_ > 0, "snapshot reader frame stack is not empty");
    return frames_[depth_ - 1];
  }

  // The slot of the value that starts now; Slot::None after an error.
  Slot next_slot() {
    if (depth_ == 0) return Slot::Snapshot;
    Frame& frame = frames_[depth_ - 1];
    if (frame.kind != FrameKind::Array) return frame.slot;
    const Record& record = record_of(frame.record);
    // Surplus elements are skipped and counted for the length error at the end.
    const Slot slot = frame.count < record.count ? record.fields[frame.count].slot : Slot::Skip;
    ++frame.count;
    return slot;
  }

  bool open_record(RecordId record, Slot slot, FrameKind kind) {
    if (!room_for_one_more()) return false;
    switch (slot) {
      case Slot::Problem:
        problem_ = &snapshot_.phases.emplace_back();
        break;
      case Slot::Transfer:
        transfer_ = &problem_->transfers.emplace_back();
        break;
      case Slot::Destination:
        destination_ = &transfer_->destinations.emplace_back();
        break;
      default:
        break;
    }
    return push({kind, record, Slot::None});
  }

  bool push(const Frame& frame) {
    if (!room_for_one_more()) return false;
    kel_runtime::expect(depth_ < frames_.size(), "snapshot records nest at most seven deep");
    frames_[depth_++] = frame;
    return true;
  }

  bool enter_skipped() {
    if (!room_for_one_more()) return false;
    ++skip_depth_;
    return true;
  }

  bool room_for_one_more() {
    if (depth_ + skip_depth_ < max_depth_) return true;
    return fail("recursion limit exceeded");
  }

  template <class T>
  bool read_uint(std::string_view raw, Slot slot, T& out) {
    if (raw.find_first_of(".eE") != std::string_view::npos) return invalid_type(describe_number(raw), slot);
    const auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), out);
    if (raw.front() == '-' || ec != std::errc() || end != raw.data() + raw.size())
      return fail(fmt::format("invalid value: integer `{}`, expected {}", shown(raw), expectation(slot)));
    return true;
  }

  static std::string describe_number(std::string_view raw) {
    const bool fractional = raw.find_first_of(".eE") != std::string_view::npos;
    return fmt::format("{} `{}`", fractional ? "floating point" : "integer", shown(raw));
  }

  bool invalid_type(std::string_view what, Slot slot) {
    return fail(fmt::format("invalid type: {}, expected {}", what, expectation(slot)));
  }

  bool unknown_variant(std::string_view name) {
    return fail(fmt::format("unknown variant `{}`, expected `Word32` or `Paired64`", shown(name)));
  }

  bool unexpected_event() {
    bracket_ = false;
    return fail("unexpected numeric event");
  }

  bool fail(std::string message) {
    message_ = std::move(message);
    // The iterative reader reports brackets before consuming them.
    error_end_ = stream_.Tell() + (bracket_ ? 1 : 0);
    return false;
  }

  const TrackedStream& stream_;
  std::size_t max_depth_;
  ExchangeScheduleSnapshot snapshot_;
  ExchangeScheduleProblem* problem_ = nullptr;
  ExchangeScheduleTransfer* transfer_ = nullptr;
  ExchangeScheduleDestination* destination_ = nullptr;
  std::array<Frame, 8> frames_{};
  std::size_t depth_ = 0;
  std::size_t skip_depth_ = 0;
  bool bracket_ = false;
  std::string message_;
  std::optional<std::size_t> error_end_;
};

const char* syntax_message(rapidjson::ParseErrorCode code, bool at_end) {
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty:
    case kParseErrorValueInvalid:
      return at_end ? "EOF while parsing a value" : "expected value";
    case kParseErrorDocumentRootNotSingular:
      return "trailing characters";
    case kParseErrorObjectMissName:
      return at_end ? "EOF while parsing an object" : "key must be a string";
    case kParseErrorObjectMissColon:
      return at_end ? "EOF while parsing an object" : "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return at_end ? "EOF while parsing an object" : "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return at_end ? "EOF while parsing a list" : "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return "invalid hex escape in string";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return "invalid surrogate pair in string";
    case kParseErrorStringEscapeInvalid:
      return "invalid escape or control character in string";
    case kParseErrorStringMissQuotationMark:
      return at_end ? "EOF while parsing a string" : "NUL byte in string";
    case kParseErrorStringInvalidEncoding:
      return "invalid UTF-8 in string";
    case kParseErrorNumberTooBig:
      return "number out of range";
    case kParseErrorNumberMissFraction:
      return "invalid number: expected a digit after the decimal point";
    case kParseErrorNumberMissExponent:
      return "invalid number: expected a digit in the exponent";
    default:
      return "invalid JSON";
  }
}

std::unexpected<SnapshotParseError> failure(const TrackedStream& stream, std::string message, std::size_t end) {
  const auto [line, column] = stream.position(end);
  return std::unexpected(SnapshotParseError{std::move(message), line, column});
}

std::expected<ExchangeScheduleSnapshot, SnapshotParseError> parse_stream(TrackedStream& stream,
                                                                         const SnapshotReadLimits& limits) {
  constexpr unsigned kFlags =
      rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;
  // Bytes of input up to and including the one at `offset`, when there is one.
  const auto through = [&](std::size_t offset) {
    return offset < stream.Tell() || !stream.exhausted() ? offset + 1 : offset;
  };

  const std::size_t nesting_bytes =
      limits.max_depth > (std::size_t{1} << 32) ? std::size_t{1} << 36 : limits.max_depth * kStackBytesPerLevel;
  // The stack grows by half its size at a time, so a cap of one and a half
  // times the need admits every token up to the limit.
  const std::size_t need = limits.max_token_bytes + nesting_bytes + 1024;
  CappedAllocator allocator(need > (std::size_t{1} << 60) ? need : need + need / 2);
  SnapshotHandler handler(stream, limits.max_depth);
  rapidjson::ParseResult result;
  try {
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, CappedAllocator> reader(&allocator);
    result = reader.Parse<kFlags>(stream, handler);
  } catch (const std::bad_alloc&) {
    if (allocator.exceeded())
      return failure(stream, fmt::format("string, key or number longer than {} bytes", limits.max_token_bytes),
                     through(stream.Tell()));
    return failure(stream, "out of memory while reading the snapshot", through(stream.Tell()));
  } catch (const std::length_error&) {
    return failure(stream, "out of memory while reading the snapshot", through(stream.Tell()));
  }

  if (stream.read_failed()) {
    const int error = stream.read_errno();
    return failure(stream, fmt::format("read error: {} (os error {})", std::strerror(error), error), stream.Tell());
  }
  if (result.IsError()) {
    if (result.Code() == rapidjson::kParseErrorTermination && handler.failed())
      return failure(stream, handler.message(), handler.error_end());
    const bool at_end = result.Offset() == stream.Tell() && stream.exhausted();
    return failure(stream, syntax_message(result.Code(), at_end), through(result.Offset()));
  }
  // The reader takes a NUL byte for the end of input; anything from there on
  // is trailing input all the same.
  if (!stream.exhausted()) return failure(stream, "trailing characters", through(stream.Tell()));
  return handler.take_snapshot();
}

}  // namespace

std::expected<ExchangeScheduleSnapshot, SnapshotParseError> parse_snapshot(std::string_view json,
                                                                           const SnapshotReadLimits& limits) {
  TrackedStream stream(json);
  return parse_stream(stream, limits);
}

std::expected<ExchangeScheduleSnapshot, SnapshotParseError> read_snapshot(std::FILE* file,
                                                                          const SnapshotReadLimits& limits) {
  std::array<char, kReadBufferBytes> buffer;
  TrackedStream stream(file, buffer.data(), buffer.size());
  return parse_stream(stream, limits);
}

}  // namespace kel_codegen::exchange
