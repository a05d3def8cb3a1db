#pragma once
// The postings of every word: the documents that hold it, by number in
// ascending order, and how often. Lists only grow at their end, since every
// document gets a higher number than those before it; the postings of a
// removed document stay until the index is rebuilt, and readers skip them.
//
// A list takes one of three shapes by size. One posting with a count of 1,
// which most words of a large vocabulary have, sits in the list's head. Up
// to kBlock postings are a run of varints in a chunk of a shared arena.
// Longer lists are blocks of kBlock postings compressed with Stream VByte,
// each with the bounds a query needs to skip it (last document, largest
// count, shortest document), then a tail of plain postings.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "array.hpp"
#include "growth.hpp"

namespace vorn::typing::text::search {

constexpr std::uint32_t kBlock = 128;
constexpr std::uint32_t kEndDocument = 0xffffffffu;

// What bounds the weights of a run of postings, whatever the average length.
struct Bounds {
  std::uint32_t last_document;
  std::uint32_t max_count;
  std::uint32_t min_length;
};

class PostingStore {
 public:
  std::uint32_t words() const noexcept { return static_cast<std::uint32_t>(heads_.size()); }
  // Makes room for `words` lists, so that resize cannot throw up to it.
  void reserve(std::uint32_t words) { make_room(heads_, words); }
  void resize(std::uint32_t words) { heads_.resize(words); }
  // Postings in the list of `word`, removed documents included.
  std::uint32_t size(std::uint32_t word) const noexcept { return heads_[word].size & kSizeMask; }

  // Appends (document, count) to the list of `word`; `document` is above
  // every document in it, and `lengths[d]` is the length of document d. On
  // failure (out of memory) the list is as it was.
  void append(std::uint32_t word, std::uint32_t document, std::uint32_t count,
              const Array<std::uint32_t>& lengths);

  // Sets the list of `word`, empty until now, to these postings (documents
  // ascending): what appending them one by one would give, at once.
  // `encoded` holds them as varints, as a short list keeps them.
  void assign(std::uint32_t word, const std::vector<std::uint32_t>& documents, const std::vector<std::uint32_t>& counts,
              std::basic_string_view<std::uint8_t> encoded, const Array<std::uint32_t>& lengths);

  // The list of `word` as (documents, counts) blocks, for a reader.
  class Reader;

  std::size_t memory() const noexcept;

 private:
  friend class Reader;
  static constexpr std::uint32_t kSizeMask = (1u << 30) - 1;
  static constexpr std::uint32_t kSingle = 1u << 30;  // the head holds (document, 1)
  static constexpr std::uint32_t kLarge = 2u << 30;   // handle is an index into large_

  struct Head {
    std::uint32_t handle = 0;  // the document, the chunk or the large list
    std::uint32_t size = 0;    // postings, with the shape in the top two bits
  };
  struct Block {
    Bounds bounds;
    std::uint32_t offset;  // where its bytes begin in data
  };
  struct LargeList {
    Array<Block> blocks;
    Array<std::uint8_t> data;  // the blocks, then padding for the decoder's reads
    Array<std::uint8_t> tail;  // the postings after the last block, as varints
    std::uint32_t tail_size = 0;
    std::uint32_t last_document = 0;  // of the whole list
  };

  // Chunks of 16 bytes to 1 KiB, in 13 sizes that grow by half, carved from
  // 1 MiB pages; a released chunk is reused by the next of its size. A
  // chunk starts with its size class and the number of bytes in use.
  class ChunkArena {
   public:
    static constexpr unsigned kClasses = 13;
    static constexpr std::size_t kHeader = 3;
    static std::size_t capacity(unsigned size_class) noexcept { return bytes(size_class) - kHeader; }
    // The smallest size class whose chunks hold `used` bytes.
    static unsigned class_for(std::size_t used) noexcept {
      unsigned size_class = 0;
      while (size_class + 1 < kClasses && capacity(size_class) < used) ++size_class;
      return size_class;
    }
    std::uint32_t allocate(unsigned size_class);
    void release(std::uint32_t chunk) noexcept;
    std::uint8_t* at(std::uint32_t chunk) const noexcept {
      return pages_[chunk >> 17] + std::size_t{chunk & 0x1ffff} * 8;
    }
    std::size_t memory() const noexcept { return pages_.size() << 20; }

   private:
    // 16, 24, 32, 48 ... 1024: every other size a power of two.
    static std::size_t bytes(unsigned size_class) noexcept {
      return (size_class % 2 == 0 ? std::size_t{16} : std::size_t{24}) << (size_class / 2);
    }
    friend struct ImageAccess;
    std::vector<std::uint8_t*> pages_;  // its own pages, or a mapped snapshot's
    std::vector<std::unique_ptr<std::uint8_t[]>> owned_;
    std::uint32_t used_ = 0x20000;        // 8-byte units used of the last page
    std::uint32_t free_[kClasses] = {};   // first free chunk of each class, + 1
  };

  void append_small(Head& head, std::uint32_t document, std::uint32_t count,
                    const Array<std::uint32_t>& lengths);
  void append_large(LargeList& list, std::uint32_t document, std::uint32_t count,
                    const Array<std::uint32_t>& lengths);
  static void seal(LargeList& list, const std::uint32_t* documents, const std::uint32_t* counts,
                   const Array<std::uint32_t>& lengths);

  friend struct ImageAccess;  // the snapshot image, which reads and writes the arrays in place

  Array<Head> heads_;
  ChunkArena chunks_;
  std::vector<LargeList> large_;
};

// Reads one list in document order, a block at a time. A small list or the
// tail of a large one is a single block, with its bounds worked out here.
class PostingStore::Reader {
 public:
  Reader(const PostingStore& store, std::uint32_t word, const Array<std::uint32_t>& lengths);

  std::uint32_t document() const noexcept { return documents_[at_]; }  // kEndDocument past the end
  std::uint32_t count() const noexcept { return counts_[at_]; }
  void next() noexcept {
    if (at_ < loaded_ && ++at_ == loaded_ && block_ + 1 < blocks()) load(block_ + 1);
  }
  // Moves to the first posting whose document is at least `target`.
  void seek(std::uint32_t target) noexcept;

  std::size_t blocks() const noexcept { return sealed_ + (tail_documents_.empty() ? 0 : 1); }
  const Bounds& bounds(std::size_t block) const noexcept { return block < sealed_ ? large_->blocks[block].bounds : tail_; }
  // The block that would hold `target` (from the current block on), or
  // blocks() when every document of the list is below it.
  std::size_t block_for(std::uint32_t target) const noexcept;
  // The bounds of the whole list.
  Bounds list_bounds() const noexcept { return whole_; }

 private:
  void load(std::size_t block) noexcept;

  const LargeList* large_ = nullptr;
  std::size_t sealed_ = 0;
  Bounds tail_{0, 0, 0};
  Bounds whole_{0, 0, 0};
  std::vector<std::uint32_t> tail_documents_, tail_counts_;  // a small list, or a large list's tail
  std::size_t block_ = 0;
  std::size_t loaded_ = 0;  // postings in the current block
  std::size_t at_ = 0;
  std::uint32_t documents_[kBlock + 1];
  std::uint32_t counts_[kBlock + 1];
};

}  // namespace vorn::typing::text::search
