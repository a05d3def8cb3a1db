#include "bm25/token_table.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <map>
#include <random>
#include <string>

#include "bm25/saturating.hpp"

using vorn::typing::text::TokenTable;

TEST(TokenTable, MatchesAReferenceMapThroughManyGrowths) {
  TokenTable table;
  std::map<std::string, std::int32_t> reference;
  std::mt19937 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::string key(random() % 12, '\0');
    for (char& c : key) c = static_cast<char>(random() % 4);  // many collisions, NULs, the empty key
    table[key] += 1;
    reference[key] += 1;
  }
  ASSERT_EQ(table.size(), reference.size());
  for (const auto& [key, count] : reference) {
    const std::int32_t* found = table.find(key);
    ASSERT_NE(found, nullptr) << key.size();
    EXPECT_EQ(*found, count);
  }
  EXPECT_EQ(table.find(std::string(13, '\x01')), nullptr);
}

TEST(TokenTable, SortedEntriesAreInUnsignedByteOrder) {
  TokenTable table;
  for (const char* key : {"b", "a", "B", "ab", "\xc3\xa9", ""}) table[key] = 1;
  std::vector<std::string> keys;
  for (const auto& entry : table.sorted_entries()) keys.emplace_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "b", "\xc3\xa9"}));
}

// A key of 4 GiB is refused by the size check alone, before the table (or a
// batch that checks its keys first) changes; the bytes behind it are never
// touched, so an address range that holds no memory stands in for it.
TEST(TokenTable, KeysOf4GiBAreRefusedBeforeAnyChange) {
  constexpr std::size_t kSize = std::size_t{1} << 32;
  void* const range = ::mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(range, MAP_FAILED);
  const std::string_view huge(static_cast<const char*>(range), kSize);
  TokenTable table;
  table["a"] = 1;
  EXPECT_THROW(TokenTable::arena_bytes(huge), std::length_error);
  EXPECT_THROW(table.find_or_insert(huge, 0), std::length_error);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(TokenTable::arena_bytes(huge.substr(0, kSize - 2)), kSize - 2);
  ::munmap(range, kSize);
}

TEST(TokenTable, EmptyTableFindsNothing) {
  const TokenTable table;
  EXPECT_EQ(table.find(""), nullptr);
  EXPECT_TRUE(table.sorted_entries().empty());
}

TEST(Saturating, StopsAtTheLimitsInsteadOfWrapping) {
  using vorn::typing::text::saturating_add;
  constexpr std::int32_t max32 = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t min32 = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(saturating_add(max32, 1), max32);
  EXPECT_EQ(saturating_add(max32 - 1, 1), max32);
  EXPECT_EQ(saturating_add(min32, -1), min32);
  EXPECT_EQ(saturating_add(std::int32_t{-5}, std::int32_t{3}), -2);
  constexpr std::int64_t max64 = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(saturating_add(max64, std::int64_t{1}), max64);
  EXPECT_EQ(saturating_add(std::numeric_limits<std::int64_t>::min(), std::int64_t{-1}),
            std::numeric_limits<std::int64_t>::min());
}
