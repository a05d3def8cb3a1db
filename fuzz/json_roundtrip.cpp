// Parse-serialize-parse: any input parses without harm, and once text has
// been through the writer twice it is stable. (The first round may change the
// text: a non-finite real is written as inf or nan, which reads back as Null.)

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "json/json_value.hpp"
#include "null_stream.hpp"

using vorn::typing::text::JsonValue;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  NullBuffer buffer;
  std::ostream quiet(&buffer);
  std::string text;
  try {
    text = JsonValue::parse(std::string_view(reinterpret_cast<const char*>(data), size), quiet).serialize(1, "  ");
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const std::out_of_range&) {
    return 0;
  }
  // Writer output never holds number text the conversions refuse.
  const std::string second = JsonValue::parse(text, quiet).serialize(1, "  ");
  const std::string third = JsonValue::parse(second, quiet).serialize(1, "  ");
  if (second != third) std::abort();
  return 0;
}
