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
  std::memcpy(&used, chunk + 2, sizeof used);
  return used;
}

void set_used(std::uint8_t* chunk, std::size_t used) noexcept {
  const auto value = static_cast<std::uint16_t>(used);
  std::memcpy(chunk + 2, &value, sizeof value);
}

// A posting as varints: the gap from the previous document, doubled, plus
// one when the count is 1 (most are); otherwise the count follows.
std::uint8_t* put_posting(std::uint8_t* out, std::uint32_t gap, std::uint32_t count) noexcept {
  out = put_varint(out, (std::uint64_t{gap} << 1) | (count == 1 ? 1 : 0));
  return count == 1 ? out : put_varint(out, count);
}

// Decodes the varint postings of a chunk, which this process wrote.
template <class Each>
void for_each_small(const std::uint8_t* at, const std::uint8_t* end, Each&& each) {
  std::uint32_t document = 0;
  while (at < end) {
    const std::uint32_t head = read_varint32(at);
    document += head >> 1;
    each(document, (head & 1) != 0 ? 1u : read_varint32(at));
  }
}

// Room for one more element, growing by doubling: push_back cannot throw after it.
template <class Vector>
void make_room_for_one(Vector& vector) {
  if (vector.size() == vector.capacity()) vector.reserve(std::max<std::size_t>(8, 2 * vector.size()));
}

unsigned class_for(std::size_t bytes) noexcept {
  unsigned size_class = 0;
  while (size_class + 1 < 7 && (std::size_t{16} << size_class) - 4 < bytes) ++size_class;
  return size_class;
}

}  // namespace

std::uint32_t PostingStore::ChunkArena::allocate(unsigned size_class) {
  const std::uint32_t units = 1u << size_class;
  std::uint32_t chunk = 0;
  if (free_[size_class] != 0) {
    chunk = free_[size_class] - 1;
    std::memcpy(&free_[size_class], at(chunk) + 4, sizeof(std::uint32_t));
  } else {
    if (used_ + units > 0x10000) {
      if (pages_.size() >= 0x8000) throw std::length_error("postings beyond 32 GiB");
      make_room_for_one(pages_);
      pages_.push_back(std::make_unique<std::uint8_t[]>(std::size_t{1} << 20));
      used_ = 0;
    }
    chunk = static_cast<std::uint32_t>((pages_.size() - 1) << 16) + used_;
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
                          const std::vector<std::uint32_t>& lengths) {
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
                                const std::vector<std::uint32_t>& lengths) {
  const std::uint32_t size = head.size & kSizeMask;
  // The postings so far: a single one in the head, or a chunk's varints.
  std::uint8_t single[2 * kMaxVarint32];
  const std::uint8_t* begin = single;
  std::size_t used = 0;
  std::uint32_t last = 0;
  if ((head.size & kSingle) != 0) {
    used = static_cast<std::size_t>(put_posting(single, head.handle, 1) - single);
    last = head.handle;
  } else if (size > 0) {
    begin = chunks_.at(head.handle) + ChunkArena::kHeader;
    used = used_of(chunks_.at(head.handle));
    for_each_small(begin, begin + used, [&](std::uint32_t d, std::uint32_t) { last = d; });
  }
  std::uint8_t posting[2 * kMaxVarint32];
  const std::size_t added = static_cast<std::size_t>(put_posting(posting, document - last, count) - posting);
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
    list.tail_documents.reserve(kBlock);
    list.tail_counts.reserve(kBlock);
    for_each_small(begin, begin + used, [&](std::uint32_t d, std::uint32_t c) {
      list.tail_documents.push_back(d);
      list.tail_counts.push_back(c);
    });
    make_room_for_one(large_);
    append_large(list, document, count, lengths);
    if (large_.size() >= kSizeMask) throw std::length_error("too many long lists");
    large_.push_back(std::move(list));
    if (chunked) chunks_.release(head.handle);
    head = Head{static_cast<std::uint32_t>(large_.size() - 1), (size + 1) | kLarge};
    return;
  }
  // Moves to a chunk of the size class that fits.
  const std::uint32_t chunk = chunks_.allocate(class_for(used + added));
  std::uint8_t* bytes = chunks_.at(chunk);
  std::memcpy(bytes + ChunkArena::kHeader, begin, used);
  std::memcpy(bytes + ChunkArena::kHeader + used, posting, added);
  set_used(bytes, used + added);
  if (chunked) chunks_.release(head.handle);
  head = Head{chunk, size + 1};
}

