// The snapshot image: an index read in place from it searches bit for bit as
// a fresh index of the same documents, before and after writes to it (which
// copy its arrays out, and never change the image's bytes); and every
// damaged or crafted image, its checksums made to match, is refused with a
// message saying what is wrong, never read.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "search/live_index.hpp"

namespace {

using namespace vorn::typing::text::search;

const Parameters kParameters{0.5, 1.1, Idf::Documents};

// Documents of a long-tailed vocabulary, so that the image holds every
// shape of list: single postings, chunks, and long lists of blocks and tails.
std::vector<Document> documents(int from, int count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Document> out;
  for (int i = from; i < from + count; ++i) {
    Document document{"s" + std::to_string(i), {}};
    const int length = static_cast<int>(random() % 9);
    for (int j = 0; j < length; ++j) {
      const unsigned rank = random() % 7 == 0 ? random() % 5000 : random() % 40;
      document.words.push_back((rank % 3 == 0 ? "词" : "w") + std::to_string(rank));
    }
    out.push_back(std::move(document));
  }
  out.push_back({std::string("i") + static_cast<char>(from / 100 % 250) + std::string(7, '\0'), {}});
  return out;
}

std::vector<std::vector<std::string>> queries() {
  std::vector<std::vector<std::string>> out = {{"w1"}, {"w2", "w30", "词3"}, {"词9", "w7", "w4000"}, {"x"}};
  for (int i = 0; i < 40; ++i) out.push_back({"w" + std::to_string(i), "词" + std::to_string(i * 3)});
  return out;
}

void expect_same(const LiveIndex& a, const LiveIndex& b) {
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a.model_document(), b.model_document());
  for (const auto& query : queries()) {
    const auto x = a.search(query, 15), y = b.search(query, 15);
    ASSERT_EQ(x.size(), y.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      EXPECT_EQ(x[i].id, y[i].id);
      EXPECT_EQ(std::memcmp(&x[i].score, &y[i].score, sizeof(double)), 0) << x[i].score << " " << y[i].score;
    }
    EXPECT_EQ(a.matches(query), b.matches(query));
  }
}

// An image read in place from memory of its own, as a mapping would be.
struct Opened {
  std::shared_ptr<std::string> bytes;
  std::unique_ptr<LiveIndex> index;
  std::string settings;
  explicit Opened(const std::string& image) : bytes(std::make_shared<std::string>(image)) {
    index = LiveIndex::open_image(reinterpret_cast<std::uint8_t*>(bytes->data()), bytes->size(), bytes, settings);
  }
};

TEST(Image, ReadInPlaceSearchesAsAFreshIndexBeforeAndAfterWrites) {
  for (const bool removed : {false, true}) {
    SCOPED_TRACE(removed ? "with removed documents" : "without");
    LiveIndex index(kParameters), fresh(kParameters);
    index.add(documents(0, 3000, 1));
    if (removed) {
      index.remove({"s3", "s100", "s2999"});
      index.update({{"s5", {"w1", "new"}}});
    }
    // The fresh index: the live documents, in the order the image numbers them.
    for (LiveIndex::Place place;;) {
      auto [page, next] = index.documents(place, 500);
      if (page.empty()) break;
      fresh.add(page);
      place = next;
    }
    const std::string image = index.image("{\"analyzer\": {}}");
    Opened opened(image);
    EXPECT_EQ(opened.settings, "{\"analyzer\": {}}");
    // Removed documents stay numbered, as in the index it was taken of.
    EXPECT_EQ(opened.index->statistics().numbered, index.statistics().numbered);
    expect_same(*opened.index, fresh);
    // A clean image of a clean index is the same bytes again.
    {
      const std::string a = opened.index->image("{\"analyzer\": {}}"), b = opened.index->image("{\"analyzer\": {}}");
      std::size_t at = 0;
      while (at < a.size() && a[at] == b[at]) ++at;
      EXPECT_EQ(at, a.size()) << a.size() << " " << b.size();
    }

    // Writes of every kind, growing lists of every shape, on both.
    for (LiveIndex* each : {opened.index.get(), &fresh}) {
      each->add(documents(5000, 800, 2));
      each->update({{"s7", {"w1", "w1", "词0"}}, {"s5001", {}}});
      each->remove({"s8", "s5002"});
    }
    expect_same(*opened.index, fresh);
    opened.index->compact();
    expect_same(*opened.index, fresh);
    // An image of an index opened from one, after its writes.
    Opened again(opened.index->image("{}"));
    expect_same(*again.index, fresh);
  }
}

TEST(Image, AnIndexFileMayBeAnImage) {
  LiveIndex index(kParameters);
  index.add(documents(0, 300, 3));
  std::string settings;
  const auto loaded = LiveIndex::deserialize(index.image("{\"a\": 1}"), settings);
  EXPECT_EQ(settings, "{\"a\": 1}");
  expect_same(*loaded, index);
  EXPECT_EQ(LiveIndex::read_settings(index.image("{\"a\": 2}")), "{\"a\": 2}");
}

// --- Damaged and crafted images ------------------------------------------------------------------

