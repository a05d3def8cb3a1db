#pragma once
// JsonValue: one JSON value (null, object, array, string, real, integer or
// boolean) with value semantics. Objects keep their members in byte order of
// the keys; an Integer is 32-bit on every platform. Lookups never fail: a
// missing key is created, a short array is lengthened, and a value of another
// kind is converted by the operation that needs the other kind.

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vorn::typing::text {

enum class JsonKind { Null, Object, Array, String, Real, Integer, Boolean };

// Copy of `text` with backspace, tab, line feed, form feed, carriage return,
// double quote and backslash replaced by their two-byte JSON escapes.
std::string escape_json_text(std::string_view text);
// The exact inverse of escape_json_text: unescape_json_text(escape_json_text(t)) == t
// for every byte string t. A backslash that starts none of the seven escapes is kept.
std::string unescape_json_text(std::string_view text);

class JsonValue {
 public:
  using Object = std::map<std::string, JsonValue>;
  using Array = std::vector<JsonValue>;

  JsonValue() noexcept = default;
  explicit JsonValue(JsonKind kind);
  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue();

  // Changes the kind, releasing the old content; a no-op if the kind is unchanged.
  void set_kind(JsonKind kind);

  JsonValue& operator=(std::int32_t value);
  JsonValue& operator=(double value);
  JsonValue& operator=(bool value);
  JsonValue& operator=(std::string_view value);
  JsonValue& operator=(const std::string& value) { return *this = std::string_view(value); }
  JsonValue& operator=(const char* value) { return *this = std::string_view(value); }

  // Makes this an object (dropping other content) and returns the member,
  // inserting a Null one if it is missing.
  JsonValue& operator[](const std::string& key);
  // Makes this an array (dropping other content), grows it to index + 1
  // elements if it is shorter, and returns the element.
  JsonValue& operator[](std::uint32_t index);

  JsonKind kind() const noexcept { return static_cast<JsonKind>(payload_.index()); }

  // Guarded reads: `ok` tells whether the kind matched; a mismatch reads as zero.
  std::int32_t integer_value(bool& ok) const noexcept;
  double real_value(bool& ok) const noexcept;
  std::string escaped_text(bool& ok) const;

  // The members of an object in key order; empty for any other kind.
  const Object& object_entries() const noexcept;

  // Text form: objects one member per line, indented by `indent_unit` times
  // the depth; arrays on one line; reals as "%f" writes them; no final newline.
  std::string serialize(std::int32_t depth, std::string_view indent_unit) const;

  // Reads one value from the start of `text`; what follows it is ignored.
  // Malformed text is reported on `diagnostics` (standard error by default),
  // one line per defect, and yields a Null, empty or partial value. Number
  // text that cannot be converted throws std::invalid_argument or
  // std::out_of_range.
  static JsonValue parse(std::string_view text);
  static JsonValue parse(std::string_view text, std::ostream& diagnostics);

 private:
  friend class JsonWriter;
  friend class JsonParser;

  // Alternatives in JsonKind order, so that the index is the kind.
  using Payload = std::variant<std::monostate, std::unique_ptr<Object>, std::unique_ptr<Array>,
                               std::unique_ptr<std::string>, double, std::int32_t, bool>;
  Payload payload_;
};

}  // namespace vorn::typing::text
