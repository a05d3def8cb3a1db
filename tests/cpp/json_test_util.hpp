#pragma once
// Helpers shared by the JSON tests.

#include <sstream>
#include <string>
#include <string_view>

#include "json/json_value.hpp"

namespace json_test {

using vorn::typing::text::JsonKind;
using vorn::typing::text::JsonValue;

struct Parsed {
  JsonValue value;
  std::string diagnostics;
};

inline Parsed parse(std::string_view text) {
  std::ostringstream diagnostics;
  JsonValue value = JsonValue::parse(text, diagnostics);
  return {std::move(value), diagnostics.str()};
}

// A compact text form for comparisons: the writer at depth 0 with no indentation.
inline std::string compact(const JsonValue& value) { return value.serialize(0, ""); }

}  // namespace json_test
