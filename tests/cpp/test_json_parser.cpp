#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "json_test_util.hpp"

using json_test::compact;
using json_test::JsonKind;
using json_test::JsonValue;
using json_test::parse;

namespace {

struct Case {
  const char* name;
  std::string text;
  std::string value;        // compact() of the result
  std::string diagnostics;  // exact standard error output
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

std::string nul_quote() { return std::string(1, '\0') + "'\n"; }

class JsonParserTable : public ::testing::TestWithParam<Case> {};

TEST_P(JsonParserTable, ValueAndDiagnostics) {
  const Case& c = GetParam();
  const auto parsed = parse(c.text);
  EXPECT_EQ(compact(parsed.value), c.value);
  EXPECT_EQ(parsed.diagnostics, c.diagnostics);
}

const std::string kObjEmpty = "{\n\n}";

INSTANTIATE_TEST_SUITE_P(
    Accepted, JsonParserTable,
    ::testing::Values(
        Case{"empty_object", "{}", kObjEmpty, ""}, Case{"spaced_object", "{ \n }", kObjEmpty, ""},
        Case{"empty_array", "[ ]", "[]", ""}, Case{"integer_then_space", "42 ", "42", ""},
        Case{"integers", "[15, -0, 007, 2147483647, -2147483648]", "[15, 0, 7, 2147483647, -2147483648]", ""},
        Case{"reals", "[1.5, 5., -0.0, -.5]", "[1.500000, 5.000000, -0.000000, -0.500000]", ""},
        Case{"exponents", "[1e2, 1E+2, 1e+2, 2e-1, 1.5e3, 1e400, 1e-400]",
             "[100.000000, 100.000000, 100.000000, 0.200000, 1500.000000, inf, 0.000000]", ""},
        Case{"conversion_prefixes", "[1-2, 1.2.3]", "[1, 1.200000]", ""},
        Case{"leading_whitespace_trailing_garbage", " \t\v\f\r\n[1] x y", "[1]", ""},
        Case{"literals", "[true, false, null]", "[true, false, null]", ""},
        Case{"truex_alone", "truex", "true", ""},
        Case{"strings", R"(["a\/b", "\x", "\\", "\u00e9", "\"", "\b\f\n\r\t"])",
             "[\"a/b\", \"\\\\\", \"\\\\\", \"\\\\u00e9\", \"\\\"\", \"\\b\\f\\n\\r\\t\"]", ""},
        Case{"raw_bytes_in_string", "[\"\t\n\xe4\xb8\xad\"]", "[\"\\t\\n\xe4\xb8\xad\"]", ""},
        Case{"escaped_keys", "{\"a\\\"b\": 1, \"t\tb\": 2}", "{\n\"a\\\"b\" : 1,\n\"t\\tb\" : 2\n}", ""},
        Case{"non_string_keys", "{true: 1, null: 2, [1]: 3, {}: 4, 5 : 6}", "{\n\"\" : 6\n}", ""},
        Case{"duplicate_key", "{\"k\": 1, \"k\": 2}", "{\n\"k\" : 2\n}", ""},
        Case{"unsorted_keys", "{\"b\": 1, \"a\": 2, \"c\": 3}", "{\n\"a\" : 2,\n\"b\" : 1,\n\"c\" : 3\n}", ""}));

INSTANTIATE_TEST_SUITE_P(
    Diagnosed, JsonParserTable,
    ::testing::Values(
        Case{"bare_number", "42", "null", "ERROR: Number: unexpected character '" + nul_quote()},
        Case{"bom", "\xef\xbb\xbf{}", "null", "ERROR: Parse: Unknown starting character '\xef'\n"},
        Case{"empty_text", "", "null", "ERROR: Parse: Unknown starting character '" + nul_quote()},
        Case{"number_then_letter", "[1x]", "[null]", "ERROR: Number: unexpected character 'x'\n"},
        Case{"trailing_comma_array", "[1,]", "[1, null]", "ERROR: Parse: Unknown starting character ']'\n"},
        Case{"trailing_comma_object", "{\"a\": 1,}", "{\n\"a\" : 1\n}",
             "ERROR: Parse: Unknown starting character '}'\nError: Object: Expected colon, found '}'\n"},
        Case{"trailing_comma_ends_outer_object", "{\"o\": {\"a\": 1,}, \"b\": 2}",
             "{\n\"o\" : {\n\"a\" : 1\n}\n}",
             "ERROR: Parse: Unknown starting character '}'\nError: Object: Expected colon, found '}'\n"},
        Case{"space_separated_elements", "[1 2]", "[]", "ERROR: Array: Expected ',' or ']', found '2'\n"},
        Case{"numeric_key", "{1: 2}", kObjEmpty,
             "ERROR: Number: unexpected character ':'\nError: Object: Expected colon, found '2'\n"},
        Case{"missing_comma_in_object", "{\"a\": 1 \"b\": 2}", "{\n\"a\" : 1\n}",
             "ERROR: Object: Expected comma, found '\"'\n"},
        Case{"tru", "[tru]", "[]",
             "ERROR: Bool: Expected 'true' or 'false', found 'tru]'\nERROR: Array: Expected ',' or ']', found 't'\n"},
        Case{"nul_alone", "nul", "null", "ERROR: Null: Expected 'null', found 'nul'\n"},
        Case{"truex_in_array", "[truex]", "[]", "ERROR: Array: Expected ',' or ']', found 'x'\n"},
        Case{"exponent_then_letter", "[1e5x]", "[null]", "ERROR: Number: Expected a number for exponent, found 'x'\n"},
        Case{"bad_unicode_escape", "[\"\\u12G4\"]", "[]",
             "ERROR: String: Expected hex character in unicode escape, found 'G'\n"
             "ERROR: Array: Expected ',' or ']', found 'u'\n"},
        Case{"unterminated_string", "\"abc", "\"abc\"",
             "ERROR: String: Expected '\"' before the end of the text, found '" + nul_quote()},
        Case{"backslash_at_end", "\"ab\\", "\"ab\\\\\"",
             "ERROR: String: Expected '\"' before the end of the text, found '" + nul_quote()},
        Case{"number_cut_at_end_in_array", "[1", "[]",
             "ERROR: Number: unexpected character '" + nul_quote() + "ERROR: Array: Expected ',' or ']', found '" +
                 nul_quote()},
        Case{"exponent_cut_at_end", "[1e", "[]",
             "ERROR: Number: Expected a number for exponent, found '" + nul_quote() +
                 "ERROR: Array: Expected ',' or ']', found '" + nul_quote()}));

