// The index kept in a folder: a failure or a crash at any step of a commit
// or a checkpoint opens to exactly the committed documents, scored as a
// fresh index of them; readers follow the writer; one writer at a time.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <atomic>
#include <chrono>
#include <thread>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/log_format.hpp"
#include "storage/store.hpp"
#include "temp_dir.hpp"

using namespace vorn::typing::text::search;
using namespace vorn::typing::text::search::storage;

namespace {

const Parameters kParameters{0.35, 0.7, Idf::Documents};

struct Crash : std::runtime_error {
  Crash() : std::runtime_error("crash") {}
};

StoreOptions writer(FaultSeam seam = {}) {
  StoreOptions options;
  options.seam = std::move(seam);
  return options;
}

StoreOptions reader() {
  StoreOptions options;
  options.writable = false;
  return options;
}

std::vector<Document> documents(int from, int count, std::mt19937& random) {
  static const std::vector<std::string> words = {"苹果", "手机", "发票", "退款", "到账", "电子", "订单", "取消"};
  std::vector<Document> out;
  for (int i = from; i < from + count; ++i) {
    Document document{"s" + std::to_string(i), {}};
    const int length = static_cast<int>(random() % 6);
    for (int j = 0; j < length; ++j) document.words.push_back(words[random() % words.size()]);
    out.push_back(std::move(document));
  }
  return out;
}

// Every word's results, top 5: ids and scores.
std::vector<std::pair<std::string, double>> results(const LiveIndex& index) {
  std::vector<std::pair<std::string, double>> out;
  for (const char* word : {"苹果", "手机", "发票", "退款", "电子"}) {
    for (const Hit& hit : index.search({word, "订单"}, 5)) out.emplace_back(hit.id, hit.score);
  }
  return out;
}

// A fresh index of these writes, in order.
std::unique_ptr<LiveIndex> fresh(const std::vector<std::vector<Change>>& writes) {
  auto index = std::make_unique<LiveIndex>(kParameters);
  for (const auto& changes : writes) index->apply(changes);
  return index;
}

// A seam that fails from the n-th step it sees on, as a disk that went away.
FaultSeam failing_from(int n, int& seen) {
  return [n, &seen](const char*, const std::string&) {
    if (seen++ >= n) throw Crash();
  };
}

}  // namespace

// For each step of a commit: a failure there, and everything after it, then
// opening again gives the documents before the commit or, where its log
// reached the file whole, after it; never a part, and scores as fresh.
TEST(Store, AFailureAtAnyStepOfACommitOpensToACommittedState) {
  std::mt19937 random(3);
  const std::vector<Change> before{{Change::Kind::Add, documents(0, 20, random), {}}};
  const std::vector<Change> during{{Change::Kind::Update, documents(10, 20, random), {}}, {Change::Kind::Remove, {}, {"s1", "s2"}}};
  for (int step = 0;; ++step) {
    TempDir folder;
    const std::string path = (folder / "index").string();
    int seen = 0;
    bool failed = false;
    {
      Store store(path, writer(), kParameters, "{}");
      store.write(before);
      store.commit();
    }
    Store store(path, writer(failing_from(step, seen)), kParameters, "{}");
    seen = 0;  // steps of the commit from here: the step-th fails, and every later one
    try {
      store.write(during);
      store.commit();
    } catch (const Crash&) {
      failed = true;
    }
    Store reopened(path, reader(), kParameters, "{}");
    const auto got = results(*reopened.index());
    const auto old_state = results(*fresh({before}));
    const auto new_state = results(*fresh({before, during}));
    EXPECT_TRUE(got == old_state || got == new_state) << "step " << step;
    if (!failed) {
      EXPECT_EQ(got, new_state);
      break;
    }
  }
}

TEST(Store, AFailureAtAnyStepOfACheckpointOpensToTheCommittedDocuments) {
  std::mt19937 random(5);
  const std::vector<Change> first{{Change::Kind::Add, documents(0, 30, random), {}}};
  const std::vector<Change> second{{Change::Kind::Update, documents(20, 20, random), {}}, {Change::Kind::Remove, {}, {"s3"}}};
  const auto expected = results(*fresh({first, second}));
  for (int step = 0;; ++step) {
    TempDir folder;
    const std::string path = (folder / "index").string();
    int seen = -1000000;
    bool failed = false;
    {
      Store store(path, writer(failing_from(0, seen)), kParameters, "{}");
      store.write(first);
      store.commit();
      store.write(second);
      store.commit();
      seen = -step;  // the step-th step from here fails
      try {
        store.checkpoint();
      } catch (const Crash&) {
        failed = true;
      }
    }
    for (int round = 0; round < 2; ++round) {  // as a reader, then as the next writer
      Store reopened(path, round == 0 ? reader() : writer(), kParameters, "{}");
      EXPECT_EQ(results(*reopened.index()), expected) << "step " << step << " round " << round;
      EXPECT_EQ(reopened.index()->size(), 39u);
    }
    if (!failed) break;
  }
}

