#include "forward.hpp"

#include <algorithm>
#include <stdexcept>

#include "growth.hpp"

namespace vorn::typing::text::search {

Array<std::uint8_t>& ForwardStore::page_for(std::size_t bytes) {
  make_room(positions_, positions_.size() + 1);
  if (pages_.empty() || pages_.back().capacity() - pages_.back().size() < bytes) {
    make_room(pages_, pages_.size() + 1);
    Array<std::uint8_t> page;
    page.reserve(std::max(kPage, bytes));
    pages_.push_back(std::move(page));
  }
  return pages_.back();
}

void ForwardStore::append(const std::vector<WordCount>& entries) {
  std::size_t bytes = varint_size(entries.size());
  std::uint32_t previous = 0;
  for (const WordCount& entry : entries) {
    bytes += entry_size(entry.word - previous, entry.count);
    previous = entry.word;
  }
  Array<std::uint8_t>& page = page_for(bytes);
  // Nothing below allocates.
  const std::size_t offset = page.size();
  page.resize(offset + bytes);
  std::uint8_t* out = put_varint(page.data() + offset, entries.size());
  previous = 0;
  for (const WordCount& entry : entries) {
    out = put_entry(out, entry.word - previous, entry.count);
    previous = entry.word;
  }
  positions_.push_back((std::uint64_t{pages_.size() - 1} << 32) | offset);
}

void ForwardStore::append_encoded(const std::uint8_t* begin, const std::uint8_t* end) {
  Array<std::uint8_t>& page = page_for(static_cast<std::size_t>(end - begin));
  positions_.push_back((std::uint64_t{pages_.size() - 1} << 32) | page.size());
  page.append(begin, end);
}

std::size_t ForwardStore::memory() const noexcept {
  std::size_t bytes = positions_.capacity() * sizeof(std::uint64_t);
  for (const auto& page : pages_) bytes += page.capacity();
  return bytes;
}

}  // namespace vorn::typing::text::search
