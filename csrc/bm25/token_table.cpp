#include "token_table.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "hash.hpp"

namespace vorn::typing::text {

namespace {
std::uint64_t inline_word_of(std::string_view key) noexcept {
  std::uint64_t word = 0;
  if (key.size() <= 8) std::memcpy(&word, key.data(), key.size());
  return word;
}
}  // namespace

std::uint32_t TokenTable::hash(std::string_view key) noexcept { return detail::hash_text(key); }

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

const std::int32_t* TokenTable::find(std::string_view key) const noexcept {
  if (slots_.empty()) return nullptr;
  const Slot& slot = slots_[probe(key, hash(key))];
  return slot.length == kEmpty ? nullptr : &slot.count;
}

std::int32_t& TokenTable::find_or_insert(std::string_view key, std::uint32_t hash) {
  if (!slots_.empty()) {
    Slot& slot = slots_[probe(key, hash)];
    if (slot.length != kEmpty) return slot.count;
  }
  if (key.size() >= kEmpty) throw std::length_error("token longer than 4 GiB");
  // Keep the load at most 3/4 so that probe sequences stay short.
  if ((size_ + 1) * 4 > slots_.size() * 3) grow();
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

void TokenTable::grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  slots_.resize(old.empty() ? 16 : old.size() * 2);
  for (const Slot& slot : old) {
    if (slot.length != kEmpty) {
      const std::string_view key = key_of(slot);
      slots_[probe(key, hash(key))] = slot;
    }
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
