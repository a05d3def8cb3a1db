// A lenient recursive-descent reader. Every defect is reported as one line
// on the diagnostics stream and parsing goes on with a Null, empty or partial
// value from where the failing routine left the cursor. Only the conversion
// of number text throws. Reading at the end of the text yields a NUL byte,
// and no routine ever reads beyond the end.

#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <iostream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "escapes.hpp"
#include "json_value.hpp"

namespace vorn::typing::text {

namespace {

// Deeper nesting is refused (reported, read as Null) so that no input can
// exhaust the stack.
constexpr int kMaxDepth = 512;

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool ends_number(char c) { return is_whitespace(c) || c == ',' || c == ']' || c == '}'; }

// strtol-style conversion (base 10, longest valid prefix) into 32 bits.
std::int32_t to_integer(const std::string& text) {
  std::int32_t value = 0;
  const auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::invalid_argument) throw std::invalid_argument("invalid stol argument");
  if (error == std::errc::result_out_of_range) throw std::out_of_range("stol argument out of range");
  return value;
}

// strtod itself, in the C locale: the final word on range errors.
double strtod_in_c_locale(const std::string& text) {
  const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  if (c_locale == static_cast<locale_t>(nullptr)) throw std::bad_alloc();
  errno = 0;
  const double value = ::strtod_l(text.c_str(), nullptr, c_locale);
  const int error = errno;
  ::freelocale(c_locale);
  if (error == ERANGE) throw std::out_of_range("stod argument out of range");
  return value;
}

// strtod-style conversion (longest valid prefix) in the C locale. from_chars
// is exact and fast but has no notion of underflow, and rounds differently
// from strtod's range check at the very edges; wherever the result is not
// clearly a normal number, strtod decides.
double to_real(const std::string& text) {
  double value = 0.0;
  const auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::invalid_argument) throw std::invalid_argument("invalid stod argument");
  if (error == std::errc::result_out_of_range || std::fabs(value) <= std::numeric_limits<double>::min()) {
    return strtod_in_c_locale(text);
  }
  return value;
}

}  // namespace

class JsonParser {
 public:
  JsonParser(std::string_view text, std::ostream& diagnostics) : text_(text), diagnostics_(diagnostics) {}

  JsonValue parse_value(std::uint64_t& position) {
    skip_whitespace(position);
    const char c = at(position);
    if (c == '{' || c == '[') {
      if (depth_ == kMaxDepth) {
        report("ERROR: Parse: Nesting deeper than 512 levels, found '", position, 1);
        return JsonValue();
      }
      ++depth_;
      JsonValue value = c == '{' ? parse_object(position) : parse_array(position);
      --depth_;
      return value;
    }
    switch (c) {
      case '"': return parse_string(position);
      case 't':
      case 'f': return parse_boolean(position);
      case 'n': return parse_null(position);
      default: break;
    }
    if (c == '-' || is_digit(c)) return parse_number(position);
    report("ERROR: Parse: Unknown starting character '", position, 1);
    return JsonValue();
  }

 private:
  char at(std::uint64_t position) const { return position < text_.size() ? text_[position] : '\0'; }

  void skip_whitespace(std::uint64_t& position) const {
    while (is_whitespace(at(position))) ++position;
  }

  // A diagnostic line: the message, up to `count` bytes from `position` (the
  // terminating NUL when the text has ended there), and "'\n".
  void report(const char* message, std::uint64_t position, std::size_t count) {
    diagnostics_ << message;
    if (position >= text_.size()) {
      diagnostics_.put('\0');
    } else {
      diagnostics_ << text_.substr(position, count);
    }
    diagnostics_ << "'\n";
  }

  JsonValue parse_object(std::uint64_t& position) {
    JsonValue result(JsonKind::Object);
    ++position;
    skip_whitespace(position);
    if (at(position) == '}') {
      ++position;
      return result;
    }
    while (true) {
      const JsonValue key = parse_value(position);
      skip_whitespace(position);
      if (at(position) != ':') {
        report("Error: Object: Expected colon, found '", position, 1);
        return result;
      }
      ++position;
      skip_whitespace(position);
      JsonValue value = parse_value(position);
      bool is_string = false;
      // A repeated key keeps the later value.
      result[key.escaped_text(is_string)] = std::move(value);
      skip_whitespace(position);
      const char c = at(position);
      if (c == ',') {
        ++position;
        continue;
      }
      if (c == '}') {
        ++position;
        return result;
      }
      report("ERROR: Object: Expected comma, found '", position, 1);
      return result;
    }
  }

