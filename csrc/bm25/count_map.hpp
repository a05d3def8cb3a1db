#pragma once
// Occurrence counting for one token list. The table is sized for the list up
// front (it can never hold more distinct tokens than the list has items), so
// counting allocates once and never rehashes; this is the hot path of both
// `train` and `encode_document`.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "hash.hpp"
#include "saturating.hpp"

namespace vorn::typing::text {

namespace detail {
inline std::uint32_t hash_key(std::string_view key, const HashKey& secret) noexcept { return hash_text(key, secret); }
inline std::uint32_t hash_key(std::int64_t key, const HashKey& secret) noexcept {
  return hash_integer(static_cast<std::uint64_t>(key), secret);
}
}  // namespace detail

// Counts of the distinct tokens of one list. `Key` is std::string_view (views
// into the caller's list, which must outlive the map) or std::int64_t. The
// hash key is the model table's, so that string hashes can be handed over.
template <class Key>
class TokenCounts {
 public:
  struct Entry {
    Key key{};
    std::int32_t count = 0;  // 0 marks an empty slot: a counted token has at least 1
    std::uint32_t hash = 0;  // kept so that the model's table need not hash the key again
  };

  TokenCounts(std::size_t max_distinct, const detail::HashKey& secret) : secret_(secret) {
    // At most 4/5 full even if every token is distinct; usually far less.
    std::size_t capacity = 8;
    while (capacity < max_distinct + max_distinct / 4) capacity *= 2;
    slots_.resize(capacity);
    mask_ = capacity - 1;
  }

  void add(Key key) {
    const std::uint32_t hash = detail::hash_key(key, secret_);
    std::size_t i = hash & mask_;
    while (true) {
      Entry& slot = slots_[i];
      if (slot.count == 0) {
        slot.key = key;
        slot.hash = hash;
        slot.count = 1;
        ++distinct_;
        return;
      }
      if (slot.hash == hash && slot.key == key) {
        slot.count = saturating_add(slot.count, 1);
        return;
      }
      i = (i + 1) & mask_;
    }
  }

  std::size_t distinct() const noexcept { return distinct_; }

  // Moves the distinct tokens to the front of the table, in no particular
  // order, and returns them; the table cannot count any more afterwards.
  // Lets the caller walk them densely (and look ahead).
  const Entry* compact(std::size_t& size) {
    std::size_t next = 0;
    for (Entry& slot : slots_) {
      if (slot.count != 0) slots_[next++] = slot;
    }
    size = next;
    return slots_.data();
  }

  // The distinct tokens with their counts, in ascending key order.
  std::vector<Entry> sorted() const {
    std::vector<Entry> out;
    out.reserve(distinct_);
    for (const Entry& slot : slots_) {
      if (slot.count != 0) out.push_back(slot);
    }
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    return out;
  }

 private:
  detail::HashKey secret_;
  std::vector<Entry> slots_;
  std::size_t mask_ = 0;
  std::size_t distinct_ = 0;
};

}  // namespace vorn::typing::text
