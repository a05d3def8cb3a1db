#include "postings.hpp"

#include <streamvbyte.h>
#include <streamvbytedelta.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "varint.hpp"

namespace vorn::typing::text::search {

namespace {

// Stream VByte reads whole 16-byte groups; the padding after the last block
// keeps those reads inside the buffer.
constexpr std::size_t kDecoderPadding = 16;
constexpr std::size_t kMaxBlockBytes = 2 * ((kBlock + 3) / 4 + 4 * kBlock);

std::uint16_t used_of(const std::uint8_t* chunk) noexcept {
  std::uint16_t used;
  std::memcpy(&used, chunk + 1, sizeof used);
  return used;
}

void set_used(std::uint8_t* chunk, std::size_t used) noexcept {
  const auto value = static_cast<std::uint16_t>(used);
  std::memcpy(chunk + 1, &value, sizeof value);
}

// Decodes the varint postings of a chunk, which this process wrote.
template <class Each>
void for_each_small(const std::uint8_t* at, const std::uint8_t* end, Each&& each) {
  std::uint32_t document = 0;
  while (at < end) {
    const std::uint32_t count = read_entry(at, document);
    each(document, count);
  }
}

}  // namespace

std::uint32_t PostingStore::ChunkArena::allocate(unsigned size_class) {
  const auto units = static_cast<std::uint32_t>(bytes(size_class) / 8);
  std::uint32_t chunk = 0;
  if (free_[size_class] != 0) {
    chunk = free_[size_class] - 1;
    std::memcpy(&free_[size_class], at(chunk) + 4, sizeof(std::uint32_t));
  } else {
    if (used_ + units > 0x20000) {
      if (pages_.size() >= 0x8000) throw std::length_error("postings beyond 32 GiB");
      make_room(pages_, pages_.size() + 1);
      make_room(owned_, owned_.size() + 1);
      owned_.push_back(std::make_unique<std::uint8_t[]>(std::size_t{1} << 20));
      pages_.push_back(owned_.back().get());
      used_ = 0;
    }
    chunk = static_cast<std::uint32_t>((pages_.size() - 1) << 17) + used_;
    used_ += units;
  }
  std::uint8_t* bytes = at(chunk);
  bytes[0] = static_cast<std::uint8_t>(size_class);
  set_used(bytes, 0);
  return chunk;
}

void PostingStore::ChunkArena::release(std::uint32_t chunk) noexcept {
  std::uint8_t* bytes = at(chunk);
  const unsigned size_class = bytes[0];
  std::memcpy(bytes + 4, &free_[size_class], sizeof(std::uint32_t));
  free_[size_class] = chunk + 1;
}

void PostingStore::append(std::uint32_t word, std::uint32_t document, std::uint32_t count,
                          const Array<std::uint32_t>& lengths) {
  Head& head = heads_[word];
  const std::uint32_t size = head.size & kSizeMask;
  if (size >= kSizeMask) throw std::length_error("a word in more documents than an index can hold");
  if ((head.size & kLarge) != 0) {
    append_large(large_[head.handle], document, count, lengths);
    ++head.size;
  } else if (size == 0 && count == 1) {
    head = Head{document, 1 | kSingle};
  } else {
    append_small(head, document, count, lengths);
  }
}

void PostingStore::append_small(Head& head, std::uint32_t document, std::uint32_t count,
                                const Array<std::uint32_t>& lengths) {
  const std::uint32_t size = head.size & kSizeMask;
  // The postings so far: a single one in the head, or a chunk's varints.
  std::uint8_t single[2 * kMaxVarint32];
  const std::uint8_t* begin = single;
  std::size_t used = 0;
  std::uint32_t last = 0;
  if ((head.size & kSingle) != 0) {
    used = static_cast<std::size_t>(put_entry(single, head.handle, 1) - single);
    last = head.handle;
  } else if (size > 0) {
    begin = chunks_.at(head.handle) + ChunkArena::kHeader;
    used = used_of(chunks_.at(head.handle));
    for_each_small(begin, begin + used, [&](std::uint32_t d, std::uint32_t) { last = d; });
  }
  std::uint8_t posting[2 * kMaxVarint32];
  const std::size_t added = static_cast<std::size_t>(put_entry(posting, document - last, count) - posting);
  const bool chunked = size > 0 && (head.size & kSingle) == 0;
  const unsigned size_class = chunked ? chunks_.at(head.handle)[0] : 0;

  const bool too_long = size + 1 >= kBlock || used + added > ChunkArena::capacity(ChunkArena::kClasses - 1);
  if (chunked && !too_long && used + added <= ChunkArena::capacity(size_class)) {
    std::uint8_t* chunk = chunks_.at(head.handle);
    std::memcpy(chunk + ChunkArena::kHeader + used, posting, added);
    set_used(chunk, used + added);
    ++head.size;
    return;
  }
  if (too_long) {
    // Too long for a chunk: it becomes blocks and a tail.
    LargeList list;
    list.tail.append(begin, begin + used);
    list.tail_size = size;
    list.last_document = last;
    make_room(large_, large_.size() + 1);
    append_large(list, document, count, lengths);
    if (large_.size() >= kSizeMask) throw std::length_error("too many long lists");
    large_.push_back(std::move(list));
    if (chunked) chunks_.release(head.handle);
    head = Head{static_cast<std::uint32_t>(large_.size() - 1), (size + 1) | kLarge};
    return;
  }
  // Moves to a chunk of the size class that fits.
  const std::uint32_t chunk = chunks_.allocate(ChunkArena::class_for(used + added));
  std::uint8_t* bytes = chunks_.at(chunk);
  std::memcpy(bytes + ChunkArena::kHeader, begin, used);
  std::memcpy(bytes + ChunkArena::kHeader + used, posting, added);
  set_used(bytes, used + added);
  if (chunked) chunks_.release(head.handle);
  head = Head{chunk, size + 1};
}

// Adds a block of kBlock postings after the list's last block; the tail
// is left to the caller. A failure leaves the list as it was.
void PostingStore::seal(LargeList& list, const std::uint32_t* documents, const std::uint32_t* counts,
                        const Array<std::uint32_t>& lengths) {
  Bounds bounds{documents[kBlock - 1], 0, 0xffffffffu};
  std::uint32_t minus_one[kBlock];
  for (std::size_t i = 0; i < kBlock; ++i) {
    bounds.max_count = std::max(bounds.max_count, counts[i]);
    bounds.min_length = std::min(bounds.min_length, lengths[documents[i]]);
    minus_one[i] = counts[i] - 1;  // zeros take no bytes
  }
  std::uint8_t encoded[kMaxBlockBytes];
  const std::uint32_t previous = list.blocks.empty() ? 0 : list.blocks.back().bounds.last_document;
  std::size_t bytes = streamvbyte_delta_encode(documents, kBlock, encoded, previous);
  bytes += streamvbyte_encode_0124(minus_one, kBlock, encoded + bytes);
  const std::size_t start = list.data.empty() ? 0 : list.data.size() - kDecoderPadding;
  if (start + bytes > 0xffffffffu) throw std::length_error("a posting list beyond 4 GiB");
  make_room(list.blocks, list.blocks.size() + 1);
  make_room(list.data, start + bytes + kDecoderPadding);
  list.data.resize(start);
  list.data.append(encoded, encoded + bytes);
  list.data.resize(start + bytes + kDecoderPadding, 0);
  list.blocks.push_back({bounds, static_cast<std::uint32_t>(start)});
}

void PostingStore::append_large(LargeList& list, std::uint32_t document, std::uint32_t count,
                                const Array<std::uint32_t>& lengths) {
  if (list.tail_size >= kBlock) {
    // Seals the full tail into a block first, so that a failure leaves the list as it was.
    std::uint32_t documents[kBlock], counts[kBlock];
    const std::uint32_t first = list.blocks.empty() ? 0 : list.blocks.back().bounds.last_document;
    std::size_t i = 0;
    for_each_small(list.tail.data(), list.tail.data() + list.tail.size(), [&](std::uint32_t d, std::uint32_t c) {
      documents[i] = first + d;  // the tail's gaps start from the last block's end
      counts[i++] = c;
    });
    seal(list, documents, counts, lengths);
    list.tail.clear();
    list.tail_size = 0;
  }
  const std::uint32_t previous = list.tail_size == 0 ? (list.blocks.empty() ? 0 : list.blocks.back().bounds.last_document)
                                                     : list.last_document;
  std::uint8_t posting[2 * kMaxVarint32];
  const std::size_t added = static_cast<std::size_t>(put_entry(posting, document - previous, count) - posting);
  make_room(list.tail, list.tail.size() + added);
  list.tail.append(posting, posting + added);
  ++list.tail_size;
  list.last_document = document;
}

void PostingStore::assign(std::uint32_t word, const std::vector<std::uint32_t>& documents,
                          const std::vector<std::uint32_t>& counts, std::basic_string_view<std::uint8_t> encoded,
                          const Array<std::uint32_t>& lengths) {
  const std::size_t size = documents.size();
  if (size == 0) return;
  if (size >= kSizeMask) throw std::length_error("a word in more documents than an index can hold");
  Head& head = heads_[word];
  if (size == 1 && counts[0] == 1) {
    head = Head{documents[0], 1 | kSingle};
    return;
  }
  if (size < kBlock && encoded.size() <= ChunkArena::capacity(ChunkArena::kClasses - 1)) {
    const std::uint32_t chunk = chunks_.allocate(ChunkArena::class_for(encoded.size()));
    std::memcpy(chunks_.at(chunk) + ChunkArena::kHeader, encoded.data(), encoded.size());
    set_used(chunks_.at(chunk), encoded.size());
    head = Head{chunk, static_cast<std::uint32_t>(size)};
    return;
  }
  // Whole blocks straight from the arrays, then the tail, as appending would leave them.
  LargeList list;
  const std::size_t sealed = (size - 1) / kBlock;
  list.blocks.reserve(sealed);
  list.data.reserve(sealed * kMaxBlockBytes / 4);  // a guess: most gaps and counts take a byte or less
  for (std::size_t block = 0; block < sealed; ++block) {
    seal(list, documents.data() + block * kBlock, counts.data() + block * kBlock, lengths);
  }
  for (std::size_t i = sealed * kBlock; i < size; ++i) append_large(list, documents[i], counts[i], lengths);
  list.data.shrink_to_fit();
  make_room(large_, large_.size() + 1);
  large_.push_back(std::move(list));
  head = Head{static_cast<std::uint32_t>(large_.size() - 1), static_cast<std::uint32_t>(size) | kLarge};
}

std::size_t PostingStore::memory() const noexcept {
  std::size_t bytes = heads_.capacity() * sizeof(Head) + chunks_.memory() + large_.capacity() * sizeof(LargeList);
  for (const LargeList& list : large_) {
    bytes += list.blocks.capacity() * sizeof(Block) + list.data.capacity() + list.tail.capacity();
  }
  return bytes;
}

// --- Reader ----------------------------------------------------------------------------------------

PostingStore::Reader::Reader(const PostingStore& store, std::uint32_t word, const Array<std::uint32_t>& lengths) {
  const Head& head = store.heads_[word];
  const std::uint32_t size = head.size & kSizeMask;
  const auto decode = [&](const std::uint8_t* begin, const std::uint8_t* end, std::uint32_t from) {
    for_each_small(begin, end, [&](std::uint32_t d, std::uint32_t c) {
      tail_documents_.push_back(from + d);
      tail_counts_.push_back(c);
    });
  };
  if ((head.size & kLarge) != 0) {
    large_ = &store.large_[head.handle];
    sealed_ = large_->blocks.size();
    tail_documents_.reserve(large_->tail_size);
    tail_counts_.reserve(large_->tail_size);
    decode(large_->tail.data(), large_->tail.data() + large_->tail.size(),
           sealed_ == 0 ? 0 : large_->blocks.back().bounds.last_document);
  } else if ((head.size & kSingle) != 0) {
    tail_documents_.assign(1, head.handle);
    tail_counts_.assign(1, 1);
  } else if (size > 0) {
    const std::uint8_t* chunk = store.chunks_.at(head.handle);
    tail_documents_.reserve(size);
    tail_counts_.reserve(size);
    decode(chunk + ChunkArena::kHeader, chunk + ChunkArena::kHeader + used_of(chunk), 0);
  }
  tail_ = Bounds{tail_documents_.empty() ? 0 : tail_documents_.back(), 0, 0xffffffffu};
  for (std::size_t i = 0; i < tail_documents_.size(); ++i) {
    tail_.max_count = std::max(tail_.max_count, tail_counts_[i]);
    tail_.min_length = std::min(tail_.min_length, lengths[tail_documents_[i]]);
  }
  whole_ = tail_;
  for (std::size_t b = 0; b < sealed_; ++b) {
    whole_.max_count = std::max(whole_.max_count, large_->blocks[b].bounds.max_count);
    whole_.min_length = std::min(whole_.min_length, large_->blocks[b].bounds.min_length);
  }
  if (blocks() > 0) whole_.last_document = bounds(blocks() - 1).last_document;
  if (blocks() > 0) {
    load(0);
  } else {
    documents_[0] = kEndDocument;
  }
}

void PostingStore::Reader::load(std::size_t block) noexcept {
  block_ = block;
  at_ = 0;
  if (block < sealed_) {
    const std::uint8_t* bytes = large_->data.data() + large_->blocks[block].offset;
    const std::uint32_t previous = block == 0 ? 0 : large_->blocks[block - 1].bounds.last_document;
    bytes += streamvbyte_delta_decode(bytes, documents_, kBlock, previous);
    streamvbyte_decode_0124(bytes, counts_, kBlock);
    for (std::uint32_t& count : counts_) ++count;
    loaded_ = kBlock;
  } else {
    loaded_ = tail_documents_.size();
    std::copy(tail_documents_.begin(), tail_documents_.end(), documents_);
    std::copy(tail_counts_.begin(), tail_counts_.end(), counts_);
  }
  documents_[loaded_] = kEndDocument;
  counts_[loaded_] = 0;
}

std::size_t PostingStore::Reader::block_for(std::uint32_t target) const noexcept {
  std::size_t block = block_;
  while (block < blocks() && bounds(block).last_document < target) ++block;
  return block;
}

void PostingStore::Reader::seek(std::uint32_t target) noexcept {
  if (document() >= target) return;
  const std::size_t block = block_for(target);
  if (block >= blocks()) {
    at_ = loaded_;
    documents_[at_] = kEndDocument;  // past the end
    return;
  }
  if (block != block_) load(block);
  while (documents_[at_] < target) ++at_;
}

}  // namespace vorn::typing::text::search