// Where the header keeps its counts and its table of sections.
enum : std::size_t { kWords = 40, kDocuments = 48, kWithWords = 56, kWordSlots = 72, kSectionTable = 168 };
enum Section : unsigned { kWordBytes = 1, kWordEnds, kWordSlotsSection, kIdBytes, kIdEnds, kIdSlots, kStatistics,
                          kLengths, kPageSizes, kPages, kPositions, kHeads, kChunks, kLists, kBlocks, kData, kTails,
                          kAlive, kSections };
constexpr std::size_t kChecksum = kSectionTable + 24 * kSections;

std::uint64_t u64(const std::string& image, std::size_t at) {
  std::uint64_t value;
  std::memcpy(&value, image.data() + at, sizeof value);
  return value;
}
void set_u32(std::string& image, std::size_t at, std::uint32_t value) { std::memcpy(&image[at], &value, sizeof value); }
void set_u64(std::string& image, std::size_t at, std::uint64_t value) { std::memcpy(&image[at], &value, sizeof value); }
std::size_t offset(const std::string& image, unsigned section) { return u64(image, kSectionTable + 24 * section); }
std::size_t size(const std::string& image, unsigned section) { return u64(image, kSectionTable + 24 * section + 8); }

// Checksums that match whatever was changed.
std::string sealed(std::string image) {
  for (unsigned s = 0; s < kSections; ++s) {
    set_u64(image, kSectionTable + 24 * s + 16, XXH3_64bits(image.data() + offset(image, s), size(image, s)));
  }
  set_u64(image, kChecksum, XXH3_64bits(image.data(), kChecksum));
  return image;
}

// Where the first entry of a section (`width` bytes each, from `from` on)
// that passes `test` lies; the test fails when there is none.
std::size_t find(const std::string& image, unsigned section, std::size_t width,
                 const std::function<bool(std::uint64_t)>& test, std::size_t from = 0) {
  for (std::size_t at = std::max(from, offset(image, section)); at < offset(image, section) + size(image, section);
       at += width) {
    std::uint64_t value = 0;
    std::memcpy(&value, image.data() + at, width);
    if (test(value)) return at;
  }
  ADD_FAILURE() << "no such entry";
  return 0;
}
std::size_t nonzero_slot(const std::string& image, unsigned section) {
  return find(image, section, 4, [](std::uint64_t slot) { return slot != 0; });
}
// The first list head of a shape (its size's top bits) and more than `least` postings.
std::size_t head_of(const std::string& image, std::uint64_t shape, std::size_t from = 0, std::uint64_t least = 1) {
  return find(image, kHeads, 8, [&](std::uint64_t head) { return (head >> 62) == shape && ((head >> 32) & 0x3fffffff) > least; },
              from);
}

struct Damage {
  const char* name;
  std::function<std::string(std::string)> make;
  const char* message;
};

std::string good_image() {
  LiveIndex index(kParameters);
  index.add(documents(0, 3000, 4));
  return index.image("{}");
}

class DamagedImages : public testing::TestWithParam<Damage> {};

