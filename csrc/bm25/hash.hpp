#pragma once
// Keyed hashes for the token tables. Tokens are mostly short (a word, a
// number), so the byte hash reads at most two overlapping words for keys up
// to 16 bytes and folds them with one 64x64->128-bit multiply (the wyhash
// construction); it is several times cheaper than std::hash on such keys.
//
// Every table draws its own random key. With fixed constants anyone could
// compute token sets that all land in one probe run (the folds are
// invertible, and a word equal to a constant zeroes the whole product), and
// turn each insertion into a walk over the whole table. Hashes never leave
// the process and every output is ordered by key, so the key changes
// nothing anybody can observe but the speed of such attacks.

#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorn::typing::text::detail {

// The secret of one table and of the counters that hand hashes to it.
struct HashKey {
  std::uint64_t seed;
  std::uint64_t mix0;
  std::uint64_t mix1;

  // Fresh key from the system's random source.
  static HashKey random() noexcept;
};

inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load64(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline std::uint64_t load32(const char* p) noexcept {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline std::uint64_t hash_bytes(std::string_view key, const HashKey& secret) noexcept {
  const char* p = key.data();
  std::size_t n = key.size();
  std::uint64_t seed = secret.seed ^ n;
  while (n > 16) {
    seed = fold_multiply(load64(p) ^ secret.mix0, load64(p + 8) ^ seed);
    p += 16;
    n -= 16;
  }
  std::uint64_t a = 0, b = 0;
  if (n >= 8) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    const auto byte = [p](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
    a = (byte(0) << 16) | (byte(n >> 1) << 8) | byte(n - 1);
  }
  return fold_multiply(a ^ secret.mix0 ^ key.size(), fold_multiply(b ^ secret.mix1, seed));
}

// The hash of a token key that both the per-document counter and the
// model's table use: the counter hands its hashes to the table, so the two
// must agree. 32 bits address tables of up to 2^32 slots and keep entries small.
inline std::uint32_t hash_text(std::string_view key, const HashKey& secret) noexcept {
  return static_cast<std::uint32_t>(hash_bytes(key, secret));
}

// Integer tokens, for the per-document counter: one keyed fold spreads
// sequential integers over all bits, which a table masked by the low bits needs.
inline std::uint32_t hash_integer(std::uint64_t x, const HashKey& secret) noexcept {
  return static_cast<std::uint32_t>(fold_multiply(x ^ secret.mix0, secret.mix1 ^ secret.seed));
}

}  // namespace vorn::typing::text::detail
