#pragma once
// Strict UTF-8 decoding, as Python's "strict" decoder accepts it: no
// overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequences. Lets the tokens of a cut be decoded while the interpreter lock
// is released, so that only the string objects are made with it held.

#include <cstdint>
#include <string_view>
#include <vector>

namespace vorn::typing::text::jieba {

struct DecodedText {
  std::size_t chars = 0;       // code points appended
  std::uint32_t max_char = 0;  // the largest of them (0 for empty text)
  bool valid = true;           // false: not strict UTF-8, nothing usable was appended
};

// Appends the code points of `bytes` to `out`.
inline DecodedText decode_utf8(std::string_view bytes, std::vector<std::uint32_t>& out) {
  DecodedText result;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  const auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  while (p < end) {
    const unsigned char lead = *p;
    std::uint32_t code = 0;
    std::size_t length = 0;
    if (lead < 0x80) {
      code = lead;
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      code = lead & 0x1Fu;
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code = lead & 0x0Fu;
      length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      code = lead & 0x07u;
      length = 4;
    } else {
      result.valid = false;
      return result;
    }
    if (static_cast<std::size_t>(end - p) < length) {
      result.valid = false;
      return result;
    }
    for (std::size_t i = 1; i < length; ++i) {
      if (!continuation(p[i])) {
        result.valid = false;
        return result;
      }
      code = (code << 6) | (p[i] & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      result.valid = false;
      return result;
    }
    out.push_back(code);
    ++result.chars;
    if (code > result.max_char) result.max_char = code;
    p += length;
  }
  return result;
}

}  // namespace vorn::typing::text::jieba
