#pragma once
// LEB128 varints, seven bits a byte, low bits first: the small lists of the
// index and its file. Reading checks every bound, so that damaged bytes are
// a refusal, never a read past the end.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn::typing::text::search {

constexpr std::size_t kMaxVarint32 = 5;

// Writes `value` at `out` and returns the end of what was written.
inline std::uint8_t* put_varint(std::uint8_t* out, std::uint64_t value) noexcept {
  while (value >= 0x80) {
    *out++ = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(value);
  return out;
}

inline void append_varint(std::string& out, std::uint64_t value) {
  std::uint8_t bytes[10];
  out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(put_varint(bytes, value) - bytes));
}

inline std::size_t varint_size(std::uint64_t value) noexcept {
  std::size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

// Reads one value of at most `bits` bits from [at, end), moving `at` past
// it. False at the end of the bytes, for an overlong encoding or for a value
// that does not fit.
inline bool get_varint(const std::uint8_t*& at, const std::uint8_t* end, std::uint64_t& value,
                       unsigned bits = 64) noexcept {
  if (at != end && *at < 0x80) {  // most values take one byte
    value = *at++;
    return true;
  }
  value = 0;
  for (unsigned shift = 0; at != end && shift < 64; shift += 7) {
    const std::uint64_t byte = *at++;
    if (shift == 63 && byte > 1) return false;
    value |= (byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return (byte != 0 || shift == 0) && (bits >= 64 || value >> bits == 0);
  }
  return false;
}

inline bool get_varint32(const std::uint8_t*& at, const std::uint8_t* end, std::uint32_t& value) noexcept {
  std::uint64_t wide = 0;
  if (!get_varint(at, end, wide, 32)) return false;
  value = static_cast<std::uint32_t>(wide);
  return true;
}

// The same on data known to be well formed (written by this process).
inline std::uint32_t read_varint32(const std::uint8_t*& at) noexcept {
  std::uint32_t value = *at & 0x7f;
  for (unsigned shift = 7; *at++ & 0x80; shift += 7) value |= static_cast<std::uint32_t>(*at & 0x7f) << shift;
  return value;
}

}  // namespace vorn::typing::text::search
