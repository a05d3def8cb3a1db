// The index file. A header, then sections, each with its length and an
// XXH3 checksum: the caller's settings, the words, the documents (id and
// words with counts) and the postings (per word: documents and counts). It
// holds only live documents and the words they use, numbered afresh.
//
// Reading trusts nothing: every length is checked against the bytes left
// before anything is allocated for it, every number against its range, ids
// and words must be distinct and UTF-8, and the postings must be exactly
// the documents' words turned around (compared as a sum of keyed hashes, so
// that no file can be made to pass with other postings).

#include <cstring>
#include <shared_mutex>
#include <stdexcept>
#include <string>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "background.hpp"
#include "bm25/hash.hpp"
#include "file_checks.hpp"
#include "live_index.hpp"
#include "normalizer.hpp"
#include "state.hpp"
#include "varint.hpp"

namespace vorn::typing::text::search {

namespace {

constexpr char kMagic[16] = {'d', 'u', 'r', 'e', 'v', 'a', 'r', 'a', 'r', 'e', '-', 'i', 'n', 'd', 'e', 'x'};
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kDocumentsIdf = 1;
// Sections, in the order they come.
constexpr char kSections[4][5] = {"SETT", "WORD", "DOCS", "POST"};
constexpr std::size_t kHeaderBytes = 16 + 4 + 4 + 8 + 8 + 8 + 8 + 8;  // magic .. checksum

void put_u32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void put_u64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void put_f64(std::string& out, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  put_u64(out, bits);
}
void put_bytes(std::string& out, std::string_view bytes) {
  append_varint(out, bytes.size());
  out.append(bytes);
}

[[noreturn]] void damaged(const std::string& what) { throw std::invalid_argument(what); }

// Reads a section's bytes in order, refusing whatever does not fit.
class Cursor {
 public:
  Cursor(std::string_view bytes, const char* section) noexcept
      : at_(reinterpret_cast<const std::uint8_t*>(bytes.data())), end_(at_ + bytes.size()), section_(section) {}

  std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - at_); }
  bool done() const noexcept { return at_ == end_; }
  [[noreturn]] void fail(const std::string& what) const { damaged(std::string(section_) + " section: " + what); }

  std::uint64_t number(std::uint64_t most, const char* what) {
    std::uint64_t value = 0;
    if (!get_varint(at_, end_, value) || value > most) fail(std::string("bad ") + what);
    return value;
  }
  // An entry of an ascending run of numbers below `limit` (see varint.hpp):
  // adds its gap to `previous`, which only the run's first entry may leave
  // as it was, and returns its count.
  std::uint32_t entry(std::uint64_t& previous, bool first, std::uint64_t limit, const char* what, const char* order) {
    const std::uint64_t head = number(std::uint64_t{1} << 33, what);
    previous += head >> 1;
    if ((!first && (head >> 1) == 0) || previous >= limit) fail(order);
    const std::uint64_t count = (head & 1) != 0 ? 1 : number(0xffffffffu, "count");
    if (count < 2 && (head & 1) == 0) fail("a count below 2 written in full");
    return static_cast<std::uint32_t>(count);
  }
  const std::uint8_t* position() const noexcept { return at_; }
  std::string_view bytes(const char* what) {
    const std::size_t size = number(left(), what);
    const std::string_view out(reinterpret_cast<const char*>(at_), size);
    at_ += size;
    return out;
  }

 private:
  const std::uint8_t* at_;
  const std::uint8_t* end_;
  const char* section_;
};

}  // namespace

std::string LiveIndex::serialize(std::string_view settings) const {
  std::shared_lock<RwLock> shared(lock_);
  const State& state = *state_;
  // Live words and documents, numbered afresh in their order.
  std::vector<std::uint32_t> word_number(state.words.numbered(), KeyTable::kNone);
  std::vector<std::uint32_t> document_number(state.ids.numbered(), KeyTable::kNone);
  std::uint32_t words = 0, documents = 0;
  std::string sections[4];
  sections[0].assign(settings);
  for (std::uint32_t word = 0; word < state.words.numbered(); ++word) {
    if (state.statistics[word].documents == 0) continue;
    word_number[word] = words++;
    put_bytes(sections[1], state.words.key(word));
  }
  std::vector<WordCount> entries;
  for (std::uint32_t document = 0; document < state.ids.numbered(); ++document) {
    if (!state.is_alive(document)) continue;
    document_number[document] = documents++;
    put_bytes(sections[2], state.ids.key(document));
    entries.clear();
    state.forward.for_each(document, [&](std::uint32_t word, std::uint32_t count) {
      entries.push_back({word_number[word], count});
    });
    append_varint(sections[2], entries.size());
    std::uint32_t previous = 0;
    for (const WordCount& entry : entries) {
      append_entry(sections[2], entry.word - previous, entry.count);
      previous = entry.word;
    }
  }
  for (std::uint32_t word = 0; word < state.words.numbered(); ++word) {
    if (word_number[word] == KeyTable::kNone) continue;
    append_varint(sections[3], state.statistics[word].documents);
    std::uint32_t previous = 0;
    for (PostingStore::Reader reader(state.postings, word, state.lengths); reader.document() != kEndDocument;
         reader.next()) {
      if (!state.is_alive(reader.document())) continue;
      const std::uint32_t document = document_number[reader.document()];
      append_entry(sections[3], document - previous, reader.count());
      previous = document;
    }
  }

  std::string out(kMagic, sizeof kMagic);
  put_u32(out, kVersion);
  put_u32(out, parameters_.idf == Idf::Documents ? kDocumentsIdf : 0);
  put_f64(out, parameters_.b);
  put_f64(out, parameters_.k1);
  put_u64(out, words);
  put_u64(out, documents);
  put_u64(out, checksum(out));
  for (int i = 0; i < 4; ++i) {
    out.append(kSections[i], 4);
    put_u64(out, sections[i].size());
    put_u64(out, checksum(sections[i]));
    out += sections[i];
    std::string().swap(sections[i]);
  }
  return out;
}