TEST(Store, ReadersFollowWholeCommitsAndCheckpoints) {
  TempDir folder;
  const std::string path = (folder / "index").string();
  std::mt19937 random(7);
  Store store(path, writer(), kParameters, "settings");
  Store follower(path, reader(), kParameters, "");
  EXPECT_EQ(follower.settings(), "settings");
  std::vector<std::vector<Change>> writes;
  for (int round = 0; round < 6; ++round) {
    writes.push_back({{Change::Kind::Update, documents(round * 5, 12, random), {}}});
    store.write(writes.back());
    EXPECT_FALSE(follower.refresh()) << "nothing committed yet";
    store.commit();
    EXPECT_TRUE(follower.refresh());
    EXPECT_EQ(results(*follower.index()), results(*fresh(writes))) << round;
    if (round % 2 == 1) {
      store.checkpoint();
      EXPECT_TRUE(follower.refresh()) << "moves to the new snapshot";
      EXPECT_EQ(results(*follower.index()), results(*fresh(writes))) << round;
    }
  }
  EXPECT_EQ(follower.statistics().generation, 3u);
  EXPECT_EQ(results(*follower.index()), results(*store.index()));
}

// A commit reaches the log's file before its flush; a reader in another
// process must not show it until the flush returned, nor ever show one
// whose flush failed, which the writer takes back and writes over.
TEST(Store, ReadersSeeACommitOnlyOnceItsFlushReturned) {
  TempDir folder;
  const std::string path = (folder / "index").string();
  std::mt19937 random(11);
  std::unique_ptr<Store> follower;
  bool fail = false, looked = false;
  const FaultSeam seam = [&](const char* step, const std::string& name) {
    if (!follower || std::string(step) != "flush" || name.rfind("log-", 0) != 0) return;
    looked = true;
    EXPECT_FALSE(follower->refresh()) << "a commit shown before its flush returned";
    if (fail) throw Crash();
  };
  Store store(path, writer(seam), kParameters, "{}");
  follower = std::make_unique<Store>(path, reader(), kParameters, "{}");
  std::vector<std::vector<Change>> writes;
  for (int round = 0; round < 4; ++round) {
    const std::vector<Change> write{{Change::Kind::Update, documents(round * 7, 10, random), {}}};
    store.write(write);
    fail = round % 2 == 0;
    looked = false;
    if (fail) {
      EXPECT_THROW(store.commit(), Crash);
      EXPECT_FALSE(follower->refresh()) << "a commit whose flush failed was shown";
      fail = false;
      store.commit();  // the same write again, over the same bytes
    } else {
      store.commit();
    }
    EXPECT_TRUE(looked);
    writes.push_back(write);
    EXPECT_TRUE(follower->refresh()) << round;
    EXPECT_EQ(results(*follower->index()), results(*fresh(writes))) << round;
    // Opened afresh, a reader stops at the same place.
    EXPECT_EQ(results(*Store(path, reader(), kParameters, "{}").index()), results(*fresh(writes))) << round;
  }
}

// Threads write and commit at once (sharing flushes), a checkpoint runs
// beside them and a reader refreshes and searches throughout; then the
// index is closed under them. Their calls are refused from the close on,
// never run on files that are gone; every commit that returned is in the
// folder, and the reader ends where the writer is. (Also run under
// ThreadSanitizer.)
TEST(Store, ThreadsWriteCommitCheckpointAndClose) {
  TempDir folder;
  const std::string path = (folder / "index").string();
  constexpr int kThreads = 4;
  Store store(path, writer(), kParameters, "{}");
  Store follower(path, reader(), kParameters, "{}");
  std::atomic<bool> reading{true};
  std::atomic<int> searches{0}, committed{0}, refused{0};
  std::thread reader_thread([&] {
    while (reading) {
      follower.refresh();
      follower.index()->search({"手机", "订单"}, 5);
      ++searches;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      try {
        for (int i = 0;; ++i) {
          store.write({{Change::Kind::Add, documents(t * 1000000 + i, 1, random), {}}});
          store.commit();
          ++committed;
        }
      } catch (const std::logic_error&) {
        ++refused;
      }
    });
  }
  for (int round = 0; round < 2; ++round) {
    while (committed < 40 * (round + 1)) std::this_thread::yield();
    store.checkpoint();
  }
  while (committed < 120) std::this_thread::yield();
  store.close();
  for (std::thread& thread : writers) thread.join();
  reading = false;
  reader_thread.join();
  follower.refresh();
  EXPECT_EQ(refused.load(), kThreads);
  EXPECT_GT(searches.load(), 0);
  // A write that got in before the close is committed by it, unacknowledged.
  EXPECT_GE(store.index()->size(), static_cast<std::size_t>(committed.load()));
  EXPECT_LE(store.index()->size(), static_cast<std::size_t>(committed.load() + kThreads));
  EXPECT_EQ(store.statistics().pending_writes, 0u);
  EXPECT_EQ(results(*follower.index()), results(*store.index()));
  EXPECT_EQ(results(*Store(path, reader(), kParameters, "{}").index()), results(*store.index()));
}