TEST_P(DamagedImages, AreRefusedSayingWhatIsWrong) {
  static const std::string good = good_image();
  const std::string image = GetParam().make(good);
  ASSERT_NE(image, good);
  try {
    Opened opened(image);
    FAIL() << "read a damaged image";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().message), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedImages,
    testing::Values(
        Damage{"cut_in_its_header", [](std::string image) { return image.substr(0, 100); }, "not an index file"},
        Damage{"header_bit_flip", [](std::string image) { return image[kWords] ^= 1, image; }, "header is damaged"},
        Damage{"section_bit_flip",
               [](std::string image) { return image[offset(image, kPages) + 5] ^= 1, image; },
               "forward pages section is damaged"},
        Damage{"cut_short", [](std::string image) { return sealed(image.substr(0, image.size() - 1)); }, "out of place"},
        Damage{"bytes_after", [](std::string image) { return sealed(image + "x"); }, "bytes after the last section"},
        Damage{"section_overlapping",
               [](std::string image) {
                 set_u64(image, kSectionTable + 24 * kIdBytes, offset(image, kWordSlotsSection));
                 return sealed(image);
               },
               "id bytes section is out of place"},
        Damage{"more_words_than_sections_hold",
               [](std::string image) { return set_u64(image, kWords, u64(image, kWords) + 1), sealed(image); },
               "not the size its counts give"},
        Damage{"counts_out_of_range",
               [](std::string image) { return set_u64(image, kDocuments, 1u << 30), sealed(image); },
               "counts are out of range"},
        Damage{"word_ends_out_of_order",
               [](std::string image) { return set_u32(image, offset(image, kWordEnds), 0xffff), sealed(image); },
               "words are out of order"},
        Damage{"word_not_utf8",
               [](std::string image) { return image[offset(image, kWordBytes)] = '\xff', sealed(image); },
               "not UTF-8"},
        Damage{"id_neither_text_nor_integer",
               [](std::string image) { return image[offset(image, kIdBytes)] = 'x', sealed(image); },
               "neither text nor an integer"},
        Damage{"slot_out_of_range",
               [](std::string image) { return set_u32(image, nonzero_slot(image, kIdSlots), 1u << 20), sealed(image); },
               "ids have a hash table out of range"},
        Damage{"slot_emptied",
               [](std::string image) { return set_u32(image, nonzero_slot(image, kWordSlotsSection), 0), sealed(image); },
               "words have a hash table that misses one"},
        Damage{"slots_moved_from_their_place",
               [](std::string image) {
                 // The table turned round by one slot: every key is a slot from where it lies.
                 const std::size_t at = offset(image, kIdSlots), bytes = size(image, kIdSlots);
                 image = image.substr(0, at) + image.substr(at + bytes - 4, 4) + image.substr(at, bytes - 4) +
                         image.substr(at + bytes);
                 return sealed(image);
               },
               "ids have a hash table that cannot find one"},
        Damage{"alive_past_the_last_document",
               [](std::string image) {
                 image[offset(image, kAlive) + size(image, kAlive) - 1] |= '\x80';
                 return sealed(image);
               },
               "alive documents include one never numbered"},
        Damage{"removed_document_the_ids_still_find",
               [](std::string image) { return image[offset(image, kAlive)] ^= 1, sealed(image); },
               "ids have a hash table out of range"},
        Damage{"forward_position_out_of_range",
               [](std::string image) {
                 return set_u64(image, offset(image, kPositions) + 8, std::uint64_t{7} << 32), sealed(image);
               },
               "forward positions are out of range"},
        Damage{"forward_words_past_their_page",
               [](std::string image) {
                 // The last document's words claim more entries than its page holds.
                 const std::size_t last = offset(image, kPositions) + size(image, kPositions) - 8;
                 const std::uint64_t position = u64(image, last);
                 image[offset(image, kPages) + (position & 0xffffffffu)] = 9;
                 return sealed(image);
               },
               "a document's words are damaged"},
        Damage{"length_not_its_words",
               [](std::string image) {
                 return set_u32(image, offset(image, kLengths), 77), sealed(image);
               },
               "a document's length is not its words'"},
        Damage{"totals_not_its_documents",
               [](std::string image) { return set_u64(image, kWithWords, 1), sealed(image); },
               "totals are not its documents'"},
        Damage{"unknown_shape",
               [](std::string image) {
                 image[head_of(image, 0) + 7] |= '\xc0';
                 return sealed(image);
               },
               "unknown shape"},
        Damage{"single_posting_out_of_range",
               [](std::string image) { return set_u32(image, head_of(image, 1, 0, 0), 1u << 29), sealed(image); },
               "postings of a word are out of range"},
        Damage{"chunk_of_an_unknown_class",
               [](std::string image) {
                 const std::size_t head = head_of(image, 0);
                 const std::uint32_t chunk = static_cast<std::uint32_t>(u64(image, head));
                 image[offset(image, kChunks) + (std::size_t{chunk >> 17} << 20) + (chunk & 0x1ffff) * 8] = 13;
                 return sealed(image);
               },
               "damaged chunk"},
        Damage{"two_words_one_chunk",
               [](std::string image) {
                 const std::size_t first = head_of(image, 0);
                 image.replace(head_of(image, 0, first + 8), 4, image, first, 4);
                 return sealed(image);
               },
               "chunk"},
        Damage{"two_words_one_long_list",
               [](std::string image) {
                 const std::size_t first = head_of(image, 2);
                 image.replace(head_of(image, 2, first + 8), 4, image, first, 4);
                 return sealed(image);
               },
               "postings of a word"},
        Damage{"block_bounds_not_its_own",
               [](std::string image) {
                 image[offset(image, kBlocks) + 4] ^= 1;  // the first block's largest count
                 return sealed(image);
               },
               "bounds are not its own"},
        Damage{"block_claiming_more_bytes",
               [](std::string image) {
                 // Every control byte of the first block's documents says four bytes a value.
                 for (std::size_t i = 0; i < 32; ++i) image[offset(image, kData) + i] = '\xff';
                 return sealed(image);
               },
               "block"},
        Damage{"statistics_not_its_postings",
               [](std::string image) {
                 return set_u32(image, offset(image, kStatistics), 12345), sealed(image);
               },
               "do not add up to its statistics"},
        Damage{"postings_not_the_documents_words",
               [](std::string image) {
                 // A single posting moved to another document, in range and consistent otherwise.
                 const std::size_t head = find(image, kHeads, 8, [](std::uint64_t value) {
                   return (value >> 62) == 1 && (value & 0xffffffffu) > 0;
                 });
                 return set_u32(image, head, static_cast<std::uint32_t>(u64(image, head)) - 1), sealed(image);
               },
               "postings are not the documents' words"},
        Damage{"long_list_tail_cut",
               [](std::string image) {
                 const std::size_t list = offset(image, kLists);
                 set_u32(image, list + 24, static_cast<std::uint32_t>(u64(image, list + 24)) + 1);
                 return sealed(image);
               },
               "postings of a word"}),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

}  // namespace
