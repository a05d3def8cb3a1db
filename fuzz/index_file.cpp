// Random bytes into the index file reader (and the snapshot image's, which
// it hands images to): it either reads an index or
// refuses the file with std::invalid_argument. Whatever it reads answers a
// search, and saving it again and reading that back gives the same bytes.
// This build does not check checksums, so that the fuzzer gets past them to
// the reading of each section; it starts from a few real files, written into
// the corpus folder before the first run.

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "search/live_index.hpp"

using namespace vorn::typing::text::search;

namespace {

void write_seeds(const std::string& folder) {
  for (int variant = 0; variant < 3; ++variant) {
    LiveIndex index({0.75, 1.2, variant == 1 ? Idf::Occurrences : Idf::Documents});
    std::vector<Document> documents;
    for (int i = 0; i < 40 * variant + 3; ++i) {
      Document document{"s" + std::to_string(i), {}};
      for (int j = 0; j < i % 7; ++j) document.words.push_back("w" + std::to_string((i + j * j) % 11));
      documents.push_back(document);
    }
    documents.push_back({std::string("i\x01\0\0\0\0\0\0\0", 9), {"词", "词"}});
    index.add(documents);
    std::ofstream(folder + "/seed-" + std::to_string(variant), std::ios::binary) << index.serialize("{\"analyzer\": {}}");
    index.remove({"s1"});  // an image keeps removed documents, which a file drops
    std::ofstream(folder + "/image-" + std::to_string(variant), std::ios::binary) << index.image("{}");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  // The first argument that is not a flag is the corpus folder.
  for (int i = 1; i < *argc; ++i) {
    struct stat info {};
    if ((*argv)[i][0] != '-' && ::stat((*argv)[i], &info) == 0 && S_ISDIR(info.st_mode)) {
      write_seeds((*argv)[i]);
      break;
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string settings;
  std::unique_ptr<LiveIndex> index;
  try {
    index = LiveIndex::deserialize(std::string_view(reinterpret_cast<const char*>(data), size), settings);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  index->search({"w1", "w3", "词", "x"}, 5);
  const std::string saved = index->serialize(settings);
  std::string again;
  if (LiveIndex::deserialize(saved, again)->serialize(again) != saved) std::abort();
  index->update({{"s1", {"w1", "w2"}}});
  if (index->contains("s2")) index->remove({"s2"});
  index->search({"w1", "w2"}, 3);
  return 0;
}
