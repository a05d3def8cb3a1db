#pragma once
// Hashes for the token tables. Tokens are mostly short (a word, a number), so
// the byte hash reads at most two overlapping words for keys up to 16 bytes
// and folds them with one 64x64->128-bit multiply (the wyhash construction);
// it is several times cheaper than std::hash on such keys.

#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorn::typing::text::detail {

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

inline std::uint64_t hash_bytes(std::string_view key) noexcept {
  constexpr std::uint64_t s0 = 0xa0761d6478bd642fULL, s1 = 0xe7037ed1a0b428dbULL, s2 = 0x8ebc6af09c88c6e3ULL;
  const char* p = key.data();
  std::size_t n = key.size();
  std::uint64_t seed = s0 ^ n;
  while (n > 16) {
    seed = fold_multiply(load64(p) ^ s1, load64(p + 8) ^ seed);
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
  return fold_multiply(a ^ s1 ^ key.size(), fold_multiply(b ^ s2, seed));
}

// The hash of a token key that both the per-document counter and the
// model's table use: the counter hands its hashes to the table, so the two
// must agree. 32 bits address tables of up to 2^32 slots and keep entries small.
inline std::uint32_t hash_text(std::string_view key) noexcept { return static_cast<std::uint32_t>(hash_bytes(key)); }

// splitmix64 finaliser: spreads sequential integers over all bits, which a
// power-of-two table masked by the low bits needs.
inline std::uint64_t hash_integer(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace vorn::typing::text::detail
