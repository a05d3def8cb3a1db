#pragma once
// Byte-string keys numbered 0, 1, 2... in the order they were added: the
// index's vocabulary (word -> word number) and its document ids (id ->
// document number). The bytes of all keys live in one buffer, and the hash
// slots hold numbers only, so a key costs its bytes plus about 10 more
// instead of a node and a string. A removed key keeps its number and bytes
// (numbers are never reused) but is found no more.
//
// Every operation that allocates either succeeds or throws with the table
// unchanged.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include "array.hpp"
#include "bm25/hash.hpp"

namespace vorn::typing::text::search {

class KeyTable {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  KeyTable() noexcept : secret_(detail::HashKey::random()) {}

  // Keys ever added (found or removed).
  std::uint32_t numbered() const noexcept { return static_cast<std::uint32_t>(ends_.size()); }
  // Keys that are found.
  std::size_t size() const noexcept { return live_; }

  std::uint32_t find(std::string_view key) const noexcept;
  // Adds a key known not to be found; its number.
  std::uint32_t add(std::string_view key);
  // Adds a key unless it is found (then kNone), with one probe.
  std::uint32_t add_new(std::string_view key);
  // Hints the processor to fetch the first slot of `key`, some keys ahead
  // of adding or finding it.
  void prefetch(std::string_view key) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(hash(key))]);
  }
  // Stops finding the key of `number`; its bytes stay.
  void remove(std::uint32_t number) noexcept;
  // Finds the key of a removed `number` again. The key must not be found
  // now, and no more keys may be found than before its removal.
  void restore(std::uint32_t number) noexcept {
    place(number);
    ++live_;
  }
  // Room for `keys` more keys of `bytes` bytes in all: until then adding
  // cannot throw.
  void reserve(std::size_t keys, std::size_t bytes);

  std::string_view key(std::uint32_t number) const noexcept {
    const std::uint32_t begin = number == 0 ? 0 : ends_[number - 1];
    return std::string_view(bytes_.data() + begin, ends_[number] - begin);
  }
  std::size_t memory() const noexcept {
    return bytes_.capacity() + (ends_.capacity() + slots_.capacity()) * sizeof(std::uint32_t);
  }

 private:
  std::uint32_t hash(std::string_view key) const noexcept {
    return static_cast<std::uint32_t>(detail::hash_bytes(key, secret_));
  }
  // A key's first slot: its hash scaled to the number of slots, which need
  // not be a power of two, so that the table stays between half and 70% full.
  std::size_t home(std::uint32_t hash) const noexcept {
    return static_cast<std::size_t>((std::uint64_t{hash} * slots_.size()) >> 32);
  }
  std::size_t next(std::size_t slot) const noexcept { return slot + 1 == slots_.size() ? 0 : slot + 1; }
  // The slot holding `key`, or the empty slot where it would go.
  std::size_t probe(std::string_view key) const noexcept;
  void grow_slots(std::size_t keys);
  void place(std::uint32_t number) noexcept { slots_[probe(key(number))] = number + 1; }

  detail::HashKey secret_;
  friend struct ImageAccess;  // the snapshot image, which reads and writes the arrays in place

  Array<char> bytes_;           // every key's bytes, one after another
  Array<std::uint32_t> ends_;   // end of each key's bytes
  Array<std::uint32_t> slots_;  // number + 1 of the key in each slot, 0 when empty
  std::size_t live_ = 0;
};

}  // namespace vorn::typing::text::search
