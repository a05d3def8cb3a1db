#include "token_table.hpp"

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace vorn::typing::text {

namespace detail {

HashKey HashKey::random() noexcept {
  HashKey key{};
  if (::getrandom(&key, sizeof key, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof key)) {
    // No entropy yet (very early boot) or no system call: the clock and the
    // stack's randomised address still differ between processes.
    const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto place = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&key));
    key.seed = fold_multiply(ticks ^ 0xa0761d6478bd642fULL, place ^ 0xe7037ed1a0b428dbULL);
    key.mix0 = fold_multiply(key.seed ^ 0x8ebc6af09c88c6e3ULL, ticks + place);
    key.mix1 = fold_multiply(key.mix0 ^ 0x589965cc75374cc3ULL, key.seed);
  }
  key.mix1 |= 1;  // an odd multiplier for the integer hash
  return key;
}

}  // namespace detail

namespace {
std::uint64_t inline_word_of(std::string_view key) noexcept {
  std::uint64_t word = 0;
  if (key.size() <= 8) std::memcpy(&word, key.data(), key.size());
  return word;
}

}  // namespace

std::string_view TokenTable::key_of(const Slot& slot) const noexcept {
  if (slot.length <= kInline) return std::string_view(reinterpret_cast<const char*>(&slot.word), slot.length);
  return std::string_view(arena_.data() + slot.word, slot.length);
}

bool TokenTable::holds(const Slot& slot, std::string_view key, std::uint64_t inline_word) const noexcept {
  if (slot.length != key.size()) return false;
  if (key.size() <= kInline) return slot.word == inline_word;
  return std::memcmp(arena_.data() + slot.word, key.data(), key.size()) == 0;
}

std::size_t TokenTable::probe(std::string_view key, std::uint32_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t inline_word = inline_word_of(key);
  std::size_t i = hash & mask;
  while (slots_[i].length != kEmpty && !holds(slots_[i], key, inline_word)) i = (i + 1) & mask;
  return i;
}

const std::int32_t* TokenTable::find(std::string_view key, std::uint32_t hash) const noexcept {
  if (slots_.empty()) return nullptr;
  const Slot& slot = slots_[probe(key, hash)];
  return slot.length == kEmpty ? nullptr : &slot.count;
}

std::int32_t& TokenTable::find_or_insert(std::string_view key, std::uint32_t hash) {
  if (!slots_.empty()) {
    Slot& slot = slots_[probe(key, hash)];
    if (slot.length != kEmpty) return slot.count;
  }
  // Everything that can throw comes before the table changes.
  reserve(1, arena_bytes(key));
  Slot& slot = slots_[probe(key, hash)];
  if (key.size() <= kInline) {
    slot.word = inline_word_of(key);
  } else {
    slot.word = arena_.size();
    arena_.append(key.data(), key.size());
  }
  slot.length = static_cast<std::uint32_t>(key.size());
  slot.count = 0;
  ++size_;
  return slot.count;
}

void TokenTable::reserve(std::size_t entries, std::size_t long_key_bytes) {
  // Bounds that keep the arithmetic below from overflowing.
  constexpr std::size_t kMaxEntries = std::numeric_limits<std::size_t>::max() / 8;
  if (entries > kMaxEntries - size_ || long_key_bytes > arena_.max_size() - arena_.size()) {
    throw std::length_error("token table too large");
  }
  // The arena first: growing it cannot disturb the slots.
  if (long_key_bytes > arena_.capacity() - arena_.size()) {
    arena_.reserve(std::min(arena_.max_size(), std::max(arena_.size() + long_key_bytes, 2 * arena_.capacity())));
  }
  // At most 3/4 of the slots in use keeps probe sequences short.
  const std::size_t needed = size_ + entries;
  if (needed * 4 > slots_.size() * 3) {
    std::size_t capacity = std::max<std::size_t>(16, slots_.size());
    while (needed * 4 > capacity * 3) capacity *= 2;
    rehash(capacity);
  }
}

bool TokenTable::has_room(std::size_t entries, std::size_t long_key_bytes) const noexcept {
  return long_key_bytes <= arena_.capacity() - arena_.size() && entries <= slots_.size() &&
         (size_ + entries) * 4 <= slots_.size() * 3;
}

void TokenTable::rehash(std::size_t capacity) {
  std::vector<Slot> fresh(capacity);  // the only step that can throw
  fresh.swap(slots_);
  for (const Slot& slot : fresh) {
    if (slot.length != kEmpty) slots_[probe(key_of(slot), hash(key_of(slot)))] = slot;
  }
}

std::vector<std::pair<std::string_view, std::int32_t>> TokenTable::sorted_entries() const {
  std::vector<std::pair<std::string_view, std::int32_t>> out;
  out.reserve(size_);
  for_each([&out](std::string_view key, std::int32_t count) { out.emplace_back(key, count); });
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

}  // namespace vorn::typing::text
