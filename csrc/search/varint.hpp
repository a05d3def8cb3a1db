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

// An entry of an ascending run (a posting, or a word of a document): the
// gap from the previous number, doubled, plus one when the count is 1 (most
// are); otherwise the count follows.
inline std::size_t entry_size(std::uint32_t gap, std::uint32_t count) noexcept {
  return varint_size((std::uint64_t{gap} << 1) | 1) + (count == 1 ? 0 : varint_size(count));
}

inline std::uint8_t* put_entry(std::uint8_t* out, std::uint32_t gap, std::uint32_t count) noexcept {
  out = put_varint(out, (std::uint64_t{gap} << 1) | (count == 1 ? 1 : 0));
  return count == 1 ? out : put_varint(out, count);
}

inline void append_entry(std::string& out, std::uint32_t gap, std::uint32_t count) {
  std::uint8_t bytes[2 * 10];
  out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(put_entry(bytes, gap, count) - bytes));
}

// Reads an entry this process wrote: adds its gap to `number` and returns
// its count.
inline std::uint32_t read_entry(const std::uint8_t*& at, std::uint32_t& number) noexcept {
  const std::uint32_t head = read_varint32(at);
  number += head >> 1;
  return (head & 1) != 0 ? 1u : read_varint32(at);
}

}  // namespace vorn::typing::text::search