namespace {

// A file's header and sections, each checked against its checksum; as many
// sections as asked for, in their order.
struct Layout {
  Parameters parameters;
  std::uint64_t words = 0, documents = 0;
  std::string_view sections[4];
};

Layout layout_of(std::string_view data, int sections) {
  if (data.size() >= 2 && data.substr(0, 2) == "PK") {
    damaged("an index file of version 1, which this version cannot read; rebuild it: add the documents to a new "
            "Index and save it");
  }
  if (data.size() < kHeaderBytes || std::memcmp(data.data(), kMagic, sizeof kMagic) != 0) {
    damaged("not an index file (it does not begin as one)");
  }
  const auto u32 = [&](std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[at + i]);
    return value;
  };
  const auto u64 = [&](std::size_t at) { return (std::uint64_t{u32(at + 4)} << 32) | u32(at); };
  const std::uint32_t version = u32(16);
  if (version != kVersion) {
    damaged("an index file of version " + std::to_string(version) + ", which this version (" +
            std::to_string(kVersion) + ") cannot read; rebuild it: add the documents to a new Index and save it");
  }
  if (!checksum_matches(data.substr(0, kHeaderBytes - 8), u64(kHeaderBytes - 8))) damaged("its header is damaged");
  const std::uint32_t flags = u32(20);
  if ((flags & ~kDocumentsIdf) != 0) damaged("unknown flags in its header");
  Layout layout;
  std::memcpy(&layout.parameters.b, data.data() + 24, 8);  // written little-endian, as this machine reads
  std::memcpy(&layout.parameters.k1, data.data() + 32, 8);
  layout.parameters.idf = (flags & kDocumentsIdf) != 0 ? Idf::Documents : Idf::Occurrences;
  layout.words = u64(40);
  layout.documents = u64(48);
  std::size_t at = kHeaderBytes;
  for (int i = 0; i < sections; ++i) {
    if (data.size() - at < 20 || data.substr(at, 4) != kSections[i]) {
      damaged(std::string("the ") + kSections[i] + " section is missing (the file is cut short or damaged)");
    }
    const std::uint64_t size = u64(at + 4);
    if (size > data.size() - at - 20) damaged(std::string("the ") + kSections[i] + " section is cut short");
    layout.sections[i] = data.substr(at + 20, size);
    if (!checksum_matches(layout.sections[i], u64(at + 12))) {
      damaged(std::string("the ") + kSections[i] + " section is damaged");
    }
    at += 20 + size;
  }
  if (sections == 4 && at != data.size()) damaged("bytes after the last section");
  return layout;
}

}  // namespace

std::string LiveIndex::read_settings(std::string_view data) {
  return is_image(data) ? image_settings(data) : std::string(layout_of(data, 1).sections[0]);
}

