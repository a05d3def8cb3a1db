// The snapshot image: the index's structures as they lie in memory (removed
// documents and all, which the index's own rebuilds drop), so that opening
// maps the file and reads it in place instead of building anything, and
// every process that maps it shares its pages. A header with the counts
// and a table of sections, each 64-byte aligned with its size and an XXH3
// checksum; then the sections, raw little-endian arrays.
//
// Reading trusts nothing, the hash tables and the compressed blocks least:
// every section's size must be what the counts make it, every offset and
// number must be in range, every varint and block must decode within its
// bytes and every hash table must find each of its keys where it lies, with
// a bound on the probing, before any of it is used. The live documents'
// postings must be their words turned around (a keyed sum, as in the index
// file), and the statistics, lengths, block bounds and totals what they add
// up to.

#include <streamvbyte.h>
#include <streamvbytedelta.h>

#include <cstddef>
#include <cstring>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "background.hpp"
#include "file_checks.hpp"
#include "live_index.hpp"
#include "state.hpp"
#include "varint.hpp"

namespace vorn::typing::text::search {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the image is the arrays as a little-endian machine holds them");

namespace {

constexpr char kMagic[16] = {'d', 'u', 'r', 'e', 'v', 'a', 'r', 'a', 'r', 'e', '-', 'i', 'n', 'd', 'e', 'x'};
constexpr std::uint32_t kImageVersion = 3;
constexpr std::uint32_t kDocumentsIdf = 1;
constexpr std::size_t kAlign = 64;
constexpr std::size_t kDecoderPadding = 16;

enum Section : unsigned {
  kSettings, kWordBytes, kWordEnds, kWordSlots, kIdBytes, kIdEnds, kIdSlots, kStatistics, kLengths,
  kPageSizes, kPages, kPositions, kHeads, kChunks, kLists, kBlocks, kData, kTails, kAlive, kSections
};
constexpr const char* kSectionNames[kSections] = {
    "settings", "word bytes", "word ends", "word slots", "id bytes", "id ends", "id slots", "statistics", "lengths",
    "page sizes", "forward pages", "forward positions", "list heads", "chunks", "long lists", "blocks", "block data",
    "list tails", "alive documents"};

struct SectionEntry {
  std::uint64_t offset, size, checksum;
};

struct Header {
  char magic[16];
  std::uint32_t version, flags;
  double b, k1;
  std::uint64_t words, documents, with_words, total_length;
  std::uint64_t word_slots, id_slots, forward_pages, chunk_pages, lists, blocks;
  detail::HashKey word_secret, id_secret;
  SectionEntry sections[kSections];
  std::uint64_t checksum;  // of the bytes before it
};
static_assert(std::is_trivially_copyable_v<Header> && sizeof(Header) % 8 == 0);

// A long list's place in the blocks, data and tails sections.
struct ListEntry {
  std::uint64_t blocks, data, tail;
  std::uint32_t tail_size, last_document;
};
static_assert(sizeof(ListEntry) == 32);

[[noreturn]] void damaged(const std::string& what) { throw std::invalid_argument(what); }

std::size_t aligned(std::size_t at) noexcept { return (at + kAlign - 1) / kAlign * kAlign; }

// Reads an ascending run of varint entries (see varint.hpp) within its
// bytes, as read_entry would read them unchecked.
class EntryCursor {
 public:
  EntryCursor(const std::uint8_t* begin, const std::uint8_t* end) noexcept : at_(begin), end_(end) {}
  bool done() const noexcept { return at_ == end_; }
  const std::uint8_t* position() const noexcept { return at_; }
  bool varint(std::uint32_t& value) noexcept { return get_varint32(at_, end_, value); }
  // Adds the entry's gap to `number`, which must grow unless `first`, and
  // stay below `limit`; false for anything read_entry would not have written.
  bool entry(std::uint32_t& number, bool first, std::uint32_t limit, std::uint32_t& count) noexcept {
    std::uint32_t head = 0;
    if (!varint(head)) return false;
    const std::uint32_t gap = head >> 1;
    if ((!first && gap == 0) || gap >= limit - number) return false;
    number += gap;
    if ((head & 1) != 0) {
      count = 1;
      return true;
    }
    return varint(count) && count >= 2;
  }

