// An index file whose header claims more words or documents than its
// sections can hold is refused before anything is sized by those counts: a
// file of a byte per word must not cost tens of bytes of memory per word
// first. Each file is read in a child process allowed 64 MB of address
// space beyond what it has: a tenth of what those counts would cost.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <ostream>
#include <string>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "address_space.hpp"
#include "search/live_index.hpp"

namespace {

using namespace vorn::typing::text::search;

void put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// A file of these counts and sections, every checksum right.
std::string file_of(std::uint64_t words, std::uint64_t documents, const std::string (&sections)[4]) {
  std::string out("durevarare-index", 16);
  put(out, 2, 4);  // version
  put(out, 1, 4);  // idf of documents
  const double b = 0.5, k1 = 1.0;
  std::uint64_t bits = 0;
  std::memcpy(&bits, &b, 8);
  put(out, bits, 8);
  std::memcpy(&bits, &k1, 8);
  put(out, bits, 8);
  put(out, words, 8);
  put(out, documents, 8);
  put(out, XXH3_64bits(out.data(), out.size()), 8);
  static const char* const kTags[4] = {"SETT", "WORD", "DOCS", "POST"};
  for (int i = 0; i < 4; ++i) {
    out.append(kTags[i], 4);
    put(out, sections[i].size(), 8);
    put(out, XXH3_64bits(sections[i].data(), sections[i].size()), 8);
    out += sections[i];
  }
  return out;
}

enum Outcome { Refused = 0, OutOfMemory = 1, Loaded = 2, Other = 3 };

// How reading `file` ends in a child allowed `budget` bytes of address space
// beyond what it starts with.
Outcome read_with_budget(const std::string& file, std::size_t budget) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit limit{address_space() + budget, RLIM_INFINITY};
    ::setrlimit(RLIMIT_AS, &limit);
    int outcome = Other;
    try {
      std::string settings;
      LiveIndex::deserialize(file, settings);
      outcome = Loaded;
    } catch (const std::invalid_argument&) {
      outcome = Refused;
    } catch (const std::bad_alloc&) {
      outcome = OutOfMemory;
    } catch (...) {
    }
    std::_Exit(outcome);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? static_cast<Outcome>(WEXITSTATUS(status)) : Other;
}

constexpr std::uint64_t kWords = 16u << 20;
constexpr std::size_t kBudget = 64u << 20;

// Counts, and the sizes of the words', documents' and postings' sections,
// all of zero bytes: words of no bytes (each the same, which only the word
// table would see), with too little beside them for so many words.
struct Claim {
  const char* name;
  std::uint64_t words, documents;
  std::size_t word_bytes, document_bytes, posting_bytes;
};

void PrintTo(const Claim& value, std::ostream* out) { *out << value.name; }

class OverclaimingFiles : public ::testing::TestWithParam<Claim> {};

TEST_P(OverclaimingFiles, AreRefusedBeforeTheyCostMemory) {
#ifdef DUREVARARE_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer maps more address space than any limit here allows";
#endif
  const Claim& claim = GetParam();
  const std::string sections[4] = {"{}", std::string(claim.word_bytes, '\0'), std::string(claim.document_bytes, '\0'),
                                   std::string(claim.posting_bytes, '\0')};
  const std::string file = file_of(claim.words, claim.documents, sections);
  std::string settings;
  try {
    LiveIndex::deserialize(file, settings);
    ADD_FAILURE() << "loaded";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "its counts do not fit its size");
  }
  EXPECT_EQ(read_with_budget(file, kBudget), Refused);
}

INSTANTIATE_TEST_SUITE_P(Table, OverclaimingFiles,
                         ::testing::Values(Claim{"WordsAlone", kWords, 0, kWords, 0, 0},
                                           Claim{"NoDocumentHoldsThem", kWords, 0, kWords, 0, 2 * kWords},
                                           Claim{"NoPostings", kWords, 1, kWords, kWords + 3, 0},
                                           Claim{"HalfThePostings", kWords, 1, kWords, kWords + 3, kWords}),
                         [](const ::testing::TestParamInfo<Claim>& info) { return std::string(info.param.name); });

// A file that holds what it claims is still read under the same limit: the
// limit is not what refuses the files above.
TEST(IndexFileCounts, AFileThatHoldsItsCountsLoadsUnderTheSameLimit) {
#ifdef DUREVARARE_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer maps more address space than any limit here allows";
#endif
  LiveIndex index(Parameters{});
  std::vector<Document> documents;
  for (int i = 0; i < 2000; ++i) documents.push_back({"s" + std::to_string(i), {"w" + std::to_string(i % 97), "x"}});
  index.add(documents);
  const std::string file = index.serialize("{}");
  EXPECT_EQ(read_with_budget(file, kBudget), Loaded);
}

}  // namespace