void PostingStore::append_large(LargeList& list, std::uint32_t document, std::uint32_t count,
                                const std::vector<std::uint32_t>& lengths) {
  if (list.tail_documents.size() >= kBlock) {
    // Seals the full tail into a block first, so that a failure leaves the list as it was.
    Bounds bounds{list.tail_documents.back(), 0, 0xffffffffu};
    std::uint32_t minus_one[kBlock];
    for (std::size_t i = 0; i < kBlock; ++i) {
      bounds.max_count = std::max(bounds.max_count, list.tail_counts[i]);
      bounds.min_length = std::min(bounds.min_length, lengths[list.tail_documents[i]]);
      minus_one[i] = list.tail_counts[i] - 1;  // zeros take no bytes
    }
    std::uint8_t encoded[kMaxBlockBytes];
    const std::uint32_t previous = list.bounds.empty() ? 0 : list.bounds.back().last_document;
    std::size_t bytes = streamvbyte_delta_encode(list.tail_documents.data(), kBlock, encoded, previous);
    bytes += streamvbyte_encode_0124(minus_one, kBlock, encoded + bytes);
    const std::size_t start = list.data.empty() ? 0 : list.data.size() - kDecoderPadding;
    if (start + bytes > 0xffffffffu) throw std::length_error("a posting list beyond 4 GiB");
    make_room_for_one(list.bounds);
    make_room_for_one(list.offsets);
    if (list.data.capacity() < start + bytes + kDecoderPadding) {
      list.data.reserve(std::max(start + bytes + kDecoderPadding, 2 * list.data.capacity()));
    }
    list.data.resize(start);
    list.data.insert(list.data.end(), encoded, encoded + bytes);
    list.data.resize(start + bytes + kDecoderPadding, 0);
    list.bounds.push_back(bounds);
    list.offsets.push_back(static_cast<std::uint32_t>(start));
    list.tail_documents.clear();
    list.tail_counts.clear();
  }
  list.tail_documents.push_back(document);  // room for kBlock was made when the list was made
  list.tail_counts.push_back(count);
}

std::size_t PostingStore::memory() const noexcept {
  std::size_t bytes = heads_.capacity() * sizeof(Head) + chunks_.memory() + large_.capacity() * sizeof(LargeList);
  for (const LargeList& list : large_) {
    bytes += list.bounds.capacity() * sizeof(Bounds) + list.offsets.capacity() * 4 + list.data.capacity() +
             (list.tail_documents.capacity() + list.tail_counts.capacity()) * 4;
  }
  return bytes;
}

// --- Reader ----------------------------------------------------------------------------------------

PostingStore::Reader::Reader(const PostingStore& store, std::uint32_t word, const std::vector<std::uint32_t>& lengths) {
  const Head& head = store.heads_[word];
  const std::uint32_t size = head.size & kSizeMask;
  if ((head.size & kLarge) != 0) {
    large_ = &store.large_[head.handle];
    sealed_ = large_->bounds.size();
    tail_documents_ = large_->tail_documents;
    tail_counts_ = large_->tail_counts;
  } else if ((head.size & kSingle) != 0) {
    tail_documents_.assign(1, head.handle);
    tail_counts_.assign(1, 1);
  } else if (size > 0) {
    const std::uint8_t* chunk = store.chunks_.at(head.handle);
    tail_documents_.reserve(size);
    tail_counts_.reserve(size);
    for_each_small(chunk + ChunkArena::kHeader, chunk + ChunkArena::kHeader + used_of(chunk),
                   [&](std::uint32_t d, std::uint32_t c) {
                     tail_documents_.push_back(d);
                     tail_counts_.push_back(c);
                   });
  }
  tail_ = Bounds{tail_documents_.empty() ? 0 : tail_documents_.back(), 0, 0xffffffffu};
  for (std::size_t i = 0; i < tail_documents_.size(); ++i) {
    tail_.max_count = std::max(tail_.max_count, tail_counts_[i]);
    tail_.min_length = std::min(tail_.min_length, lengths[tail_documents_[i]]);
  }
  whole_ = tail_;
  for (std::size_t b = 0; b < sealed_; ++b) {
    whole_.max_count = std::max(whole_.max_count, large_->bounds[b].max_count);
    whole_.min_length = std::min(whole_.min_length, large_->bounds[b].min_length);
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
    const std::uint8_t* bytes = large_->data.data() + large_->offsets[block];
    const std::uint32_t previous = block == 0 ? 0 : large_->bounds[block - 1].last_document;
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