  JsonValue parse_array(std::uint64_t& position) {
    JsonValue result(JsonKind::Array);
    JsonValue::Array& elements = *std::get<std::unique_ptr<JsonValue::Array>>(result.payload_);
    ++position;
    skip_whitespace(position);
    if (at(position) == ']') {
      ++position;
      return result;
    }
    while (true) {
      elements.push_back(parse_value(position));
      skip_whitespace(position);
      const char c = at(position);
      if (c == ',') {
        ++position;
        continue;
      }
      if (c == ']') {
        ++position;
        return result;
      }
      report("ERROR: Array: Expected ',' or ']', found '", position, 1);
      return JsonValue(JsonKind::Array);
    }
  }

  JsonValue parse_string(std::uint64_t& position) {
    ++position;
    std::string text;
    while (true) {
      // Copy the run of plain bytes up to the next quote or backslash at once.
      const std::size_t start = std::min<std::uint64_t>(position, text_.size());
      const std::size_t stop = text_.find_first_of("\"\\", start);
      const std::size_t end = stop == std::string_view::npos ? text_.size() : stop;
      text.append(text_.data() + start, end - start);
      position = end;
      if (end == text_.size()) {
        // The closing quote is missing: keep what was read, stop at the end.
        report("ERROR: String: Expected '\"' before the end of the text, found '", position, 1);
        break;
      }
      if (text_[end] == '"') {
        ++position;
        break;
      }
      ++position;  // past the backslash
      const char escape = at(position);
      switch (escape) {
        case '/': text += '/'; break;
        case 'u':
          // Kept as its six bytes, never decoded.
          for (std::uint64_t i = 1; i <= 4; ++i) {
            if (!is_hex(at(position + i))) {
              report("ERROR: String: Expected hex character in unicode escape, found '", position + i, 1);
              JsonValue empty(JsonKind::String);
              return empty;
            }
          }
          text += "\\u";
          text.append(text_.data() + position + 1, 4);
          position += 4;
          break;
        default: {
          // The seven escapes; any other byte after a backslash leaves the
          // backslash alone and is itself dropped.
          const char byte = detail::escaped_byte(escape);
          text += byte != 0 ? byte : '\\';
          break;
        }
      }
      if (position >= text_.size()) {
        report("ERROR: String: Expected '\"' before the end of the text, found '", position, 1);
        break;
      }
      ++position;
    }
    JsonValue result;
    result = std::string_view(text);
    return result;
  }

  JsonValue parse_number(std::uint64_t& position) {
    std::string mantissa;
    bool is_real = false;
    char c = '\0';
    while (true) {
      c = at(position++);
      if (c == '-' || is_digit(c)) {
        mantissa += c;
      } else if (c == '.') {
        mantissa += c;
        is_real = true;
      } else {
        break;
      }
    }
    std::string exponent;
    const bool has_exponent = c == 'e' || c == 'E';
    if (has_exponent) {
      if (at(position) == '+' || at(position) == '-') {
        if (at(position) == '-') exponent += '-';
        ++position;
      }
      while (true) {
        c = at(position++);
        if (!is_digit(c)) break;
        exponent += c;
      }
      if (!ends_number(c)) {
        report("ERROR: Number: Expected a number for exponent, found '", position - 1, 1);
        clamp(position);
        return JsonValue();
      }
    } else if (!ends_number(c)) {
      report("ERROR: Number: unexpected character '", position - 1, 1);
      clamp(position);
      return JsonValue();
    }
    --position;  // back onto the byte that ended the number
    const int power = has_exponent ? to_integer(exponent) : 0;
    JsonValue result;
    if (is_real) {
      result = to_real(mantissa) * std::pow(10, power);
    } else if (has_exponent) {
      result = static_cast<double>(to_integer(mantissa)) * std::pow(10, power);
    } else {
      result = to_integer(mantissa);
    }
    return result;
  }

  // A number cut off by the end of the text leaves the cursor on the end.
  void clamp(std::uint64_t& position) const {
    if (position > text_.size()) position = text_.size();
  }

  JsonValue parse_boolean(std::uint64_t& position) {
    JsonValue result;
    if (text_.substr(position, 4) == "true") {
      result = true;
      position += 4;
    } else if (text_.substr(position, 5) == "false") {
      result = false;
      position += 5;
    } else {
      report("ERROR: Bool: Expected 'true' or 'false', found '", position, 5);
    }
    return result;
  }

  JsonValue parse_null(std::uint64_t& position) {
    if (text_.substr(position, 4) == "null") {
      position += 4;
    } else {
      report("ERROR: Null: Expected 'null', found '", position, 4);
    }
    return JsonValue();
  }

  std::string_view text_;
  std::ostream& diagnostics_;
  int depth_ = 0;
};

JsonValue JsonValue::parse(std::string_view text) { return parse(text, std::cerr); }

JsonValue JsonValue::parse(std::string_view text, std::ostream& diagnostics) {
  std::uint64_t position = 0;
  return JsonParser(text, diagnostics).parse_value(position);
}

}  // namespace vorn::typing::text
