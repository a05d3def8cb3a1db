// The index file: a round trip keeps every result bit for bit, and every
// damaged, cut or crafted file is refused with a message saying what is
// wrong, never read into a wrong index.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "search/live_index.hpp"
#include "search/varint.hpp"

namespace {

using namespace vorn::typing::text::search;

std::unique_ptr<LiveIndex> sample() {
  auto index = std::make_unique<LiveIndex>(Parameters{0.6, 1.1, Idf::Occurrences});
  std::vector<Document> documents;
  for (int i = 0; i < 300; ++i) {
    Document document{"s" + std::to_string(i), {}};
    for (int j = 0; j <= i % 13; ++j) document.words.push_back("w" + std::to_string((i * 7 + j * j) % 37));
    documents.push_back(document);
  }
  documents.push_back({"s中文", {"中文", "中文", "词"}});
  documents.push_back({std::string("i\x05\0\0\0\0\0\0\0", 9), {}});
  index->add(documents);
  index->remove({"s3", "s100"});
  index->update({{"s5", {"w1", "new"}}});
  return index;
}

std::vector<Hit> results(const LiveIndex& index, const std::vector<std::string>& query) { return index.search(query, 20); }

bool same(const std::vector<Hit>& a, const std::vector<Hit>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || std::memcmp(&a[i].score, &b[i].score, sizeof(double)) != 0) return false;
  }
  return true;
}

TEST(IndexFile, RoundTripKeepsEveryResultAndTheSettings) {
  const auto index = sample();
  const std::string file = index->serialize("{\"analyzer\": {}}");
  std::string settings;
  const auto loaded = LiveIndex::deserialize(file, settings);
  EXPECT_EQ(settings, "{\"analyzer\": {}}");
  EXPECT_EQ(loaded->size(), index->size());
  EXPECT_TRUE(loaded->contains(std::string("i\x05\0\0\0\0\0\0\0", 9)));
  EXPECT_FALSE(loaded->contains("s3"));
  for (const auto& query : std::vector<std::vector<std::string>>{{"w1"}, {"w2", "w30", "new"}, {"中文", "w9"}, {"x"}}) {
    EXPECT_TRUE(same(results(*loaded, query), results(*index, query)));
  }
  EXPECT_EQ(loaded->model_document(), index->model_document());
  // A file holds live documents only, numbered afresh: saving again gives the same bytes.
  EXPECT_EQ(loaded->serialize("{\"analyzer\": {}}"), file);
  EXPECT_EQ(loaded->statistics().numbered, index->size());
}

// A file taken apart into its header and its four sections, to be changed
// and put together again with checksums that match.
struct Parts {
  std::string header;
  std::string sections[4];

  explicit Parts(const std::string& file) : header(file.substr(0, 64)) {
    std::size_t at = 64;
    for (std::string& section : sections) {
      std::uint64_t size = 0;
      std::memcpy(&size, file.data() + at + 4, 8);
      section = file.substr(at + 20, size);
      at += 20 + size;
    }
  }
  std::string file() const {
    std::string out = header;
    const std::uint64_t sum = XXH3_64bits(out.data(), 56);
    std::memcpy(out.data() + 56, &sum, 8);
    static const char* const kTags[4] = {"SETT", "WORD", "DOCS", "POST"};
    for (int i = 0; i < 4; ++i) {
      const std::uint64_t size = sections[i].size(), checksum = XXH3_64bits(sections[i].data(), sections[i].size());
      out.append(kTags[i], 4);
      out.append(reinterpret_cast<const char*>(&size), 8);
      out.append(reinterpret_cast<const char*>(&checksum), 8);
      out += sections[i];
    }
    return out;
  }
};

std::string words_section(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    append_varint(out, word.size());
    out += word;
  }
  return out;
}

std::string refusal(const std::string& file) {
  std::string settings;
  try {
    LiveIndex::deserialize(file, settings);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "";
}

struct Damage {
  const char* name;
  std::function<std::string(const std::string&)> make;  // the damaged file, from a good one
  const char* message;                                  // what the refusal says
};

std::ostream& operator<<(std::ostream& out, const Damage& damage) { return out << damage.name; }

class DamagedFiles : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedFiles, AreRefusedSayingWhatIsWrong) {
  const std::string good = sample()->serialize("{}");
  const std::string message = refusal(GetParam().make(good));
  EXPECT_NE(message.find(GetParam().message), std::string::npos) << message;
}

// A small index of two documents, with these sections changed.
std::string crafted(const std::function<void(Parts&)>& change) {
  LiveIndex index({0.75, 1.2, Idf::Documents});
  index.add({{"sa", {"x", "y"}}, {"sb", {"y"}}});
  Parts parts(index.serialize("{}"));
  change(parts);
  return parts.file();
}

