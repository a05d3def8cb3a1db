#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "json/json_value.hpp"

using vorn::typing::text::JsonKind;
using vorn::typing::text::JsonValue;

namespace {
JsonValue real(double value) {
  JsonValue out;
  out = value;
  return out;
}
}  // namespace

TEST(JsonWriter, ScalarsStandAlone) {
  JsonValue value;
  EXPECT_EQ(value.serialize(1, "  "), "null");
  value = -5;
  EXPECT_EQ(value.serialize(1, "  "), "-5");
  value = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(value.serialize(1, "  "), "-2147483648");
  value = true;
  EXPECT_EQ(value.serialize(1, "  "), "true");
  value = "q\"\n\xe4\xb8\xad";
  EXPECT_EQ(value.serialize(1, "  "), "\"q\\\"\\n\xe4\xb8\xad\"");
}

struct RealCase {
  double value;
  const char* text;
};

class JsonWriterReal : public ::testing::TestWithParam<RealCase> {};

TEST_P(JsonWriterReal, WritesPercentF) { EXPECT_EQ(real(GetParam().value).serialize(1, "  "), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Table, JsonWriterReal,
                         ::testing::Values(RealCase{0.75, "0.750000"}, RealCase{1.2, "1.200000"},
                                           RealCase{2.0, "2.000000"}, RealCase{-0.0, "-0.000000"},
                                           RealCase{0.3333333, "0.333333"}, RealCase{10.0 / 3, "3.333333"},
                                           RealCase{1e20, "100000000000000000000.000000"},
                                           RealCase{4e-7, "0.000000"}, RealCase{-4e-7, "-0.000000"},
                                           RealCase{HUGE_VAL, "inf"}, RealCase{-HUGE_VAL, "-inf"}));

TEST(JsonWriter, RealsMatchPrintfInTheCLocale) {
  std::mt19937_64 random(3);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t bits = random();
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value) || std::fabs(value) > 1e30) value = std::ldexp(static_cast<double>(bits >> 11), -40 + static_cast<int>(bits % 60));
    char expected[512];
    std::snprintf(expected, sizeof expected, "%f", value);
    ASSERT_EQ(real(value).serialize(1, "  "), expected) << value;
  }
}

TEST(JsonWriter, RealsIgnoreTheProcessLocale) {
  const char* const previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 locale not installed";
  EXPECT_EQ(real(0.75).serialize(1, "  "), "0.750000");
  bool ok = false;
  EXPECT_EQ(JsonValue::parse("[2.5]")[0u].real_value(ok), 2.5);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(JsonWriter, ModelDocumentLayout) {
  JsonValue root;
  root["_doc_token_frequency"] = JsonValue(JsonKind::Object);
  root["_doc_token_frequency"]["2"] = 2;
  root["_doc_token_frequency"]["1"] = 1;
  root["_doc_count"] = 2;
  root["_doc_length_average"] = 1.5;
  root["_b"] = 0.75;
  root["_k1"] = 1.2;
  EXPECT_EQ(root.serialize(1, "  "),
            "{\n"
            "  \"_b\" : 0.750000,\n"
            "  \"_doc_count\" : 2,\n"
            "  \"_doc_length_average\" : 1.500000,\n"
            "  \"_doc_token_frequency\" : {\n"
            "    \"1\" : 1,\n"
            "    \"2\" : 2\n"
            "  },\n"
            "  \"_k1\" : 1.200000\n"
            "}");
}

TEST(JsonWriter, EmptyContainers) {
  EXPECT_EQ(JsonValue(JsonKind::Object).serialize(1, "  "), "{\n\n}");
  EXPECT_EQ(JsonValue(JsonKind::Object).serialize(2, "  "), "{\n\n  }");
  EXPECT_EQ(JsonValue(JsonKind::Array).serialize(1, "  "), "[]");
}

TEST(JsonWriter, ArraysStayOnOneLineAndNestObjects) {
  JsonValue root;
  root["list"][0u] = 1;
  root["list"][1u] = -2;
  root["list"][2u];
  EXPECT_EQ(root.serialize(1, "  "), "{\n  \"list\" : [1, -2, null]\n}");
  JsonValue nested;
  nested["a"][0u]["k"] = 1;
  nested["a"][1u]["k"] = 2;
  EXPECT_EQ(nested.serialize(1, "  "),
            "{\n  \"a\" : [{\n      \"k\" : 1\n    }, {\n      \"k\" : 2\n    }]\n}");
}

TEST(JsonWriter, KeysAreWrittenAsStored) {
  JsonValue root;
  root["a\"b"] = 1;
  EXPECT_EQ(root.serialize(1, ""), "{\n\"a\"b\" : 1\n}");
}

TEST(JsonWriter, ExtremeDepthsDoNotOverflow) {
  JsonValue root;
  root["a"][0u] = 1;
  EXPECT_EQ(root.serialize(std::numeric_limits<std::int32_t>::min(), "x"), "{\n\"a\" : [1]\n}");
  EXPECT_EQ(root.serialize(std::numeric_limits<std::int32_t>::max(), ""), "{\n\"a\" : [1]\n}");
}
