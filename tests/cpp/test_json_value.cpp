#include <gtest/gtest.h>

#include "json/json_value.hpp"

using vorn::typing::text::escape_json_text;
using vorn::typing::text::JsonKind;
using vorn::typing::text::JsonValue;

TEST(JsonValue, ConstructionFromKindGivesTheKindsZero) {
  bool ok = false;
  EXPECT_EQ(JsonValue().kind(), JsonKind::Null);
  EXPECT_TRUE(JsonValue(JsonKind::Object).object_entries().empty());
  EXPECT_EQ(JsonValue(JsonKind::Real).real_value(ok), 0.0);
  EXPECT_TRUE(ok);
  EXPECT_EQ(JsonValue(JsonKind::Integer).integer_value(ok), 0);
  EXPECT_TRUE(ok);
  EXPECT_EQ(JsonValue(JsonKind::String).escaped_text(ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(JsonValue(JsonKind::Boolean).serialize(0, ""), "false");
  EXPECT_EQ(JsonValue(JsonKind::Array).serialize(0, ""), "[]");
}

TEST(JsonValue, KeySubscriptTurnsAnyValueIntoAnObject) {
  JsonValue value;
  value = 7;
  JsonValue& member = value["k"];
  EXPECT_EQ(member.kind(), JsonKind::Null);
  EXPECT_EQ(value.kind(), JsonKind::Object);
  EXPECT_EQ(value.object_entries().size(), 1u);
  value["other"];  // reading a missing key adds it
  EXPECT_EQ(value.object_entries().size(), 2u);
}

TEST(JsonValue, GuardedReadsNeverConvertBetweenRealAndInteger) {
  JsonValue real, integer;
  real = 2.0;
  integer = 2;
  bool ok = true;
  EXPECT_EQ(real.integer_value(ok), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(integer.real_value(ok), 0.0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(integer.escaped_text(ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(integer.integer_value(ok), 2);
  EXPECT_TRUE(ok);
}

TEST(JsonValue, IndexSubscriptGrowsOnlyWhenShort) {
  JsonValue value;
  value[3u];
  EXPECT_EQ(value.serialize(0, ""), "[null, null, null, null]");
  JsonValue five;
  five[4u] = 1;
  five[1u] = 2;
  EXPECT_EQ(five.serialize(0, ""), "[null, 2, null, null, 1]");
}

TEST(JsonValue, SetKindKeepsContentOnlyForTheSameKind) {
  JsonValue value;
  value[1u] = 5;
  value.set_kind(JsonKind::Array);
  EXPECT_EQ(value.serialize(0, ""), "[null, 5]");
  value.set_kind(JsonKind::Object);
  EXPECT_TRUE(value.object_entries().empty());
}

TEST(JsonValue, CopiesAreDeepAndMovesLeaveNull) {
  JsonValue source;
  source["a"]["b"] = 1;
  JsonValue copy = source;
  copy["a"]["b"] = 2;
  copy["c"] = "x";
  EXPECT_EQ(source.serialize(0, ""), "{\n\"a\" : {\n\"b\" : 1\n}\n}");
  JsonValue moved = std::move(copy);
  EXPECT_EQ(copy.kind(), JsonKind::Null);  // NOLINT(bugprone-use-after-move): moved-from is Null by contract
  EXPECT_EQ(moved.object_entries().size(), 2u);
  moved = moved;  // self-assignment keeps the value
  EXPECT_EQ(moved.object_entries().size(), 2u);
  // Assigning a member of a value to the value itself must not read freed memory.
  JsonValue nested;
  nested["inner"]["x"] = 3;
  nested = nested["inner"];
  EXPECT_EQ(nested.serialize(0, ""), "{\n\"x\" : 3\n}");
  nested = std::move(nested["x"]);
  bool ok = false;
  EXPECT_EQ(nested.integer_value(ok), 3);
}

TEST(JsonValue, KeysIterateInByteOrder) {
  JsonValue value;
  for (const char* key : {"b", "a", "B", "ab", "\xe4\xb8\xad"}) value[key] = 1;
  std::string order;
  for (const auto& entry : value.object_entries()) order += entry.first + ",";
  EXPECT_EQ(order, "B,a,ab,b,\xe4\xb8\xad,");
}

TEST(JsonValue, AssignmentFromTextCopiesAnyBytes) {
  JsonValue value;
  value = std::string("a\0b", 3);
  bool ok = false;
  EXPECT_EQ(value.escaped_text(ok), std::string("a\0b", 3));
  value = "text";  // a C string is text, not a boolean
  EXPECT_EQ(value.kind(), JsonKind::String);
}

TEST(EscapeJsonText, ReplacesExactlySevenBytes) {
  EXPECT_EQ(escape_json_text("\b\t\n\f\r\"\\"), "\\b\\t\\n\\f\\r\\\"\\\\");
  EXPECT_EQ(escape_json_text("\x01/\x7f\xff"), "\x01/\x7f\xff");
  EXPECT_EQ(escape_json_text("\xe4\xb8\xad"), "\xe4\xb8\xad");
  EXPECT_EQ(escape_json_text(""), "");
}
