#pragma once
// NFKC, then full case folding: what Python's
// unicodedata.normalize("NFKC", text).casefold() gives, done by utf8proc.
// Most characters of a Chinese text are left alone by both and change
// nothing next to them; those are copied as they are, ASCII capitals are
// lowered in place, and only the runs between go through utf8proc.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::typing::text::search {

class Normalizer {
 public:
  Normalizer();

  // Appends the normal form of `text` (valid UTF-8) to `out`.
  void normalize(std::string_view text, std::string& out) const;

 private:
  static constexpr char32_t kTable = 0x30000;  // code points above are looked up one by one
  bool stable(char32_t point) const noexcept;

  std::vector<std::uint64_t> stable_;  // a bit per code point below kTable
  // The normal form of each character below kTable that has one whatever
  // its neighbours (full-width forms, capitals...): index + 1 into forms_.
  std::vector<std::uint32_t> form_;
  std::vector<std::string> forms_;
};

// Whether `text` is strict UTF-8, as Python decodes it: no overlong forms,
// surrogates or code points above U+10FFFF.
bool valid_utf8(std::string_view text) noexcept;
// The code point that starts at `at` in valid UTF-8, and its length in bytes.
char32_t decode_utf8(const char* at, std::size_t& length) noexcept;

}  // namespace vorn::typing::text::search
