#include "tokenizer/jieba/utf8.hpp"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <random>

#include <string>
#include <vector>

using vorn::typing::text::jieba::decode_utf8;

namespace vorn::typing::text::search {
bool valid_utf8(std::string_view text) noexcept;
}

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

// The search core's check of keys reads eight bytes at a time: it must say
// what utf8proc's strict reading says, for every sequence of up to three
// bytes, many of four, and ASCII runs around them.
bool strict(const std::string& text) {
  const auto* at = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (auto left = static_cast<utf8proc_ssize_t>(text.size()); left > 0;) {
    utf8proc_int32_t point = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(at, left, &point);
    if (length < 0) return false;
    at += length;
    left -= length;
  }
  return true;
}

TEST(ValidUtf8, SaysWhatUtf8procSays) {
  using vorn::typing::text::search::valid_utf8;
  std::string text;
  for (std::uint32_t bytes = 0; bytes < (1u << 24); ++bytes) {
    text.assign({static_cast<char>(bytes >> 16), static_cast<char>(bytes >> 8), static_cast<char>(bytes)});
    for (std::size_t from = 0; from < 3; ++from) {
      if (from > 0 && (bytes >> (8 * (3 - from))) != 0) break;  // shorter ones once
      const std::string tried = text.substr(from);
      ASSERT_EQ(valid_utf8(tried), strict(tried)) << std::hex << bytes;
    }
  }
  std::mt19937 random(3);
  for (int i = 0; i < 200000; ++i) {
    std::string tried(random() % 12, 'a');
    const std::size_t at = tried.size();
    for (int j = 0; j < 4; ++j) tried.push_back(static_cast<char>(0x80 | (random() & 0x7f)));
    tried[at] = static_cast<char>(0xf0 | (random() & 0x0f));
    tried.append(random() % 10, 'b');
    ASSERT_EQ(valid_utf8(tried), strict(tried));
    tried.pop_back();
    ASSERT_EQ(valid_utf8(tried.substr(0, at + 3)), strict(tried.substr(0, at + 3)));
  }
}

}  // namespace
