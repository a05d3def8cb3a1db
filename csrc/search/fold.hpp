#pragma once
// Traditional Chinese to simplified, as OpenCC's t2s conversion does it,
// from OpenCC's own dictionaries: at each character, the longest phrase of
// TSPhrases that starts there becomes its simplified form, and a character
// that starts none becomes its form in TSCharacters (every key there is one
// character). OpenCC itself converts a few megabytes a second; this runs at
// the speed of a table lookup, with the same result.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vorn::typing::text::search {

class TraditionalToSimplified {
 public:
  // Reads OpenCC's text dictionaries: a line is a key, a tab, and values
  // separated by spaces, the first of which is the conversion. Throws
  // std::runtime_error naming a file that cannot be read or is malformed.
  TraditionalToSimplified(const std::string& phrases_path, const std::string& characters_path);

  // Appends the simplified form of `text` (valid UTF-8) to `out`.
  void convert(std::string_view text, std::string& out) const;

 private:
  static constexpr char32_t kTable = 0x30000;

  // The value of each character that has one: its offset in values_ (from
  // 1, so that 0 is none) and its length, in 24 and 8 bits.
  std::vector<std::uint32_t> characters_;
  std::string values_;
  // Whether a phrase starts with a character (a bit per code point below kTable).
  std::vector<std::uint64_t> phrase_starts_;
  // The phrases that start with a character, longest first.
  std::unordered_map<char32_t, std::vector<std::pair<std::string, std::string>>> phrases_;
};

}  // namespace vorn::typing::text::search
