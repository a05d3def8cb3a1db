// The writer's layout: an object puts each member on its own line, indented
// by the unit repeated `depth` times, and its closing brace one unit less;
// arrays stay on one line; reals are written as "%f" writes them in the C
// locale, whatever the process locale is, so model files always read back.

#include <charconv>
#include <limits>
#include <string>

#include "json_value.hpp"

namespace vorn::typing::text {

class JsonWriter {
 public:
  explicit JsonWriter(std::string_view unit) : unit_(unit) {}

  void write(const JsonValue& value, std::int32_t depth) {
    switch (value.kind()) {
      case JsonKind::Null: out_ += "null"; break;
      case JsonKind::Boolean: out_ += std::get<bool>(value.payload_) ? "true" : "false"; break;
      case JsonKind::Integer: write_number(std::get<std::int32_t>(value.payload_)); break;
      case JsonKind::Real: write_real(std::get<double>(value.payload_)); break;
      case JsonKind::String:
        out_ += '"';
        out_ += escape_json_text(*std::get<std::unique_ptr<std::string>>(value.payload_));
        out_ += '"';
        break;
      case JsonKind::Array: write_array(*std::get<std::unique_ptr<JsonValue::Array>>(value.payload_), depth); break;
      case JsonKind::Object: write_object(*std::get<std::unique_ptr<JsonValue::Object>>(value.payload_), depth); break;
    }
  }

  std::string take() { return std::move(out_); }

 private:
  static std::int32_t deeper(std::int32_t depth) {
    return depth == std::numeric_limits<std::int32_t>::max() ? depth : depth + 1;
  }

  void indent(std::int32_t depth) {
    for (std::int32_t i = 0; i < depth; ++i) out_ += unit_;
  }

  void write_number(std::int32_t value) {
    char buffer[16];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
  }

  void write_real(double value) {
    // Fixed notation with six decimals, exactly as printf("%f") in the C
    // locale; the largest double needs 309 digits before the point.
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    out_.append(buffer, result.ptr);
  }

  void write_array(const JsonValue::Array& array, std::int32_t depth) {
    out_ += '[';
    bool first = true;
    for (const JsonValue& element : array) {
      if (!first) out_ += ", ";
      first = false;
      write(element, deeper(depth));
    }
    out_ += ']';
  }

  void write_object(const JsonValue::Object& object, std::int32_t depth) {
    out_ += "{\n";
    bool first = true;
    for (const auto& [key, value] : object) {
      if (!first) out_ += ",\n";
      first = false;
      indent(depth);
      out_ += '"';
      out_ += key;  // keys are written as stored: the parser keeps them escaped
      out_ += "\" : ";
      write(value, deeper(depth));
    }
    out_ += '\n';
    indent(depth > 0 ? depth - 1 : 0);
    out_ += '}';
  }

  std::string_view unit_;
  std::string out_;
};

std::string JsonValue::serialize(std::int32_t depth, std::string_view indent_unit) const {
  JsonWriter writer(indent_unit);
  writer.write(*this, depth);
  return writer.take();
}

}  // namespace vorn::typing::text