TEST(Store, OneWriterAtATimeAndReadOnlyRefusesWrites) {
  TempDir folder;
  const std::string path = (folder / "index").string();
  auto first = std::make_unique<Store>(path, writer(), kParameters, "{}");
  EXPECT_THROW(Store(path, writer(), kParameters, "{}"), WriterBusy);
  Store follower(path, reader(), kParameters, "{}");
  EXPECT_THROW(follower.write({{Change::Kind::Remove, {}, {"x"}}}), std::logic_error);
  first.reset();  // the lock goes with it
  Store second(path, writer(), kParameters, "{}");
  EXPECT_THROW(Store(path + "-missing", reader(), kParameters, "{}"), std::system_error);
}

TEST(Store, DamagedFilesAreRefusedNamingThem) {
  TempDir folder;
  const std::string path = (folder / "index").string();
  std::mt19937 random(9);
  {
    Store store(path, writer(), kParameters, "{}");
    for (int i = 0; i < 3; ++i) {
      store.write({{Change::Kind::Add, documents(i * 10, 10, random), {}}});
      store.commit();
    }
  }
  const std::filesystem::path log = std::filesystem::path(path) / "log-0";
  std::string bytes = read_file(log);
  bytes[kLogHeaderBytes + 20] ^= 0x10;
  std::ofstream(log, std::ios::binary | std::ios::trunc) << bytes;
  try {
    Store store(path, reader(), kParameters, "{}");
    FAIL() << "a damaged log opened";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("log-0"), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find("offset 32"), std::string::npos) << error.what();
  }
  std::ofstream(std::filesystem::path(path) / "CURRENT", std::ios::binary | std::ios::trunc) << "junk";
  EXPECT_THROW(Store(path, reader(), kParameters, "{}"), std::invalid_argument);
}

// A snapshot is read in place from a private mapping: writes after opening
// change the process's pages, never the file that every reader maps; and a
// folder whose snapshot is of the older index file format still opens.
TEST(Store, WritesNeverChangeTheMappedSnapshotAndOlderSnapshotsOpen) {
  TempDir folder;
  const std::string path = (folder / "index").string();
  const std::filesystem::path snapshot = std::filesystem::path(path) / "snapshot-1";
  std::mt19937 random(4);
  std::vector<std::vector<Change>> writes = {{{Change::Kind::Add, documents(0, 400, random), {}}}};
  {
    Store store(path, writer(), kParameters, "{}");
    store.write(writes[0]);
    store.checkpoint();
  }
  const std::string before = read_file(snapshot);
  {
    Store store(path, writer(), kParameters, "{}");
    writes.push_back({{Change::Kind::Update, documents(100, 300, random), {}}, {Change::Kind::Remove, {}, {"s1", "s2"}}});
    store.write(writes.back());
    store.commit();
    EXPECT_EQ(results(*store.index()), results(*fresh(writes)));
    EXPECT_EQ(read_file(snapshot), before);
    // A checkpoint of what it read in place and what it wrote since.
    store.checkpoint();
  }
  {
    Store store(path, reader(), kParameters, "{}");
    EXPECT_EQ(results(*store.index()), results(*fresh(writes)));
  }
  const std::filesystem::path older = std::filesystem::path(path) / "snapshot-2";
  // The same documents, as the older format holds them.
  std::ofstream(older, std::ios::binary | std::ios::trunc) << fresh(writes)->serialize("{}");
  Store reopened(path, reader(), kParameters, "{}");
  EXPECT_EQ(results(*reopened.index()), results(*fresh(writes)));
}
