#include "key_table.hpp"

#include <stdexcept>

namespace vorn::typing::text::search {

std::size_t KeyTable::probe(std::string_view key) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash(key) & mask;; at = (at + 1) & mask) {
    const std::uint32_t slot = slots_[at];
    if (slot == 0 || this->key(slot - 1) == key) return at;
  }
}

std::uint32_t KeyTable::find(std::string_view key) const noexcept {
  if (slots_.empty()) return kNone;
  const std::uint32_t slot = slots_[probe(key)];
  return slot == 0 ? kNone : slot - 1;
}

void KeyTable::reserve(std::size_t keys, std::size_t bytes) {
  // Numbers and byte offsets are 32 bits; kNone is never a number.
  if (keys >= kNone - ends_.size() || bytes > std::numeric_limits<std::uint32_t>::max() - bytes_.size()) {
    throw std::length_error("more keys than an index can hold");
  }
  if (ends_.capacity() < ends_.size() + keys) ends_.reserve(std::max(ends_.size() + keys, 2 * ends_.capacity()));
  if (bytes_.capacity() < bytes_.size() + bytes) bytes_.reserve(std::max(bytes_.size() + bytes, 2 * bytes_.capacity()));
  grow_slots(live_ + keys);
}

// At most half the slots are used, so a probe ends after two slots on average.
void KeyTable::grow_slots(std::size_t keys) {
  std::size_t capacity = slots_.empty() ? 16 : slots_.size();
  while (keys * 2 > capacity) capacity *= 2;
  if (capacity == slots_.size()) return;
  std::vector<std::uint32_t> fresh(capacity, 0);  // throws before anything changes
  slots_.swap(fresh);
  for (const std::uint32_t slot : fresh) {
    if (slot != 0) place(slot - 1);
  }
}

void KeyTable::place(std::uint32_t number) noexcept { slots_[probe(key(number))] = number + 1; }

std::uint32_t KeyTable::add(std::string_view key) {
  reserve(1, key.size());
  bytes_.append(key);
  ends_.push_back(static_cast<std::uint32_t>(bytes_.size()));
  const std::uint32_t number = numbered() - 1;
  place(number);
  ++live_;
  return number;
}

std::uint32_t KeyTable::find_or_add(std::string_view key) {
  const std::uint32_t found = find(key);
  return found != kNone ? found : add(key);
}

// Removal from linear probing without markers: the keys after the hole
// that could sit in it move back, so that every probe still finds them.
void KeyTable::remove(std::uint32_t number) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = probe(key(number));
  if (slots_[hole] != number + 1) return;
  slots_[hole] = 0;
  --live_;
  for (std::size_t at = (hole + 1) & mask; slots_[at] != 0; at = (at + 1) & mask) {
    const std::size_t home = hash(key(slots_[at] - 1)) & mask;
    // The key at `at` may fill the hole when its home is not in (hole, at].
    if (((at - home) & mask) >= ((at - hole) & mask)) {
      slots_[hole] = slots_[at];
      slots_[at] = 0;
      hole = at;
    }
  }
}

}  // namespace vorn::typing::text::search
