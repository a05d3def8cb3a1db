#pragma once
// What both index files check their contents with: checksums, ids, and the
// keyed sum that the postings and the documents' words must agree on.

#include <cstdint>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "bm25/hash.hpp"
#include "normalizer.hpp"

namespace vorn::typing::text::search {

inline std::uint64_t checksum(std::string_view bytes) noexcept { return XXH3_64bits(bytes.data(), bytes.size()); }

inline bool checksum_matches(std::string_view bytes, std::uint64_t expected) noexcept {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  (void)bytes, (void)expected;
  return true;  // lets a fuzzer past the checksums, to the reading behind them
#else
  return checksum(bytes) == expected;
#endif
}

// An id is a kind byte and its value: "s" and UTF-8 text, or "i" and a
// 64-bit integer, little-endian.
inline bool valid_id(std::string_view id) noexcept {
  if (id.empty()) return false;
  if (id[0] == 'i') return id.size() == 9;
  return id[0] == 's' && valid_utf8(id.substr(1));
}

// A posting's part of the sum that the postings and the documents must
// agree on: keyed, so that no file can be made to pass with other postings.
inline std::uint64_t posting_hash(std::uint32_t word, std::uint32_t document, std::uint32_t count,
                           const detail::HashKey& key) noexcept {
  const std::uint64_t place = (std::uint64_t{word} << 32) | document;
  return detail::fold_multiply(place ^ key.mix0, (std::uint64_t{count} << 32 | count) ^ key.mix1 ^ key.seed);
}

}  // namespace vorn::typing::text::search
