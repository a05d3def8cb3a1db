#pragma once
// The model's token statistics: a hash map from byte-string key to a 32-bit
// occurrence count, built for millions of entries. Open addressing with
// 16-byte slots: a key of up to 8 bytes (most words, every number up to 8
// digits) is stored in its slot, a longer one in a shared arena. An 8-byte
// token costs about 40 bytes instead of the ~72 of a node-based map, and a
// lookup touches one cache line. The hash is keyed per table (hash.hpp).
//
// Every operation that allocates either succeeds or throws with the table
// unchanged, and `reserve` lets a caller make a batch of insertions that
// cannot fail at all.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hash.hpp"

namespace vorn::typing::text {

class TokenTable {
 public:
  TokenTable() noexcept : key_(detail::HashKey::random()) {}

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // The count stored for `key`, or nullptr when the key is absent.
  const std::int32_t* find(std::string_view key) const noexcept { return find(key, hash(key)); }
  const std::int32_t* find(std::string_view key, std::uint32_t hash) const noexcept;

  // The count stored for `key`, inserting it with 0 first when absent. The
  // reference stays valid until the next insertion.
  std::int32_t& operator[](std::string_view key) { return find_or_insert(key, hash(key)); }
  // The same with the key's hash already known.
  std::int32_t& find_or_insert(std::string_view key, std::uint32_t hash);

  // Makes room for `entries` more keys whose bytes beyond the inline size
  // add up to at most `long_key_bytes` (keys longer than 8 bytes count in
  // full): until then, insertions do not allocate and cannot throw.
  void reserve(std::size_t entries, std::size_t long_key_bytes);
  // Whether that many more keys fit without allocating.
  bool has_room(std::size_t entries, std::size_t long_key_bytes) const noexcept;
  std::size_t capacity() const noexcept { return slots_.size(); }
  // How many bytes of the arena a key takes. Throws std::length_error for a
  // key the table cannot hold (4 GiB or more), so that a batch can be
  // refused before any of it goes in.
  static std::size_t arena_bytes(std::string_view key) {
    if (key.size() >= kEmpty) throw std::length_error("token longer than 4 GiB");
    return key.size() > kInline ? key.size() : 0;
  }

  // This table's hash of a key; counters that feed the table hash with the
  // same secret so that their hashes can be handed over.
  std::uint32_t hash(std::string_view key) const noexcept { return detail::hash_text(key, key_); }
  const detail::HashKey& hash_key() const noexcept { return key_; }

  // Hints the processor to fetch the slot where a key with this hash starts
  // probing, ahead of a find_or_insert.
  void prefetch(std::uint32_t hash) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  // Calls f(key, count) for every entry, in no particular order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.length != kEmpty) f(key_of(slot), slot.count);
    }
  }

  // All entries, in ascending byte order of their keys. The views point into
  // the table and stay valid until the next insertion.
  std::vector<std::pair<std::string_view, std::int32_t>> sorted_entries() const;

 private:
  static constexpr std::size_t kInline = 8;
  static constexpr std::uint32_t kEmpty = ~std::uint32_t{0};  // length of an unused slot

  struct Slot {
    // The key's bytes, zero-padded, when it has at most kInline bytes;
    // otherwise the offset of its bytes in the arena.
    std::uint64_t word = 0;
    std::uint32_t length = kEmpty;
    std::int32_t count = 0;
  };
  static_assert(sizeof(Slot) == 16);

  std::string_view key_of(const Slot& slot) const noexcept;
  bool holds(const Slot& slot, std::string_view key, std::uint64_t inline_word) const noexcept;
  // The slot holding `key`, or the empty slot where it goes.
  std::size_t probe(std::string_view key, std::uint32_t hash) const noexcept;
  // Moves every entry into a new slot array of `capacity` slots; throws
  // before anything changes when that array cannot be allocated.
  void rehash(std::size_t capacity);

  detail::HashKey key_;
  std::vector<Slot> slots_;  // power-of-two length, or empty before the first insertion
  std::string arena_;        // bytes of the keys longer than kInline
  std::size_t size_ = 0;
};

}  // namespace vorn::typing::text