void set_u64(std::string& header, std::size_t at, std::uint64_t value) { std::memcpy(header.data() + at, &value, 8); }

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedFiles,
    ::testing::Values(
        Damage{"empty", [](const std::string&) { return std::string(); }, "not an index file"},
        Damage{"version_1_zip", [](const std::string&) { return std::string("PK\x03\x04", 4) + std::string(60, '\0'); },
               "version 1, which this version cannot read; rebuild it"},
        Damage{"other_version",
               [](const std::string& good) {
                 Parts parts(good);
                 parts.header[16] = 4;
                 return parts.file();
               },
               "version 4"},
        Damage{"header_bit_flip", [](const std::string& good) { return std::string(good).replace(41, 1, "\x7f"); },
               "header is damaged"},
        Damage{"section_bit_flip",
               [](const std::string& good) {
                 std::string bad = good;
                 bad[bad.size() - 5] ^= 0x10;
                 return bad;
               },
               "POST section is damaged"},
        Damage{"cut_short", [](const std::string& good) { return good.substr(0, good.size() - 1); }, "cut short"},
        Damage{"trailing_bytes", [](const std::string& good) { return good + "x"; }, "bytes after the last section"},
        Damage{"a_trillion_words",
               [](const std::string& good) {
                 Parts parts(good);
                 set_u64(parts.header, 40, std::uint64_t{1} << 40);
                 return parts.file();
               },
               "counts do not fit"},
        Damage{"b_out_of_range",
               [](const std::string& good) {
                 Parts parts(good);
                 const double b = 2.0;
                 std::memcpy(parts.header.data() + 24, &b, 8);
                 return parts.file();
               },
               "b must lie in [0, 1]"},
        Damage{"a_word_twice", [](const std::string&) { return crafted([](Parts& p) { p.sections[1] = words_section({"x", "x"}); }); },
               "a word comes twice"},
        Damage{"a_word_not_utf8",
               [](const std::string&) { return crafted([](Parts& p) { p.sections[1] = words_section({"x", "\xff"}); }); },
               "not UTF-8"},
        Damage{"an_id_twice",
               [](const std::string&) {
                 return crafted([](Parts& p) { p.sections[2].replace(p.sections[2].find("sb"), 2, "sa"); });
               },
               "an id comes twice"},
        Damage{"an_id_of_no_kind",
               [](const std::string&) {
                 return crafted([](Parts& p) { p.sections[2].replace(p.sections[2].find("sb"), 2, "qb"); });
               },
               "neither text nor an integer"},
        Damage{"postings_of_another_document",
               [](const std::string&) {
                 // x is in document 0; these postings claim document 1, with
                 // the right list lengths and checksums.
                 return crafted([](Parts& p) {
                   std::string postings;
                   append_varint(postings, 1);
                   append_varint(postings, (1 << 1) | 1);  // x: document 1
                   append_varint(postings, 2);
                   append_varint(postings, (0 << 1) | 1);  // y: documents 0 and 1
                   append_varint(postings, (1 << 1) | 1);
                   p.sections[3] = postings;
                 });
               },
               "postings are not the documents' words"},
        Damage{"word_numbers_out_of_range",
               [](const std::string&) {
                 return crafted([](Parts& p) {
                   std::string documents;
                   append_varint(documents, 2);
                   documents += "sa";
                   append_varint(documents, 1);
                   append_varint(documents, (7 << 1) | 1);  // word 7 of 2
                   append_varint(documents, 2);
                   documents += "sb";
                   append_varint(documents, 0);
                   p.sections[2] = documents;
                 });
               },
               "out of order or range"}));

// Words and text ids are turned into str by every search, so a file may hold
// only what Python's strict UTF-8 decoder takes.
TEST(IndexFile, WordsAndIdsMustBeStrictUtf8) {
  const struct {
    const char* bytes;
    bool valid;
  } cases[] = {
      {"\x7f", true},           {"\xe4\xb8\xad", true},       {"\xf0\x9f\x98\x80", true},  {"\xf4\x8f\xbf\xbf", true},
      {"\xc0\x80", false},     {"\xe0\x80\xaf", false},      {"\xf0\x80\x80\xaf", false}, {"\xed\xa0\x80", false},
      {"\xf4\x90\x80\x80", false}, {"\xe4\xb8", false},     {"\x80", false},            {"\xf8\x88\x80\x80\x80", false},
  };
  for (const auto& c : cases) {
    const std::string text(c.bytes);
    const std::string as_word = refusal(crafted([&](Parts& p) { p.sections[1] = words_section({"x", text}); }));
    const std::string as_id = refusal(crafted([&](Parts& p) {
      const std::size_t at = p.sections[2].find("sb") - 1;  // its length, then its bytes
      p.sections[2].replace(at, 3, std::string(1, static_cast<char>(text.size() + 1)) + "s" + text);
    }));
    EXPECT_EQ(as_word.empty(), c.valid) << as_word;
    EXPECT_EQ(as_id.empty(), c.valid) << as_id;
  }
}

// Every cut and every single flipped bit of a file is refused.
TEST(IndexFile, EveryCutAndEveryFlippedBitIsRefused) {
  LiveIndex index({0.75, 1.2, Idf::Documents});
  index.add({{"sa", {"x", "y", "x"}}, {"sb", {"y"}}, {"i\x01\x02\x03\x04\x05\x06\x07\x08", {"z"}}});
  const std::string good = index.serialize("{\"k\": 1}");
  for (std::size_t size = 0; size < good.size(); ++size) {
    EXPECT_NE(refusal(good.substr(0, size)), "") << "cut at " << size;
  }
  for (std::size_t bit = 0; bit < good.size() * 8; ++bit) {
    std::string bad = good;
    bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << (bit % 8)));
    EXPECT_NE(refusal(bad), "") << "bit " << bit;
  }
}

}  // namespace