struct Throwing {
  const char* text;
  bool out_of_range;
  const char* message;
};

class JsonParserThrows : public ::testing::TestWithParam<Throwing> {};

TEST_P(JsonParserThrows, NumberConversionErrors) {
  const Throwing& c = GetParam();
  try {
    parse(c.text);
    ADD_FAILURE() << "no exception for " << c.text;
  } catch (const std::out_of_range& e) {
    EXPECT_TRUE(c.out_of_range) << c.text;
    EXPECT_STREQ(e.what(), c.message);
  } catch (const std::invalid_argument& e) {
    EXPECT_FALSE(c.out_of_range) << c.text;
    EXPECT_STREQ(e.what(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, JsonParserThrows,
                         ::testing::Values(Throwing{"[-,1]", false, "invalid stol argument"},
                                           Throwing{"[1e,1]", false, "invalid stol argument"},
                                           Throwing{"[1e-]", false, "invalid stol argument"},
                                           Throwing{"[-.]", false, "invalid stod argument"},
                                           Throwing{"[2147483648]", true, "stol argument out of range"},
                                           Throwing{"[-2147483649]", true, "stol argument out of range"},
                                           Throwing{"[1e99999999999]", true, "stol argument out of range"},
                                           Throwing{"[10000000000e1]", true, "stol argument out of range"}));

TEST(JsonParser, RealOverflowInTheMantissaIsOutOfRange) {
  const std::string text = "[" + std::string(400, '9') + ".0]";
  EXPECT_THROW(parse(text), std::out_of_range);
}

TEST(JsonParser, ExponentIsOneMultiplicationByPow) {
  bool ok = false;
  EXPECT_EQ(parse("[3e-1]").value[0u].real_value(ok), 3 * std::pow(10, -1));
  EXPECT_EQ(parse("[3e-1]").value[0u].real_value(ok), 0.30000000000000004);
  EXPECT_EQ(parse("[1e2]").value[0u].kind(), JsonKind::Real);
  EXPECT_TRUE(std::signbit(parse("[-0.0]").value[0u].real_value(ok)));
}

TEST(JsonParser, DefaultDiagnosticsGoToStandardError) {
  ::testing::internal::CaptureStderr();
  const JsonValue value = JsonValue::parse("nul");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ERROR: Null: Expected 'null', found 'nul'\n");
  EXPECT_EQ(value.kind(), JsonKind::Null);
}

TEST(JsonParser, DeepNestingIsCutOffNotFollowed) {
  const std::string deep(100000, '[');
  const auto parsed = parse(deep);
  EXPECT_EQ(parsed.value.kind(), JsonKind::Array);
  EXPECT_NE(parsed.diagnostics.find("ERROR: Parse: Nesting deeper than 512 levels, found '['\n"), std::string::npos);
  // 512 levels are still read in full.
  const std::string ok_depth = std::string(512, '[') + std::string(512, ']');
  const auto fine = parse(ok_depth);
  EXPECT_EQ(fine.diagnostics, "");
  EXPECT_EQ(compact(fine.value), ok_depth);
}

TEST(JsonParser, WriterOutputReadsBackUnchanged) {
  const std::string text =
      "{\n  \"_b\" : 0.750000,\n  \"_doc_count\" : 1,\n  \"_doc_token_frequency\" : {\n    \"a\\\"b\" : 2,\n"
      "    \"x\" : [1, 2.500000, true, null, \"s\"]\n  }\n}";
  const auto parsed = parse(text);
  EXPECT_EQ(parsed.diagnostics, "");
  EXPECT_EQ(parsed.value.serialize(1, "  "), text);
}

// A real mantissa written out in full: "0." then `zeros` zeros then `digits`.
std::string small_real(std::size_t zeros, const char* digits) { return "[0." + std::string(zeros, '0') + digits + "]"; }

TEST(JsonParser, RealMantissaRangeIsStrtods) {
  // strtod reports a range error for results below the smallest normal
  // double, also for a text that only rounds up to it.
  for (const std::string& text : {small_real(309, "1"), small_real(400, "1"), small_real(307, "22250738585072011"),
                                  "[-" + small_real(320, "5").substr(1)}) {
    EXPECT_THROW(parse(text), std::out_of_range) << text.size();
  }
  bool ok = false;
  EXPECT_EQ(parse(small_real(307, "22250738585072014")).value[0u].real_value(ok),
            std::numeric_limits<double>::min());
  EXPECT_EQ(parse("[0.0]").value[0u].real_value(ok), 0.0);
  // The exponent is still one multiplication, which may go subnormal.
  EXPECT_EQ(parse("[1e-310]").value[0u].real_value(ok), 1 * std::pow(10, -310));
  EXPECT_TRUE(ok);
}

}  // namespace
