#pragma once
// Each document's words (by number, ascending) with their counts: what
// removing the document must take back out of the statistics. Documents are
// numbered in the order they come; their entries are varints (the gap from
// the previous word, doubled, plus one when the count is 1, else followed by
// the count) in pages of 1 MiB, so that growth never copies them all.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "array.hpp"
#include "varint.hpp"

namespace vorn::typing::text::search {

struct WordCount {
  std::uint32_t word;
  std::uint32_t count;
};

class ForwardStore {
 public:
  std::uint32_t documents() const noexcept { return static_cast<std::uint32_t>(positions_.size()); }

  // Appends the next document's entries (words ascending). On failure (out
  // of memory) the store is as it was.
  void append(const std::vector<WordCount>& entries);
  // The same with the entries already encoded (their count, then each).
  void append_encoded(const std::uint8_t* begin, const std::uint8_t* end);

  // Calls each(word, count) for every entry of `document`, in word order.
  template <class Each>
  void for_each(std::uint32_t document, Each&& each) const {
    const std::uint64_t position = positions_[document];
    const std::uint8_t* at = pages_[position >> 32].data() + (position & 0xffffffffu);
    std::uint32_t word = 0;
    for (std::uint32_t n = read_varint32(at); n > 0; --n) {
      const std::uint32_t count = read_entry(at, word);
      each(word, count);
    }
  }

  std::size_t memory() const noexcept;

 private:
  static constexpr std::size_t kPage = std::size_t{1} << 20;
  // The page where `bytes` more go, with room made for their position too.
  Array<std::uint8_t>& page_for(std::size_t bytes);
  friend struct ImageAccess;  // the snapshot image, which reads and writes the arrays in place

  std::vector<Array<std::uint8_t>> pages_;
  Array<std::uint64_t> positions_;  // page << 32 | offset of each document's entries
};

}  // namespace vorn::typing::text::search
