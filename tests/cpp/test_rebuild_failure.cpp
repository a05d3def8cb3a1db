// The rebuild that follows a write by itself (once most documents are
// gone) only gives memory back: when it fails, out of memory, the write it
// followed has still happened and says so, and the index stays exact.

#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "address_space.hpp"
#include "search/live_index.hpp"

namespace {

using namespace vorn::typing::text::search;

constexpr int kDocuments = 219999, kRemoved = 110000;  // more removed than left: a rebuild is due

enum Outcome { Applied = 0, Refused = 1, Unchanged = 2, Wrong = 3, RebuiltAnyway = 4 };  // exit codes

// In a process of its own: most documents removed in one write, with the address space
// limited to little beyond what the removal itself needs, so that the
// rebuild after it cannot get the room for the index's new structures.
// Large blocks are mapped apart and given back when freed, so that those
// the index outgrew while it was built leave no room behind either.
Outcome remove_most_under_a_limit() {
  ::mallopt(M_MMAP_THRESHOLD, 64 << 10);
  LiveIndex index(Parameters{});
  std::vector<std::string> removed;
  // Added a little at a time, so that the copies a write makes, freed after
  // it, are a little room too.
  for (int first = 0; first < kDocuments; first += 1000) {
    std::vector<Document> documents;
    for (int i = first; i < std::min(first + 1000, kDocuments); ++i) {
      Document document{"s" + std::to_string(i), {"all"}};
      for (int j = 0; j < 20; ++j) document.words.push_back("w" + std::to_string((i + j * 7919) % 5000));
      if (i % 2 == 0) removed.push_back(document.id);
      documents.push_back(std::move(document));
    }
    index.add(documents);
  }
  const std::uint64_t numbered = index.statistics().numbered;
  const rlimit limit{address_space() + (8u << 20), RLIM_INFINITY};
  ::setrlimit(RLIMIT_AS, &limit);
  try {
    index.remove(removed);
  } catch (const std::bad_alloc&) {
    return index.size() == kDocuments ? Unchanged : Refused;
  }
  if (index.statistics().numbered != numbered) return RebuiltAnyway;  // the limit let it through
  const bool exact = index.size() == kDocuments - kRemoved && !index.contains("s0") && index.contains("s1") &&
                     index.matches({"all"}) == kDocuments - kRemoved;
  // With room again, the next write rebuilds.
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  ::setrlimit(RLIMIT_AS, &unlimited);
  index.remove({"s1"});
  const bool rebuilt = index.statistics().numbered == kDocuments - kRemoved - 1;
  return exact && rebuilt ? Applied : Wrong;
}

TEST(RebuildFailure, TheWriteBeforeItStillHappenedAndSaysSo) {
#ifdef DUREVARARE_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer maps more address space than any limit here allows";
#endif
  // In a process started afresh (the test binary run again for this test
  // alone): memory that earlier tests freed would be room for the rebuild.
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(remove_most_under_a_limit()), ::testing::ExitedWithCode(Applied), "");
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
