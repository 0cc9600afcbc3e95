// Snapshot reader: accepted forms, the exact error texts and positions, and
// hostile inputs (deep nesting, invalid UTF-8, huge tokens, failing files).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kel_codegen/exchange/SnapshotReader.h"

namespace kel_codegen::exchange {
namespace {

constexpr std::string_view kEmptyDocument = R"({"schema_version":3,"tile_count":1,"phases":[]})";

constexpr std::string_view kTransfer =
    R"({"source":1,"source_addresses":[4096],"destinations":[{"tile":2,"address":8192}],"words":4,"width":"Word32"})";

std::string with_transfer(std::string_view transfer) {
  return std::string(R"({"schema_version":3,"tile_count":8,"phases":[{"phase":7,"transfers":[)") +
         std::string(transfer) + "]}]}";
}

// The base transfer with `text` replacing the value of key `key`.
std::string with_field(std::string_view key, std::string_view text) {
  std::string t(kTransfer);
  std::string needle(1, '"');
  needle.append(key).append("\":");
  const std::size_t start = t.find(needle) + needle.size();
  std::size_t end = start;
  int nesting = 0;
  for (; end < t.size(); ++end) {
    const char c = t[end];
    if (c == '[' || c == '{') ++nesting;
    if (c == ']' || c == '}') {
      if (nesting == 0) break;
      --nesting;
    }
    if (c == ',' && nesting == 0) break;
  }
  t.replace(start, end - start, text);
  return with_transfer(t);
}

ExchangeScheduleTransfer base_transfer() { return {1, {4096}, {{2, 8192}}, 4, ExchangeItemWidth::Word32}; }

ExchangeScheduleSnapshot base_snapshot(ExchangeScheduleTransfer t = base_transfer()) {
  return {3, 8, {{7, {std::move(t)}}}};
}

std::string message_of(std::string_view json) {
  const auto parsed = parse_snapshot(json);
  return parsed ? std::string("<ok>") : parsed.error().message;
}

TEST(SnapshotReader, ReadsTheBaseDocument) {
  const auto parsed = parse_snapshot(with_transfer(kTransfer));
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(*parsed, base_snapshot());
}

struct ErrorCase {
  const char* name;
  std::string json;
  std::string message;
};

class ReaderErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReaderErrors, ReportsTheExactMessage) { EXPECT_EQ(message_of(GetParam().json), GetParam().message); }

const char* case_name(const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Fields, ReaderErrors,
    ::testing::Values(
        ErrorCase{"MissingSchemaVersion", R"({"tile_count":1,"phases":[]})", "missing field `schema_version`"},
        ErrorCase{"MissingTileCount", R"({"schema_version":3,"phases":[]})", "missing field `tile_count`"},
        ErrorCase{"MissingPhases", R"({"schema_version":3,"tile_count":1})", "missing field `phases`"},
        ErrorCase{"MissingPhaseReportsFirstDeclared", R"({"schema_version":3,"tile_count":1,"phases":[{}]})",
                  "missing field `phase`"},
        ErrorCase{"MissingWidth", with_transfer(R"({"source":1,"source_addresses":[0],"destinations":[],"words":4})"),
                  "missing field `width`"},
        ErrorCase{"MissingAddress", with_field("destinations", R"([{"tile":2}])"), "missing field `address`"},
        ErrorCase{"DuplicateRootField", R"({"schema_version":3,"schema_version":3,"tile_count":1,"phases":[]})",
                  "duplicate field `schema_version`"},
        ErrorCase{"DuplicateWidth",
                  with_transfer(R"({"source":1,"source_addresses":[],"destinations":[],"words":4,)"
                                R"("width":"Word32","width":"Word32"})"),
                  "duplicate field `width`"},
        ErrorCase{"DuplicateUnknownKeyIsFine", R"({"x":1,"x":2,"schema_version":3,"tile_count":1,"phases":[]})",
                  "<ok>"},
        ErrorCase{"KeysAreCaseSensitive", R"({"Schema_version":3,"tile_count":1,"phases":[]})",
                  "missing field `schema_version`"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    ArrayForms, ReaderErrors,
    ::testing::Values(ErrorCase{"RootAsArray", R"([3,8,[]])", "<ok>"},
                      ErrorCase{"TransferTooShort", with_transfer(R"([1,[4096]])"),
                                "invalid length 2, expected struct ExchangeScheduleTransfer with 5 elements"},
                      ErrorCase{"DestinationTooShort", with_field("destinations", "[[2]]"),
                                "invalid length 1, expected struct ExchangeScheduleDestination with 2 elements"},
                      ErrorCase{"DestinationEmpty", with_field("destinations", "[[]]"),
                                "invalid length 0, expected struct ExchangeScheduleDestination with 2 elements"},
                      ErrorCase{"DestinationTooLong", with_field("destinations", "[[2,8192,5]]"),
                                "invalid length 3, expected struct ExchangeScheduleDestination with 2 elements"},
                      ErrorCase{"SurplusOfAnyType", with_field("destinations", R"([[2,8192,{"a":[1,[2]]},"x",null]])"),
                                "invalid length 5, expected struct ExchangeScheduleDestination with 2 elements"},
                      ErrorCase{"RootTooShort", "[3]",
                                "invalid length 1, expected struct ExchangeScheduleSnapshot with 3 elements"},
                      ErrorCase{"ProblemTooLong", R"({"schema_version":3,"tile_count":1,"phases":[[1,[],2]]})",
                                "invalid length 3, expected struct ExchangeScheduleProblem with 2 elements"},
                      ErrorCase{"ArrayElementsAreTyped", R"([3,"8",[]])", "invalid type: string \"8\", expected u16"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Widths, ReaderErrors,
    ::testing::Values(
        ErrorCase{"LowerCaseName", with_field("width", R"("paired64")"),
                  "unknown variant `paired64`, expected `Word32` or `Paired64`"},
        ErrorCase{"EmptyName", with_field("width", R"("")"), "unknown variant ``, expected `Word32` or `Paired64`"},
        ErrorCase{"UnknownObjectKey", with_field("width", R"({"Word64":null})"),
                  "unknown variant `Word64`, expected `Word32` or `Paired64`"},
        ErrorCase{"ObjectValueNotNull", with_field("width", R"({"Paired64":1})"),
                  "invalid type: integer `1`, expected unit"},
        ErrorCase{"ObjectValueMap", with_field("width", R"({"Paired64":{}})"), "invalid type: map, expected unit"},
        ErrorCase{"ObjectValueString", with_field("width", R"({"Paired64":"x"})"),
                  "invalid type: string \"x\", expected unit"},
        ErrorCase{"EmptyObject", with_field("width", "{}"), "invalid type: empty map, expected enum ExchangeItemWidth"},
        ErrorCase{"TwoKeys", with_field("width", R"({"Paired64":null,"Word32":null})"),
                  "invalid type: map with more than one key, expected enum ExchangeItemWidth"},
        ErrorCase{"Number", with_field("width", "1"), "invalid type: integer `1`, expected enum ExchangeItemWidth"},
        ErrorCase{"Null", with_field("width", "null"), "invalid type: null, expected enum ExchangeItemWidth"},
        ErrorCase{"Array", with_field("width", R"(["Paired64"])"),
                  "invalid type: sequence, expected enum ExchangeItemWidth"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Integers, ReaderErrors,
    ::testing::Values(
        ErrorCase{"U16Max", R"({"schema_version":3,"tile_count":65535,"phases":[]})", "<ok>"},
        ErrorCase{"U16Overflow", R"({"schema_version":3,"tile_count":65536,"phases":[]})",
                  "invalid value: integer `65536`, expected u16"},
        ErrorCase{"U32Max", R"({"schema_version":4294967295,"tile_count":1,"phases":[]})", "<ok>"},
        ErrorCase{"U32Overflow", R"({"schema_version":4294967296,"tile_count":1,"phases":[]})",
                  "invalid value: integer `4294967296`, expected u32"},
        ErrorCase{"BeyondU64", R"({"schema_version":123456789012345678901234567890,"tile_count":1,"phases":[]})",
                  "invalid value: integer `123456789012345678901234567890`, expected u32"},
        ErrorCase{"Negative", with_field("source", "-1"), "invalid value: integer `-1`, expected u16"},
        ErrorCase{"NegativeZero", with_field("words", "-0"), "invalid value: integer `-0`, expected u32"},
        ErrorCase{"Fraction", with_field("source", "1.0"), "invalid type: floating point `1.0`, expected u16"},
        ErrorCase{"Exponent", with_field("words", "1e3"), "invalid type: floating point `1e3`, expected u32"},
        ErrorCase{"UpperExponent", with_field("words", "4E0"), "invalid type: floating point `4E0`, expected u32"},
        ErrorCase{"NegativeFraction", with_field("words", "-1.5"), "invalid type: floating point `-1.5`, expected u32"},
        ErrorCase{"TooBigForDouble", with_field("words", "1e400"), "number out of range"},
        ErrorCase{"String", with_field("words", R"("4")"), "invalid type: string \"4\", expected u32"},
        ErrorCase{"Bool", with_field("words", "true"), "invalid type: boolean `true`, expected u32"},
        ErrorCase{"Null", with_field("words", "null"), "invalid type: null, expected u32"},
        ErrorCase{"Sequence", with_field("words", "[4]"), "invalid type: sequence, expected u32"},
        ErrorCase{"Map", with_field("words", "{}"), "invalid type: map, expected u32"},
        ErrorCase{"AddressElement", with_field("source_addresses", "[0,-4]"),
                  "invalid value: integer `-4`, expected u32"},
        ErrorCase{"LongNumberIsShortened", with_field("words", std::string(100, '9')),
                  "invalid value: integer `" + std::string(64, '9') + "...`, expected u32"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Types, ReaderErrors,
    ::testing::Values(
        ErrorCase{"RootNumber", "5", "invalid type: integer `5`, expected struct ExchangeScheduleSnapshot"},
        ErrorCase{"RootString", R"("x")", "invalid type: string \"x\", expected struct ExchangeScheduleSnapshot"},
        ErrorCase{"PhasesAsMap", R"({"schema_version":3,"tile_count":1,"phases":{}})",
                  "invalid type: map, expected a sequence"},
        ErrorCase{"PhaseAsNumber", R"({"schema_version":3,"tile_count":1,"phases":[5]})",
                  "invalid type: integer `5`, expected struct ExchangeScheduleProblem"},
        ErrorCase{"DestinationAsString", with_field("destinations", R"(["a\"b"])"),
                  "invalid type: string \"a\\\"b\", expected struct ExchangeScheduleDestination"},
        ErrorCase{"AddressesAsNull", with_field("source_addresses", "null"),
                  "invalid type: null, expected a sequence"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Syntax, ReaderErrors,
    ::testing::Values(
        ErrorCase{"Empty", "", "EOF while parsing a value"},
        ErrorCase{"OnlyWhiteSpace", " \n\t\r ", "EOF while parsing a value"},
        ErrorCase{"UnclosedObject", R"({"schema_version":3,)", "EOF while parsing an object"},
        ErrorCase{"UnclosedList", R"({"schema_version":3,"tile_count":1,"phases":[)", "EOF while parsing a value"},
        ErrorCase{"UnclosedString", R"({"schema)", "EOF while parsing a string"},
        ErrorCase{"TrailingComma", R"({"schema_version":3,})", "key must be a string"},
        ErrorCase{"MissingColon", R"({"schema_version" 3})", "expected `:`"},
        ErrorCase{"MissingComma", R"({"schema_version":3 "tile_count":1})", "expected `,` or `}`"},
        ErrorCase{"MissingArrayComma", "[3 8]", "expected `,` or `]`"},
        ErrorCase{"TrailingGarbage", R"({"schema_version":3,"tile_count":1,"phases":[]}x)", "trailing characters"},
        ErrorCase{"SecondDocument", R"({"schema_version":3,"tile_count":1,"phases":[]} {})", "trailing characters"},
        ErrorCase{"TrailingWhiteSpace", "{\"schema_version\":3,\"tile_count\":1,\"phases\":[]} \r\n\t ", "<ok>"},
        ErrorCase{"NulAfterRoot", std::string(kEmptyDocument) + '\0', "trailing characters"},
        ErrorCase{"NulThenGarbage", std::string(kEmptyDocument) + " " + '\0' + "{}", "trailing characters"},
        ErrorCase{"NulInsideValue", "[3," + std::string(1, '\0') + "1,[]]", "expected value"},
        ErrorCase{"ControlCharacterInString", "{\"x\":\"a\tb\"}", "invalid escape or control character in string"},
        ErrorCase{"BadEscape", R"({"x":"\q"})", "invalid escape or control character in string"},
        ErrorCase{"LoneSurrogate", R"({"x":"\ud800"})", "invalid surrogate pair in string"},
        ErrorCase{"NaN", R"({"schema_version":NaN})", "expected value"},
        ErrorCase{"Comment", "// c\n{}", "expected value"},
        ErrorCase{"ByteOrderMark", "\xEF\xBB\xBF{}", "expected value"},
        ErrorCase{"MissingExponentDigits", R"({"schema_version":1e})",
                  "invalid number: expected a digit in the exponent"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Utf8, ReaderErrors,
    ::testing::Values(
        ErrorCase{"InvalidByteInSkippedValue", "{\"x\":\"\xFF\",\"schema_version\":3,\"tile_count\":1,\"phases\":[]}",
                  "invalid UTF-8 in string"},
        ErrorCase{"TruncatedSequenceInKey", "{\"\xC3(\":1}", "invalid UTF-8 in string"},
        ErrorCase{"OverlongEncoding", "{\"x\":\"\xC0\xAF\"}", "invalid UTF-8 in string"},
        ErrorCase{"EncodedSurrogate", "{\"x\":\"\xED\xA0\x80\"}", "invalid UTF-8 in string"},
        ErrorCase{"InvalidVariantName", with_field("width", "\"Word32\xFF\""), "invalid UTF-8 in string"},
        ErrorCase{"OutsideStrings", "{\xFF}", "key must be a string"},
        ErrorCase{"ValidMultiByteText",
                  "{\"caf\xC3\xA9\":\"\xF0\x9F\x98\x80\",\"schema_version\":3,\"tile_count\":1,\"phases\":[]}",
                  "<ok>"}),
    case_name);

TEST(SnapshotReader, SkipsUnknownKeysOfEveryTypeAtEveryLevel) {
  const std::string values[] = {
      R"({"a":{"b":[1,{"c":null}]}})",        R"([[],[{}],"x"])", R"("str \" ing")", "-1.5e-3", "true", "null",
      R"({"schema_version":"no","phases":5})"};
  for (const std::string& v : values) {
    const std::string json = R"({"u0":)" + v + R"(,"schema_version":3,"tile_count":8,"u1":)" + v +
                             R"(,"phases":[{"u2":)" + v + R"(,"phase":7,"transfers":[{"source":1,"u3":)" + v +
                             R"(,"source_addresses":[4096],"destinations":[{"tile":2,"u4":)" + v +
                             R"(,"address":8192,"u5":)" + v + R"(}],"words":4,"width":"Word32","u6":)" + v +
                             R"(}],"u7":)" + v + "}]}";
    const auto parsed = parse_snapshot(json);
    ASSERT_TRUE(parsed) << v << ": " << parsed.error().display();
    EXPECT_EQ(*parsed, base_snapshot()) << v;
  }
}

TEST(SnapshotReader, AcceptsEveryRecordAsAnArray) {
  const auto parsed = parse_snapshot(R"([3, 8, [[7, [[1, [4096], [[2, 8192]], 4, "Word32"]]]]])");
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(*parsed, base_snapshot());

  const auto destination = parse_snapshot(with_field("destinations", "[[12, 4096]]"));
  ASSERT_TRUE(destination) << destination.error().display();
  EXPECT_EQ(destination->phases[0].transfers[0].destinations, (std::vector<ExchangeScheduleDestination>{{12, 4096}}));
}

TEST(SnapshotReader, ReadsBothWidthForms) {
  for (const char* text : {R"("Paired64")", R"({"Paired64":null})", R"({ "Paired64" : null })"}) {
    const auto parsed = parse_snapshot(with_field("width", text));
    ASSERT_TRUE(parsed) << text << ": " << parsed.error().display();
    EXPECT_EQ(parsed->phases[0].transfers[0].width, ExchangeItemWidth::Paired64) << text;
  }
  const auto word = parse_snapshot(with_field("width", R"({"Word32":null})"));
  ASSERT_TRUE(word);
  EXPECT_EQ(word->phases[0].transfers[0].width, ExchangeItemWidth::Word32);
}

TEST(SnapshotReader, EmptyArraysReadAsEmpty) {
  const auto parsed = parse_snapshot(with_field("source_addresses", "[]"));
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->phases[0].transfers[0].source_addresses.empty());
}

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(SnapshotReader, DeepNestingUnderAnUnknownKeyIsAnErrorNotACrash) {
  const std::string deep = R"({"x":)" + nested_arrays(100000) + R"(,"schema_version":3,"tile_count":1,"phases":[]})";
  const auto parsed = parse_snapshot(deep);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().message, "recursion limit exceeded");
  EXPECT_EQ(parsed.error().line, 1u);
  EXPECT_EQ(parsed.error().column, 5u + 512u);  // the bracket that opens level 513

  // Within the limit the whole value is skipped.
  const std::string fits = R"({"x":)" + nested_arrays(511) + R"(,"schema_version":3,"tile_count":1,"phases":[]})";
  EXPECT_TRUE(parse_snapshot(fits));

  // Unterminated deep input fails the same way.
  EXPECT_EQ(message_of(R"({"x":)" + std::string(100000, '[')), "recursion limit exceeded");
}

TEST(SnapshotReader, LimitsAreConfigurable) {
  SnapshotReadLimits limits;
  limits.max_depth = 4;
  const std::string four = R"({"x":[[[1]]],"schema_version":3,"tile_count":1,"phases":[]})";
  EXPECT_TRUE(parse_snapshot(four, limits));
  const std::string five = R"({"x":[[[[1]]]],"schema_version":3,"tile_count":1,"phases":[]})";
  const auto deep = parse_snapshot(five, limits);
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().message, "recursion limit exceeded");

  limits = {};
  limits.max_token_bytes = 1000;
  const std::string long_key = "{\"" + std::string(20000, 'k') + "\":1}";
  const auto token = parse_snapshot(long_key, limits);
  ASSERT_FALSE(token);
  EXPECT_EQ(token.error().message, "string, key or number longer than 1000 bytes");
  const std::string short_key = "{\"" + std::string(500, 'k') + R"(":1,"schema_version":3,"tile_count":1,"phases":[]})";
  EXPECT_TRUE(parse_snapshot(short_key, limits));
}

struct PositionCase {
  const char* name;
  std::string json;
  std::string display;
};

std::string position_case_name(const ::testing::TestParamInfo<PositionCase>& c) { return c.param.name; }

class ReaderPositions : public ::testing::TestWithParam<PositionCase> {};

TEST_P(ReaderPositions, NamesLineAndColumn) {
  const auto parsed = parse_snapshot(GetParam().json);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().display(), GetParam().display);
}

INSTANTIATE_TEST_SUITE_P(
    All, ReaderPositions,
    ::testing::Values(
        PositionCase{"Empty", "", "EOF while parsing a value at line 1 column 0"},
        PositionCase{"EndOfLines", "\n\n", "EOF while parsing a value at line 3 column 0"},
        PositionCase{"MissingFieldAtClosingBrace",
                     "{\n"
                     "  \"schema_version\": 3,\n"
                     "  \"tile_count\": 8,\n"
                     "  \"phases\": [\n"
                     "    {\"phase\": 1, \"transfers\": [\n"
                     "      {\"source\": 1, \"source_addresses\": [0], \"destinations\": [[2, 0]], \"words\": 1\n"
                     "    }]}\n"
                     "  ]\n"
                     "}\n",
                     "missing field `width` at line 7 column 5"},
        PositionCase{"NumberEndsAtItsLastDigit", "{\"schema_version\": 3,\n \"tile_count\": 65536}",
                     "invalid value: integer `65536`, expected u16 at line 2 column 20"},
        PositionCase{"DuplicateAtTheKey", R"({"tile_count":1,"tile_count":2})",
                     "duplicate field `tile_count` at line 1 column 28"},
        PositionCase{"InvalidTypeAtOpeningBracket", "{\"schema_version\":\n  [3]}",
                     "invalid type: sequence, expected u32 at line 2 column 3"},
        PositionCase{"ShortArrayAtClosingBracket", "[3]",
                     "invalid length 1, expected struct ExchangeScheduleSnapshot "
                     "with 3 elements at line 1 column 3"},
        PositionCase{"SyntaxErrorAtTheOffendingByte", "{\"a\":\r\n  x}", "expected value at line 2 column 3"},
        PositionCase{"TrailingAfterBlankLines", "[3,1,[]]\n\n x", "trailing characters at line 3 column 2"},
        PositionCase{"InvalidUtf8", "{\"x\":\n\"ab\xFF\"}", "invalid UTF-8 in string at line 2 column 4"}),
    position_case_name);

// A FILE* holding `text`, rewound; closed by the caller.
std::FILE* file_with(const std::string& text) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  return f;
}

std::string big_document(std::uint64_t seed, std::size_t transfers) {
  std::mt19937_64 rng(seed);
  std::string json = "{\n  \"schema_version\": 3,\n  \"tile_count\": 1472,\n  \"phases\": [\n";
  for (std::size_t p = 0; p < 3; ++p) {
    json += "    {\"phase\": " + std::to_string(p) + ", \"transfers\": [\n";
    for (std::size_t i = 0; i < transfers; ++i) {
      json += "      {\"source\": " + std::to_string(rng() % 1472) + ", \"source_addresses\": [" +
              std::to_string((rng() % 1000) * 4) + "], \"destinations\": [{\"tile\": " + std::to_string(rng() % 1472) +
              ", \"address\": " + std::to_string((rng() % 1000) * 8) +
              "}], \"words\": " + std::to_string(1 + rng() % 4148) + ", \"width\": \"Word32\"}" +
              (i + 1 < transfers ? ",\n" : "\n");
    }
    json += p < 2 ? "    ]},\n" : "    ]}\n";
  }
  json += "  ]\n}\n";
  return json;
}

TEST(SnapshotFileReader, ReadsAcrossManyBuffers) {
  const std::string json = big_document(1, 400);
  ASSERT_GT(json.size(), 8u * 8192u);
  std::FILE* f = file_with(json);
  ASSERT_NE(f, nullptr);
  const auto from_file = read_snapshot(f);
  std::fclose(f);
  const auto from_memory = parse_snapshot(json);
  ASSERT_TRUE(from_file) << from_file.error().display();
  ASSERT_TRUE(from_memory);
  EXPECT_EQ(*from_file, *from_memory);
  EXPECT_EQ(from_file->phases.size(), 3u);
  EXPECT_EQ(from_file->phases[2].transfers.size(), 400u);
}

// Errors anywhere in a document spanning many buffers are reported at the
// same place by the file reader and by the memory reader, and that place is
// the line and column counted over the text itself.
TEST(SnapshotFileReader, ErrorPositionsMatchTheMemoryReader) {
  const std::string json = big_document(2, 300);
  std::mt19937_64 rng(3);
  const char* replacements[] = {"x", "\"", "-", "1.5", "}", "\n\xFF", "\"width\":1,", ""};
  for (int trial = 0; trial < 200; ++trial) {
    std::string broken = json;
    const std::size_t at = rng() % broken.size();
    const std::string_view replacement = replacements[rng() % std::size(replacements)];
    if (replacement.empty())
      broken.resize(at);  // truncated
    else
      broken.replace(at, 1, replacement);
    const auto from_memory = parse_snapshot(broken);
    std::FILE* f = file_with(broken);
    ASSERT_NE(f, nullptr);
    const auto from_file = read_snapshot(f);
    std::fclose(f);
    ASSERT_EQ(from_memory.has_value(), from_file.has_value()) << trial;
    if (from_memory) continue;
    EXPECT_EQ(from_file.error(), from_memory.error()) << trial;
    // The column never runs past the end of its line.
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < broken.size() && line < from_memory.error().line; ++i)
      if (broken[i] == '\n') ++line, line_start = i + 1;
    const std::size_t line_end = std::min(broken.find('\n', line_start), broken.size());
    EXPECT_EQ(line, from_memory.error().line) << trial;
    EXPECT_LE(from_memory.error().column, line_end - line_start + 1) << trial;
  }
}

TEST(SnapshotFileReader, ErrorAfterManyBuffersNamesTheRightLine) {
  std::string json = big_document(4, 300);
  const std::size_t lines_before = static_cast<std::size_t>(std::count(json.begin(), json.end(), '\n'));
  json += "  x";
  std::FILE* f = file_with(json);
  ASSERT_NE(f, nullptr);
  const auto parsed = read_snapshot(f);
  std::fclose(f);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().display(), "trailing characters at line " + std::to_string(lines_before + 1) + " column 3");
}

TEST(SnapshotFileReader, EmptyFileIsAnError) {
  std::FILE* f = file_with("");
  ASSERT_NE(f, nullptr);
  const auto parsed = read_snapshot(f);
  std::fclose(f);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().display(), "EOF while parsing a value at line 1 column 0");
}

TEST(SnapshotFileReader, ReadFailureIsAnError) {
  const std::string path = ::testing::TempDir() + "snapshot_write_only.json";
  std::FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  const auto parsed = read_snapshot(f);
  std::fclose(f);
  std::remove(path.c_str());
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().message, "read error: Bad file descriptor (os error 9)");

  std::FILE* dir = std::fopen("/", "r");
  ASSERT_NE(dir, nullptr);
  const auto from_dir = read_snapshot(dir);
  std::fclose(dir);
  ASSERT_FALSE(from_dir);
  EXPECT_EQ(from_dir.error().message, "read error: Is a directory (os error 21)");
}

}  // namespace
}  // namespace kel_codegen::exchange
