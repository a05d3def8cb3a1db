// A fork while another thread writes, searches or rebuilds: prepare_fork
// makes the index whole and still, the parent goes on after
// after_fork_parent, and the child, after after_fork_child, can search and
// write at once. A child that hangs is killed and fails the test.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "search/live_index.hpp"

namespace {

using namespace vorn::typing::text::search;

constexpr std::size_t kBase = 2000, kBatch = 100;

std::vector<Document> batch(std::size_t first, std::size_t size, const char* marker) {
  std::vector<Document> out;
  for (std::size_t i = first; i < first + size; ++i) out.push_back({"s" + std::to_string(i), {marker, "w" + std::to_string(i % 31)}});
  return out;
}

// The child's exit status, or -1 (the child killed) when it hangs.
int exit_status(pid_t child) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  return -1;
}

// In the child: every write of the parent in or out whole, and the index
// searched, written and rebuilt. Never returns.
[[noreturn]] void check_in_child(LiveIndex& index) {
  index.after_fork_child();
  int code = 1;
  try {
    const std::size_t marked = index.matches({"marker"});
    const bool whole = marked % kBatch == 0 && index.size() == kBase + marked;
    index.update({{"child", {"child", "marker"}}});
    index.remove({"s0"});
    index.compact();
    const std::vector<Hit> hits = index.search({"child"}, 5);
    code = whole && hits.size() == 1 && hits[0].id == "child" && !index.contains("s0") ? 0 : 2;
  } catch (...) {
  }
  std::_Exit(code);
}

struct Work {
  const char* name;
  std::function<void(LiveIndex&)> step;  // one round of the other thread's work
};

void PrintTo(const Work& work, std::ostream* out) { *out << work.name; }

class ForkBeside : public ::testing::TestWithParam<Work> {};

TEST_P(ForkBeside, AnotherThreadGivesAChildThatWorks) {
  LiveIndex index(Parameters{});
  index.add(batch(0, kBase, "base"));
  std::atomic<bool> stop{false};
  std::thread other([&] {
    while (!stop) GetParam().step(index);
  });
  std::vector<int> statuses;
  for (int round = 0; round < 5; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    index.prepare_fork();
    const pid_t child = ::fork();
    if (child == 0) check_in_child(index);
    index.after_fork_parent();
    statuses.push_back(exit_status(child));
  }
  stop = true;
  other.join();
  EXPECT_EQ(statuses, std::vector<int>(5, 0));
  EXPECT_EQ(index.size(), kBase);
}

INSTANTIATE_TEST_SUITE_P(Table, ForkBeside,
                         ::testing::Values(Work{"Writer",
                                                [](LiveIndex& index) {
                                                  const std::vector<Document> added = batch(100000, kBatch, "marker");
                                                  index.add(added);
                                                  std::vector<std::string> ids;
                                                  for (const Document& document : added) ids.push_back(document.id);
                                                  index.remove(ids);
                                                }},
                                           Work{"Searcher", [](LiveIndex& index) { index.search({"w3", "base"}, 10); }},
                                           Work{"Rebuilder", [](LiveIndex& index) { index.compact(); }}),
                         [](const ::testing::TestParamInfo<Work>& info) { return std::string(info.param.name); });

// A fork from the thread of an open session: the session's mutex is its
// own, so the fork does not wait for it; the write goes on in the parent,
// and other writers get in once it ends.
TEST(ForkWithin, ASessionOfTheForkingThread) {
  LiveIndex index(Parameters{});
  index.add(batch(0, kBase, "base"));
  LiveIndex::Session session(index);
  session.apply({Change{Change::Kind::Add, batch(kBase, kBatch, "marker"), {}}});
  index.prepare_fork();
  const pid_t child = ::fork();
  if (child == 0) {
    index.after_fork_child();
    std::_Exit(index.size() == kBase + kBatch && index.search({"marker"}, 1).size() == 1 ? 0 : 1);
  }
  index.after_fork_parent();
  EXPECT_EQ(exit_status(child), 0);
  session.commit();
  std::thread writer([&] { index.remove({"s0"}); });
  writer.join();
  EXPECT_EQ(index.size(), kBase + kBatch - 1);
}

}  // namespace
