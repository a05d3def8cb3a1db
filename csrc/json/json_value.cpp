#include "json_value.hpp"

#include <utility>

#include "escapes.hpp"

namespace vorn::typing::text {

namespace {

JsonValue::Array::size_type grown_size(std::uint32_t index) { return static_cast<JsonValue::Array::size_type>(index) + 1; }

}  // namespace

std::string escape_json_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const char letter = detail::escape_letter(c);
    if (letter != 0) out += '\\';
    out += letter != 0 ? letter : c;
  }
  return out;
}

std::string unescape_json_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char byte = text[i] == '\\' && i + 1 < text.size() ? detail::escaped_byte(text[i + 1]) : 0;
    if (byte == 0) {
      out += text[i];  // a backslash that starts no escape is kept, and reading goes on normally
    } else {
      out += byte;
      ++i;
    }
  }
  return out;
}

JsonValue::JsonValue(JsonKind kind) { set_kind(kind); }

JsonValue::JsonValue(const JsonValue& other) {
  switch (other.kind()) {
    case JsonKind::Object: payload_ = std::make_unique<Object>(*std::get<std::unique_ptr<Object>>(other.payload_)); break;
    case JsonKind::Array: payload_ = std::make_unique<Array>(*std::get<std::unique_ptr<Array>>(other.payload_)); break;
    case JsonKind::String:
      payload_ = std::make_unique<std::string>(*std::get<std::unique_ptr<std::string>>(other.payload_));
      break;
    case JsonKind::Real: payload_ = std::get<double>(other.payload_); break;
    case JsonKind::Integer: payload_ = std::get<std::int32_t>(other.payload_); break;
    case JsonKind::Boolean: payload_ = std::get<bool>(other.payload_); break;
    case JsonKind::Null: break;
  }
}

JsonValue::JsonValue(JsonValue&& other) noexcept : payload_(std::move(other.payload_)) {
  other.payload_ = std::monostate{};
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    JsonValue copy(other);  // copy first: `other` may live inside this value
    *this = std::move(copy);
  }
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    Payload taken = std::move(other.payload_);
    other.payload_ = std::monostate{};
    payload_ = std::move(taken);
  }
  return *this;
}

JsonValue::~JsonValue() = default;

void JsonValue::set_kind(JsonKind kind) {
  if (kind == this->kind()) return;
  switch (kind) {
    case JsonKind::Null: payload_ = std::monostate{}; break;
    case JsonKind::Object: payload_ = std::make_unique<Object>(); break;
    case JsonKind::Array: payload_ = std::make_unique<Array>(); break;
    case JsonKind::String: payload_ = std::make_unique<std::string>(); break;
    case JsonKind::Real: payload_ = 0.0; break;
    case JsonKind::Integer: payload_ = std::int32_t{0}; break;
    case JsonKind::Boolean: payload_ = false; break;
  }
}

JsonValue& JsonValue::operator=(std::int32_t value) {
  payload_ = value;
  return *this;
}

JsonValue& JsonValue::operator=(double value) {
  payload_ = value;
  return *this;
}

JsonValue& JsonValue::operator=(bool value) {
  payload_ = value;
  return *this;
}

JsonValue& JsonValue::operator=(std::string_view value) {
  set_kind(JsonKind::String);
  std::get<std::unique_ptr<std::string>>(payload_)->assign(value.data(), value.size());
  return *this;
}

JsonValue& JsonValue::operator[](const std::string& key) {
  set_kind(JsonKind::Object);
  Object& object = *std::get<std::unique_ptr<Object>>(payload_);
  // Members are usually added in key order (the model writer and well-formed
  // files do so); then the new member belongs at the end and needs no search.
  if (object.empty() || object.rbegin()->first < key) return object.emplace_hint(object.end(), key, JsonValue())->second;
  return object[key];
}

JsonValue& JsonValue::operator[](std::uint32_t index) {
  set_kind(JsonKind::Array);
  Array& array = *std::get<std::unique_ptr<Array>>(payload_);
  if (index >= array.size()) array.resize(grown_size(index));
  return array[index];
}

std::int32_t JsonValue::integer_value(bool& ok) const noexcept {
  const auto* value = std::get_if<std::int32_t>(&payload_);
  ok = value != nullptr;
  return ok ? *value : 0;
}

double JsonValue::real_value(bool& ok) const noexcept {
  const auto* value = std::get_if<double>(&payload_);
  ok = value != nullptr;
  return ok ? *value : 0.0;
}

std::string JsonValue::escaped_text(bool& ok) const {
  const auto* value = std::get_if<std::unique_ptr<std::string>>(&payload_);
  ok = value != nullptr;
  return ok ? escape_json_text(**value) : std::string();
}

const JsonValue::Object& JsonValue::object_entries() const noexcept {
  static const Object no_entries;
  const auto* value = std::get_if<std::unique_ptr<Object>>(&payload_);
  return value ? **value : no_entries;
}

}  // namespace vorn::typing::text