std::unique_ptr<LiveIndex> LiveIndex::deserialize(std::string_view data, std::string& settings) {
  if (is_image(data)) {
    // A snapshot image (an index folder's), read from a copy of its own.
    auto copy = std::make_shared<std::string>(data);
    return open_image(reinterpret_cast<std::uint8_t*>(copy->data()), copy->size(), copy, settings);
  }
  const Layout layout = layout_of(data, 4);
  const Parameters parameters = layout.parameters;
  const std::uint64_t word_count = layout.words;
  const std::uint64_t document_count = layout.documents;
  const std::string_view* sections = layout.sections;

  auto state = std::make_unique<State>();
  // The counts size what is allocated below, and every section must hold
  // what they claim of it before then: a file of a few bytes per word claims
  // tens of bytes of memory per word. Each document takes three bytes or
  // more of its section besides its word entries; each word one of its own
  // section, at least one entry in the documents', and a list length and an
  // entry in the postings'.
  if (document_count >= kMaxNumbered || document_count > sections[2].size() / 3 ||
      word_count > sections[2].size() - 3 * document_count || word_count > sections[1].size() ||
      word_count > sections[3].size() / 2) {
    damaged("its counts do not fit its size");
  }
  // The words, each found once: their first slots are fetched some words ahead.
  Cursor words(sections[1], "WORD");
  std::vector<std::string_view> word_keys(static_cast<std::size_t>(word_count)), id_keys;
  for (std::string_view& word : word_keys) {
    word = words.bytes("word length");
    if (!valid_utf8(word)) words.fail("a word is not UTF-8");
  }
  if (!words.done()) words.fail("bytes after the last word");
  const auto add_all = [](KeyTable& table, const std::vector<std::string_view>& keys, const Cursor& section,
                          const char* twice) {
    table.reserve(keys.size(), 0);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (i + 16 < keys.size()) table.prefetch(keys[i + 16]);
      if (table.add_new(keys[i]) == KeyTable::kNone) section.fail(twice);
    }
  };
  state->statistics.resize(word_count);
  // The word table fills on a second thread while the documents and the
  // postings are read, the two largest parts of a load.
  Background word_table([&] { add_all(state->words, word_keys, words, "a word comes twice"); });

  const detail::HashKey key = detail::HashKey::random();
  std::uint64_t forward_sum = 0, postings_sum = 0;
  // The documents: ids, lengths and word entries. The entries go to the
  // forward store as they are written, once checked.
  Cursor documents(sections[2], "DOCS");
  state->lengths.reserve(document_count);
  id_keys.resize(static_cast<std::size_t>(document_count));
  for (std::uint32_t document = 0; document < document_count; ++document) {
    const std::string_view id = id_keys[document] = documents.bytes("id length");
    if (!valid_id(id)) documents.fail("an id is neither text nor an integer");
    const std::uint8_t* entries = documents.position();
    const std::uint64_t n = documents.number(word_count, "number of words");
    std::uint64_t word = 0, length = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint32_t count = documents.entry(word, i == 0, word_count, "word", "word numbers out of order or range");
      length += count;
      forward_sum += posting_hash(static_cast<std::uint32_t>(word), document, count, key);
    }
    if (length > 0xffffffffu) documents.fail("a document longer than 4,294,967,295 words");
    state->lengths.push_back(static_cast<std::uint32_t>(length));
    state->forward.append_encoded(entries, documents.position());
    state->total_length += length;
    state->with_words += length > 0 ? 1 : 0;
  }
  if (!documents.done()) documents.fail("bytes after the last document");
  Background id_table([&] { add_all(state->ids, id_keys, documents, "an id comes twice"); });
  state->live = document_count;
  state->alive.assign(document_count / 64 + 1, 0);
  for (std::uint32_t document = 0; document < document_count; ++document) {
    state->alive[document >> 6] |= std::uint64_t{1} << (document & 63);
  }

  // The postings, and from them (a list at a time, in order) the statistics.
  Cursor postings(sections[3], "POST");
  state->postings.resize(static_cast<std::uint32_t>(word_count));
  std::vector<std::uint32_t> list_documents, list_counts;
  for (std::uint32_t word = 0; word < word_count; ++word) {
    const std::uint64_t size = postings.number(document_count, "list length");
    if (size == 0) postings.fail("a word no document holds");
    WordStatistics& statistics = state->statistics[word];
    statistics.documents = static_cast<std::uint32_t>(size);
    list_documents.clear();
    list_counts.clear();
    const std::uint8_t* encoded = postings.position();
    std::uint64_t document = 0;
    for (std::uint64_t i = 0; i < size; ++i) {
      const std::uint32_t count =
          postings.entry(document, i == 0, document_count, "document", "documents out of order or range");
      if (statistics.occurrences > 0xffffffffu - count) postings.fail("counts beyond 32 bits");
      statistics.occurrences += count;
      list_documents.push_back(static_cast<std::uint32_t>(document));
      list_counts.push_back(count);
      postings_sum += posting_hash(word, list_documents.back(), list_counts.back(), key);
    }
    state->postings.assign(word, list_documents, list_counts,
                           std::basic_string_view<std::uint8_t>(encoded, static_cast<std::size_t>(postings.position() - encoded)),
                           state->lengths);
  }
  if (!postings.done()) postings.fail("bytes after the last list");
  word_table.join();
  id_table.join();
  if (forward_sum != postings_sum) damaged("its postings are not the documents' words");

  settings.assign(sections[0]);
  try {
    return std::unique_ptr<LiveIndex>(new LiveIndex(parameters, std::move(state)));
  } catch (const std::domain_error& error) {
    damaged(error.what());  // b or k1 out of range
  }
}

}  // namespace vorn::typing::text::search
