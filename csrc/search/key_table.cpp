#include "key_table.hpp"

#include <stdexcept>

#include "growth.hpp"

namespace vorn::typing::text::search {

std::size_t KeyTable::probe(std::string_view key) const noexcept {
  for (std::size_t at = home(hash(key));; at = next(at)) {
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
  make_room(ends_, ends_.size() + keys);
  make_room(bytes_, bytes_.size() + bytes);
  grow_slots(live_ + keys);
}

void KeyTable::grow_slots(std::size_t keys) {
  if (keys * 10 <= slots_.size() * 7) return;
  Array<std::uint32_t> fresh(std::max<std::size_t>(16, keys * 2), 0);  // throws before anything changes
  slots_.swap(fresh);
  for (const std::uint32_t slot : fresh) {
    if (slot != 0) place(slot - 1);
  }
}

std::uint32_t KeyTable::add(std::string_view key) {
  const std::uint32_t number = add_new(key);
  return number;
}

std::uint32_t KeyTable::add_new(std::string_view key) {
  reserve(1, key.size());
  const std::size_t slot = probe(key);
  if (slots_[slot] != 0) return kNone;
  bytes_.append(key.data(), key.data() + key.size());
  ends_.push_back(static_cast<std::uint32_t>(bytes_.size()));
  slots_[slot] = numbered();
  ++live_;
  return numbered() - 1;
}

// Removal from linear probing without markers: the keys after the hole
// that could sit in it move back, so that every probe still finds them.
void KeyTable::remove(std::uint32_t number) noexcept {
  const std::size_t size = slots_.size();
  std::size_t hole = probe(key(number));
  if (slots_[hole] != number + 1) return;
  slots_[hole] = 0;
  --live_;
  for (std::size_t at = next(hole); slots_[at] != 0; at = next(at)) {
    const std::size_t from = home(hash(key(slots_[at] - 1)));
    // The key at `at` may fill the hole when its home is not in (hole, at].
    if ((at + size - from) % size >= (at + size - hole) % size) {
      slots_[hole] = slots_[at];
      slots_[at] = 0;
      hole = at;
    }
  }
}

}  // namespace vorn::typing::text::search
