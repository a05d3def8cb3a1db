// Random bytes into the log reader: it reads commits or stops at a torn
// tail, or reports damage with std::invalid_argument (LogDamage), and what
// it reads applies to an index or is refused as a write would be. This
// build does not check checksums, so that the fuzzer reaches the records
// behind them; it starts from a few real logs, written into the corpus
// folder before the first run.

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "storage/log_format.hpp"

using namespace vorn::typing::text::search;
using namespace vorn::typing::text::search::storage;

namespace {

void write_seeds(const std::string& folder) {
  for (int variant = 0; variant < 3; ++variant) {
    std::string log = log_header(static_cast<std::uint64_t>(variant));
    for (int commit = 1; commit <= 2 + variant; ++commit) {
      Change change{variant == 1 ? Change::Kind::Update : Change::Kind::Add, {}, {}};
      for (int i = 0; i < 4 * commit; ++i) {
        change.documents.push_back({"s" + std::to_string(commit * 10 + i), {"词", "w" + std::to_string(i % 5)}});
      }
      append_change(log, change);
      if (commit % 2 == 0) append_change(log, Change{Change::Kind::Remove, {}, {"s" + std::to_string(commit * 10)}});
      append_commit(log, static_cast<std::uint64_t>(commit));
    }
    if (variant == 2) log.resize(log.size() - 5);  // torn
    std::ofstream(folder + "/seed-" + std::to_string(variant), std::ios::binary) << log;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
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
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  LogScan scan;
  try {
    read_log_header(bytes);
    scan = scan_log(bytes, kLogHeaderBytes, 0);
  } catch (const LogDamage&) {
    return 0;
  }
  if (scan.end > size || scan.end + scan.tail_bytes != size) std::abort();
  LiveIndex index({0.35, 0.7, Idf::Documents});
  for (const Commit& commit : scan.commits) {
    try {
      index.apply(commit.changes);
    } catch (const std::invalid_argument&) {
      // A write the index refuses, as it would have refused it first time.
    }
  }
  index.search({"词", "w1"}, 5);
  // What was read, written again, reads back the same.
  std::string again = log_header(0);
  for (const Commit& commit : scan.commits) {
    for (const Change& change : commit.changes) append_change(again, change);
    append_commit(again, commit.sequence);
  }
  if (scan_log(again, kLogHeaderBytes, 0).commits.size() != scan.commits.size()) std::abort();
  return 0;
}