 private:
  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

}  // namespace

// Reaches into the structures for the image: writes their arrays out, and
// sets them to views of a checked image.
struct ImageAccess {
  using State = LiveIndex::State;
  using Head = PostingStore::Head;
  using Block = PostingStore::Block;
  using LargeList = PostingStore::LargeList;
  using ChunkArena = PostingStore::ChunkArena;
  static_assert(sizeof(Head) == 8 && sizeof(Block) == 16 && sizeof(WordStatistics) == 8);

  static std::string write(const State& state, const Parameters& parameters, std::string_view settings);
  static std::unique_ptr<State> read(std::uint8_t* bytes, std::size_t size, Parameters& parameters,
                                     std::string& settings);
  static std::string settings(std::string_view data);

 private:
  class Image;
  // `alive`, for the ids: the numbers the table must find, the others removed.
  static void check_keys(const KeyTable& table, const char* what, const Array<std::uint64_t>* alive);
};

// --- Writing ---------------------------------------------------------------------------------------

std::string ImageAccess::write(const State& state, const Parameters& parameters, std::string_view settings) {
  Header header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.version = kImageVersion;
  header.flags = parameters.idf == Idf::Documents ? kDocumentsIdf : 0;
  header.b = parameters.b;
  header.k1 = parameters.k1;
  header.words = state.words.numbered();
  header.documents = state.ids.numbered();
  header.with_words = state.with_words;
  header.total_length = state.total_length;
  header.word_slots = state.words.slots_.size();
  header.id_slots = state.ids.slots_.size();
  header.forward_pages = state.forward.pages_.size();
  header.chunk_pages = state.postings.chunks_.pages_.size();
  header.lists = state.postings.large_.size();
  header.word_secret = state.words.secret_;
  header.id_secret = state.ids.secret_;

  std::vector<std::uint64_t> page_sizes;
  for (const auto& page : state.forward.pages_) page_sizes.push_back(page.size());
  std::vector<ListEntry> lists;
  std::size_t blocks = 0;
  for (const LargeList& list : state.postings.large_) {
    lists.push_back({list.blocks.size(), list.data.size(), list.tail.size(), list.tail_size, list.last_document});
    blocks += list.blocks.size();
  }
  header.blocks = blocks;

  std::string out(aligned(sizeof(Header)), '\0');
  unsigned section = 0;
  const auto begin = [&](unsigned which) {
    section = which;
    out.resize(aligned(out.size()), '\0');
    header.sections[which].offset = out.size();
  };
  const auto add = [&](const void* data, std::size_t bytes) {
    out.append(static_cast<const char*>(data), bytes);
    header.sections[section].size += bytes;
  };
  const auto whole = [&](unsigned which, const auto& array) {
    begin(which);
    add(array.data(), array.size() * sizeof(array[0]));
  };
  begin(kSettings);
  add(settings.data(), settings.size());
  whole(kWordBytes, state.words.bytes_);
  whole(kWordEnds, state.words.ends_);
  whole(kWordSlots, state.words.slots_);
  whole(kIdBytes, state.ids.bytes_);
  whole(kIdEnds, state.ids.ends_);
  whole(kIdSlots, state.ids.slots_);
  whole(kStatistics, state.statistics);
  whole(kLengths, state.lengths);
  whole(kPageSizes, page_sizes);
  begin(kPages);
  for (const auto& page : state.forward.pages_) add(page.data(), page.size());
  whole(kPositions, state.forward.positions_);
  whole(kHeads, state.postings.heads_);
  // The chunk pages, the last one as far as it is used.
  begin(kChunks);
  const auto& chunk_pages = state.postings.chunks_.pages_;
  for (std::size_t page = 0; page < chunk_pages.size(); ++page) {
    add(chunk_pages[page], page + 1 < chunk_pages.size() ? std::size_t{1} << 20 : state.postings.chunks_.used_ * std::size_t{8});
  }
  whole(kLists, lists);
  begin(kBlocks);
  for (const LargeList& list : state.postings.large_) add(list.blocks.data(), list.blocks.size() * sizeof(Block));
  begin(kData);
  for (const LargeList& list : state.postings.large_) add(list.data.data(), list.data.size());
  begin(kTails);
  for (const LargeList& list : state.postings.large_) add(list.tail.data(), list.tail.size());
  whole(kAlive, state.alive);

  for (SectionEntry& entry : header.sections) {
    entry.checksum = checksum(std::string_view(out.data() + entry.offset, entry.size));
  }
  header.checksum = checksum(std::string_view(reinterpret_cast<const char*>(&header), offsetof(Header, checksum)));
  std::memcpy(out.data(), &header, sizeof header);
  return out;
}

std::string LiveIndex::image(std::string_view settings) const {
  std::shared_lock<RwLock> shared(lock_);
  return ImageAccess::write(*state_, parameters_, settings);
}

bool LiveIndex::is_image(std::string_view head) noexcept {
  std::uint32_t version = 0;
  if (head.size() < 20 || std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) return false;
  std::memcpy(&version, head.data() + 16, sizeof version);
  return version == kImageVersion;
}

// --- Reading ---------------------------------------------------------------------------------------

// One image's header and sections, checked as far as their sizes go.
class ImageAccess::Image {
 public:
  // Only array() gives out the bytes to be written: `bytes` may be a
  // caller's read-only copy when settings() alone is read.
  Image(const std::uint8_t* bytes, std::size_t size) : bytes_(const_cast<std::uint8_t*>(bytes)) {
    if (size < sizeof(Header) || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) {
      damaged("not an index file (it does not begin as one)");
    }
    std::memcpy(&header_, bytes, sizeof header_);
    if (header_.version != kImageVersion) damaged("not a snapshot image");
    if (!checksum_matches(std::string_view(reinterpret_cast<const char*>(bytes), offsetof(Header, checksum)),
                          header_.checksum)) {
      damaged("its header is damaged");
    }
    if ((header_.flags & ~kDocumentsIdf) != 0) damaged("unknown flags in its header");
    const Header& h = header_;
    if (h.words >= KeyTable::kNone || h.documents >= kMaxNumbered || h.chunk_pages > 0x8000 || h.lists > h.words ||
        h.forward_pages > h.documents || h.word_slots > 0xffffffffu || h.id_slots > 0xffffffffu) {
      damaged("its counts are out of range");
    }
    std::uint64_t end = sizeof(Header);
    for (unsigned s = 0; s < kSections; ++s) {
      const SectionEntry& entry = h.sections[s];
      if (entry.offset % kAlign != 0 || entry.offset < end || entry.offset > size || entry.size > size - entry.offset) {
        damaged(std::string("its ") + kSectionNames[s] + " section is out of place (the file is cut short or damaged)");
      }
      end = entry.offset + entry.size;
    }
    if (end != size) damaged("bytes after the last section");
    // Sizes that follow from the counts; the rest are summed up as read.
    const std::uint64_t fixed[][2] = {
        {kWordEnds, 4 * h.words},       {kWordSlots, 4 * h.word_slots}, {kIdEnds, 4 * h.documents},
        {kIdSlots, 4 * h.id_slots},     {kStatistics, 8 * h.words},     {kLengths, 4 * h.documents},
        {kPageSizes, 8 * h.forward_pages}, {kPositions, 8 * h.documents}, {kHeads, 8 * h.words},
        {kLists, 32 * h.lists},         {kBlocks, 16 * h.blocks}};
    for (const auto& [s, bytes] : fixed) {
      if (h.sections[s].size != bytes) damaged(std::string("its ") + kSectionNames[s] + " section is not the size its counts give");
    }
    // Whole pages of chunks, then the used part of the last.
    const std::uint64_t chunk_bytes = h.sections[kChunks].size;
    if (chunk_bytes > (h.chunk_pages << 20) || (h.chunk_pages > 0 && chunk_bytes <= ((h.chunk_pages - 1) << 20)) ||
        chunk_bytes % 8 != 0) {
      damaged("its chunks section is not the size its counts give");
    }
  }

