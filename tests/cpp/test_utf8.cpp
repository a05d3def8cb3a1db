#include "tokenizer/jieba/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vorn::typing::text::jieba::decode_utf8;

namespace {

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
  std::vector<std::uint32_t> code_points;  // when valid
};

std::ostream& operator<<(std::ostream& out, const Utf8Case& c) { return out << c.name; }

class DecodeUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(DecodeUtf8, MatchesPythonsStrictDecoder) {
  const Utf8Case& c = GetParam();
  std::vector<std::uint32_t> out;
  const auto text = decode_utf8(c.bytes, out);
  EXPECT_EQ(text.valid, c.valid);
  if (!c.valid) return;
  EXPECT_EQ(out, c.code_points);
  EXPECT_EQ(text.chars, c.code_points.size());
  std::uint32_t max = 0;
  for (const auto code : c.code_points) max = std::max(max, code);
  EXPECT_EQ(text.max_char, max);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeUtf8,
    ::testing::Values(Utf8Case{"empty", "", true, {}}, Utf8Case{"ascii", "a\x7f", true, {0x61, 0x7f}},
                      Utf8Case{"nul", std::string(1, '\0'), true, {0}},
                      Utf8Case{"two_bytes", "\xc3\xa9\xdf\xbf", true, {0xe9, 0x7ff}},
                      Utf8Case{"three_bytes", "\xe4\xb8\xad\xe0\xa0\x80\xef\xbf\xbf", true, {0x4e2d, 0x800, 0xffff}},
                      Utf8Case{"four_bytes", "\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", true, {0x1f600, 0x10ffff}},
                      Utf8Case{"overlong_two", "\xc0\x80", false, {}}, Utf8Case{"overlong_c1", "\xc1\xbf", false, {}},
                      Utf8Case{"overlong_three", "\xe0\x80\x80", false, {}},
                      Utf8Case{"overlong_four", "\xf0\x80\x80\x80", false, {}},
                      Utf8Case{"surrogate", "\xed\xa0\x80", false, {}},
                      Utf8Case{"above_max", "\xf4\x90\x80\x80", false, {}},
                      Utf8Case{"lead_f5", "\xf5\x80\x80\x80", false, {}},
                      Utf8Case{"lone_continuation", "\x80", false, {}},
                      Utf8Case{"truncated", "a\xe4\xb8", false, {}},
                      Utf8Case{"bad_continuation", "\xe4\x41\x41", false, {}},
                      Utf8Case{"ff", "\xff", false, {}}));

TEST(DecodeUtf8Append, AppendsAfterWhatIsThere) {
  std::vector<std::uint32_t> out{7};
  decode_utf8("ab", out);
  EXPECT_EQ(out, (std::vector<std::uint32_t>{7, 'a', 'b'}));
}

}  // namespace