  bool sum_matches(unsigned s) const noexcept {
    return checksum_matches(std::string_view(reinterpret_cast<const char*>(at(s)), size(s)), header_.sections[s].checksum);
  }
  // Every section's checksum, on two threads.
  void check_sums() const {
    const auto range = [this](unsigned from, unsigned to) {
      for (unsigned s = from; s < to; ++s) {
        if (!sum_matches(s)) damaged(std::string("its ") + kSectionNames[s] + " section is damaged");
      }
    };
    Background half([&] { range(0, kPages); });
    range(kPages, kSections);
    half.join();
  }

  const Header& header() const noexcept { return header_; }
  template <class T>
  Array<T> array(unsigned s) const noexcept {
    return Array<T>::view(reinterpret_cast<T*>(bytes_ + header_.sections[s].offset), header_.sections[s].size / sizeof(T));
  }
  std::uint8_t* at(unsigned s) const noexcept { return bytes_ + header_.sections[s].offset; }
  std::uint64_t size(unsigned s) const noexcept { return header_.sections[s].size; }

 private:
  std::uint8_t* bytes_;
  Header header_;
};

void ImageAccess::check_keys(const KeyTable& table, const char* what, const Array<std::uint64_t>* alive) {
  const bool ids = alive != nullptr;
  const auto found = [&](std::uint32_t number) { return !ids || (((*alive)[number >> 6] >> (number & 63)) & 1) != 0; };
  const auto fail = [&](const std::string& why) { damaged(std::string("its ") + what + " " + why); };
  const std::uint32_t numbered = table.numbered();
  std::uint32_t previous = 0;
  for (std::uint32_t number = 0; number < numbered; ++number) {
    if (table.ends_[number] < previous) fail("are out of order");
    previous = table.ends_[number];
  }
  if (previous != table.bytes_.size()) fail("do not end where their bytes do");
  for (std::uint32_t number = 0; number < numbered; ++number) {
    const std::string_view key = table.key(number);
    if (ids ? !valid_id(key) : !valid_utf8(key)) fail(ids ? "hold one neither text nor an integer" : "hold one not UTF-8");
  }
  // Each number found in exactly one slot, and an empty slot for a probe to end on.
  const std::size_t slots = table.slots_.size();
  if (table.size() > 0 && slots <= table.size()) fail("have a hash table too small for them");
  std::vector<std::uint32_t> place(numbered, 0xffffffffu);
  for (std::size_t at = 0; at < slots; ++at) {
    const std::uint32_t slot = table.slots_[at];
    if (slot == 0) continue;
    if (slot > numbered || place[slot - 1] != 0xffffffffu || !found(slot - 1)) fail("have a hash table out of range");
    place[slot - 1] = static_cast<std::uint32_t>(at);
  }
  // The hash of the key in each slot, taken in the order of the keys' bytes.
  std::vector<std::uint32_t> hashes(slots, 0);
  for (std::uint32_t number = 0; number < numbered; ++number) {
    if (place[number] != 0xffffffffu) {
      hashes[place[number]] = table.hash(table.key(number));
    } else if (found(number)) {
      fail("have a hash table that misses one");
    }
  }
  // Each key found where it lies: every slot from its first one on is taken,
  // by other keys. A table at most 70% full probes a couple of slots a key;
  // a crafted one could make every search walk the whole table.
  std::uint64_t budget = 16 * std::uint64_t{table.size()} + 1024;
  for (std::size_t at = 0; at < slots; ++at) {
    const std::uint32_t slot = table.slots_[at];
    if (slot == 0) continue;
    for (std::size_t probe = table.home(hashes[at]); probe != at; probe = table.next(probe)) {
      const std::uint32_t other = table.slots_[probe];
      if (other == 0) fail("have a hash table that cannot find one");
      if (hashes[probe] == hashes[at] && table.key(other - 1) == table.key(slot - 1)) fail("hold one twice");
      if (budget-- == 0) fail("have a hash table too crowded to search");
    }
  }
}

std::unique_ptr<LiveIndex::State> ImageAccess::read(std::uint8_t* bytes, std::size_t size, Parameters& parameters,
                                                    std::string& settings) {
  if (reinterpret_cast<std::uintptr_t>(bytes) % 8 != 0) damaged("an image not aligned in memory");
  const Image image(bytes, size);
  image.check_sums();
  const Header& h = image.header();
  const auto words = static_cast<std::uint32_t>(h.words), documents = static_cast<std::uint32_t>(h.documents);

  // A bit per numbered document, as the index grows it: a word for each 64
  // begun, or one more; none set past the last.
  const Array<std::uint64_t> alive = image.array<std::uint64_t>(kAlive);
  if (image.size(kAlive) % 8 != 0 || alive.size() < (std::uint64_t{documents} + 63) / 64 || alive.size() > documents / 64 + 1) {
    damaged("its alive documents section is not the size its counts give");
  }
  std::uint64_t live = 0;
  for (std::size_t i = 0; i < alive.size(); ++i) {
    const std::uint64_t first = 64 * std::uint64_t{i};
    const std::uint64_t here = documents > first ? std::min<std::uint64_t>(64, documents - first) : 0;
    if (here < 64 && (alive[i] >> here) != 0) damaged("its alive documents include one never numbered");
    live += static_cast<std::uint64_t>(__builtin_popcountll(alive[i]));
  }

  auto state = std::make_unique<State>();
  state->words.secret_ = h.word_secret;
  state->words.bytes_ = image.array<char>(kWordBytes);
  state->words.ends_ = image.array<std::uint32_t>(kWordEnds);
  state->words.slots_ = image.array<std::uint32_t>(kWordSlots);
  state->words.live_ = words;
  state->ids.secret_ = h.id_secret;
  state->ids.bytes_ = image.array<char>(kIdBytes);
  state->ids.ends_ = image.array<std::uint32_t>(kIdEnds);
  state->ids.slots_ = image.array<std::uint32_t>(kIdSlots);
  state->ids.live_ = live;
  state->alive = alive;
  state->statistics = image.array<WordStatistics>(kStatistics);
  state->lengths = image.array<std::uint32_t>(kLengths);
  state->forward.positions_ = image.array<std::uint64_t>(kPositions);
  state->postings.heads_ = image.array<Head>(kHeads);

  // The forward pages and the long lists cut out of their sections.
  const Array<std::uint64_t> page_sizes = image.array<std::uint64_t>(kPageSizes);
  std::uint64_t offset = 0;
  state->forward.pages_.reserve(page_sizes.size());
  for (const std::uint64_t page : page_sizes) {
    if (page > image.size(kPages) - offset || page > 0xffffffffu) damaged("its forward pages overrun their section");
    state->forward.pages_.push_back(Array<std::uint8_t>::view(image.at(kPages) + offset, page));
    offset += page;
  }
  if (offset != image.size(kPages)) damaged("its forward pages do not fill their section");
  const Array<ListEntry> entries = image.array<ListEntry>(kLists);
  std::uint64_t at[3] = {0, 0, 0};  // in blocks, data, tails
  const std::uint64_t room[3] = {h.blocks, image.size(kData), image.size(kTails)};
  auto& large = state->postings.large_;
  large.reserve(entries.size());
  for (const ListEntry& entry : entries) {
    const std::uint64_t sizes[3] = {entry.blocks, entry.data, entry.tail};
    for (int i = 0; i < 3; ++i) {
      if (sizes[i] > room[i] - at[i]) damaged("its long lists overrun their sections");
    }
    LargeList list;
    list.blocks = Array<Block>::view(reinterpret_cast<Block*>(image.at(kBlocks)) + at[0], entry.blocks);
    list.data = Array<std::uint8_t>::view(image.at(kData) + at[1], entry.data);
    list.tail = Array<std::uint8_t>::view(image.at(kTails) + at[2], entry.tail);
    list.tail_size = entry.tail_size;
    list.last_document = entry.last_document;
    large.push_back(std::move(list));
    for (int i = 0; i < 3; ++i) at[i] += sizes[i];
  }
  for (int i = 0; i < 3; ++i) {
    if (at[i] != room[i]) damaged("its long lists do not fill their sections");
  }
  // Whole pages are read in place. The last, in the image as far as it was
  // used, is copied to a whole page of this process's own, so that every
  // page is whole and new chunks go on after the used part; the image's
  // free chunks stay unused.
  auto& chunks = state->postings.chunks_;
  for (std::uint64_t page = 0; page < h.chunk_pages; ++page) chunks.pages_.push_back(image.at(kChunks) + (page << 20));
  chunks.used_ = 0x20000;
  if (h.chunk_pages > 0) {
    const std::size_t last = static_cast<std::size_t>(image.size(kChunks) - ((h.chunk_pages - 1) << 20));
    chunks.owned_.push_back(std::make_unique<std::uint8_t[]>(std::size_t{1} << 20));
    std::memcpy(chunks.owned_.back().get(), chunks.pages_.back(), last);
    chunks.pages_.back() = chunks.owned_.back().get();
    chunks.used_ = static_cast<std::uint32_t>(last / 8);
  }

  const detail::HashKey key = detail::HashKey::random();
  std::uint64_t forward_sum = 0, postings_sum = 0;
  // The words' table and the documents' words on one thread, the ids' table
  // and the postings on the other.
  Background forward_half([&] {
    check_keys(state->words, "words", nullptr);
    std::uint64_t with_words = 0, total_length = 0;
    const ForwardStore& forward = state->forward;
    for (std::uint32_t document = 0; document < documents; ++document) {
      const std::uint64_t position = forward.positions_[document];
      const std::uint64_t page = position >> 32, begin = position & 0xffffffffu;
      if (page >= forward.pages_.size() || begin >= forward.pages_[page].size()) {
        damaged("its forward positions are out of range");
      }
      const Array<std::uint8_t>& bytes = forward.pages_[page];
      EntryCursor cursor(bytes.data() + begin, bytes.end());
      std::uint32_t n = 0, word = 0, count = 0;
      std::uint64_t length = 0;
      const bool alive_here = state->is_alive(document);
      if (!cursor.varint(n) || n > words) damaged("a document's words are damaged");
      for (std::uint32_t i = 0; i < n; ++i) {
        if (!cursor.entry(word, i == 0, words, count)) damaged("a document's words are damaged or out of order");
        length += count;
        if (alive_here) forward_sum += posting_hash(word, document, count, key);
      }
      if (length != state->lengths[document]) damaged("a document's length is not its words'");
      if (!alive_here) continue;
      with_words += length > 0 ? 1 : 0;
      total_length += length;
    }
    if (with_words != h.with_words || total_length != h.total_length) damaged("its totals are not its documents'");
  });

  check_keys(state->ids, "ids", &state->alive);
  const PostingStore& postings = state->postings;
  std::vector<bool> chunk_units(chunks.pages_.size() << 17, false), lists_seen(large.size(), false);
  const Array<std::uint32_t>& lengths = state->lengths;
  std::uint64_t unused = 0;  // words no live document holds
  for (std::uint32_t word = 0; word < words; ++word) {
    if (word + 16 < words) {
      // Chunks lie in no order of their words: each is fetched some words ahead.
      const Head ahead = postings.heads_[word + 16];
      if ((ahead.size & ~PostingStore::kSizeMask) == 0 && (ahead.handle >> 17) < chunks.pages_.size()) {
        __builtin_prefetch(chunks.at(ahead.handle));
      }
    }
    const Head head = postings.heads_[word];
    const std::uint32_t size = head.size & PostingStore::kSizeMask, shape = head.size & ~PostingStore::kSizeMask;
    // Removed documents' postings stay until the index rebuilds itself; the
    // statistics and the sum are the live documents'.
    std::uint64_t occurrences = 0, held = 0;
    std::uint32_t count = 0;
    const auto bad = [&](const char* what) { damaged(std::string("the postings of a word ") + what); };
    const auto posting = [&](std::uint32_t document, std::uint32_t count) {
      if (!state->is_alive(document)) return;
      ++held;
      occurrences += count;
      postings_sum += posting_hash(word, document, count, key);
    };
    if (size == 0 && shape == 0) {
      // A word whose only document failed to be added.
    } else if (shape == PostingStore::kSingle) {
      if (size != 1 || head.handle >= documents) bad("are out of range");
      posting(head.handle, 1);
    } else if (shape == 0) {
      const std::uint32_t page = head.handle >> 17, unit = head.handle & 0x1ffff;
      if (page >= chunks.pages_.size() || size >= kBlock) bad("are out of range");
      // The last page is in the image as far as it was used.
      const std::uint64_t page_bytes =
          std::min<std::uint64_t>(std::uint64_t{1} << 20, image.size(kChunks) - (std::uint64_t{page} << 20));
      if (std::uint64_t{unit} * 8 + ChunkArena::kHeader > page_bytes) bad("are out of range");
      const std::uint8_t* chunk = chunks.at(head.handle);
      const unsigned size_class = chunk[0];
      if (size_class >= ChunkArena::kClasses) bad("are in a damaged chunk");
      const std::size_t units = ChunkArena::bytes(size_class) / 8;
      std::uint16_t used;
      std::memcpy(&used, chunk + 1, sizeof used);
      if ((unit + units) * 8 > page_bytes || used > ChunkArena::capacity(size_class)) bad("are in a damaged chunk");
      for (std::size_t u = 0; u < units; ++u) {
        if (chunk_units[(std::size_t{page} << 17) + unit + u]) bad("share a chunk with another's");
        chunk_units[(std::size_t{page} << 17) + unit + u] = true;
      }
      EntryCursor cursor(chunk + ChunkArena::kHeader, chunk + ChunkArena::kHeader + used);
      std::uint32_t document = 0;
      for (std::uint32_t i = 0; i < size; ++i) {
        if (!cursor.entry(document, i == 0, documents, count)) bad("are damaged or out of order");
        posting(document, count);
      }
      if (!cursor.done()) bad("are damaged");
    } else if (shape == PostingStore::kLarge) {
      if (head.handle >= large.size() || lists_seen[head.handle]) bad("are out of range");
      lists_seen[head.handle] = true;
      const LargeList& list = large[head.handle];
      if (list.tail_size == 0 || list.tail_size > kBlock ||
          std::uint64_t{size} != list.blocks.size() * std::uint64_t{kBlock} + list.tail_size) {
        bad("are not as many as their blocks hold");
      }
      // Each block's length, from its control bytes, before it is decoded.
      std::size_t offset = 0;
      std::uint32_t previous = 0, documents_of[kBlock], counts[kBlock];
      for (std::size_t b = 0; b < list.blocks.size(); ++b) {
        const Block& block = list.blocks[b];
        if (block.offset != offset) bad("have a block out of place");
        std::size_t length = 0;
        for (int part = 0; part < 2; ++part) {
          constexpr std::size_t kControl = (kBlock + 3) / 4;
          if (list.data.size() < kDecoderPadding || list.data.size() - kDecoderPadding - offset - length < kControl) {
            bad("have a block cut short");
          }
          const std::uint8_t* control = list.data.data() + offset + length;
          std::size_t data = 0;
          for (std::size_t i = 0; i < kControl; ++i) {
            for (int shift = 0; shift < 8; shift += 2) {
              const unsigned code = (control[i] >> shift) & 3;
              data += part == 0 ? code + 1 : (code == 3 ? 4 : code);
            }
          }
          length += kControl + data;
          if (length > list.data.size() - kDecoderPadding - offset) bad("have a block cut short");
        }
        const std::uint8_t* encoded = list.data.data() + offset;
        encoded += streamvbyte_delta_decode(encoded, documents_of, kBlock, previous);
        streamvbyte_decode_0124(encoded, counts, kBlock);
        Bounds bounds{documents_of[kBlock - 1], 0, 0xffffffffu};
        for (std::size_t i = 0; i < kBlock; ++i) {
          if ((documents_of[i] <= previous && (b > 0 || i > 0)) || documents_of[i] >= documents) {
            bad("are out of order or range");
          }
          if (counts[i] == 0xffffffffu) bad("have a count beyond 32 bits");
          previous = documents_of[i];
          posting(documents_of[i], counts[i] + 1);
          bounds.max_count = std::max(bounds.max_count, counts[i] + 1);
          bounds.min_length = std::min(bounds.min_length, lengths[documents_of[i]]);
        }
        if (std::memcmp(&bounds, &block.bounds, sizeof bounds) != 0) bad("have a block whose bounds are not its own");
        offset += length;
      }
      if (list.data.size() != (list.blocks.size() == 0 ? 0 : offset + kDecoderPadding)) bad("have blocks cut short");
      EntryCursor cursor(list.tail.data(), list.tail.end());
      std::uint32_t document = previous;
      for (std::uint32_t i = 0; i < list.tail_size; ++i) {
        if (!cursor.entry(document, i == 0 && list.blocks.size() == 0, documents, count)) {
          bad("are damaged or out of order");
        }
        posting(document, count);
      }
      if (!cursor.done() || document != list.last_document) bad("are damaged");
    } else {
      bad("have an unknown shape");
    }
    if (held != state->statistics[word].documents) bad("are not as many as its statistics say");
    if (occurrences != state->statistics[word].occurrences) bad("do not add up to its statistics");
    unused += held == 0 ? 1 : 0;
  }
  for (const bool seen : lists_seen) {
    if (!seen) damaged("its long lists include one no word has");
  }
  forward_half.join();
  if (forward_sum != postings_sum) damaged("its postings are not the documents' words");

  state->live = live;
  state->with_words = h.with_words;
  state->total_length = h.total_length;
  state->unused_words = unused;
  parameters.b = h.b;
  parameters.k1 = h.k1;
  parameters.idf = (h.flags & kDocumentsIdf) != 0 ? Idf::Documents : Idf::Occurrences;
  settings.assign(reinterpret_cast<const char*>(image.at(kSettings)), image.size(kSettings));
  return state;
}

std::string ImageAccess::settings(std::string_view data) {
  const Image image(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  if (!image.sum_matches(kSettings)) damaged("its settings section is damaged");
  return std::string(reinterpret_cast<const char*>(image.at(kSettings)), image.size(kSettings));
}

std::string LiveIndex::image_settings(std::string_view data) { return ImageAccess::settings(data); }

std::unique_ptr<LiveIndex> LiveIndex::open_image(std::uint8_t* bytes, std::size_t size, std::shared_ptr<const void> keep,
                                                 std::string& settings) {
  Parameters parameters;
  std::unique_ptr<State> state = ImageAccess::read(bytes, size, parameters, settings);
  state->mapping = std::move(keep);
  try {
    return std::unique_ptr<LiveIndex>(new LiveIndex(parameters, std::move(state)));
  } catch (const std::domain_error& error) {
    damaged(error.what());  // b or k1 out of range
  }
}

}  // namespace vorn::typing::text::search
