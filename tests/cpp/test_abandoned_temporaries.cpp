// A writer killed before its rename leaves its temporary file behind; the
// next write in that folder removes it, and only it: never the file of a
// writer still at work, nor anything else that merely looks like one.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "bm25/file_replace.hpp"
#include "temp_dir.hpp"

namespace fs = std::filesystem;
using vorn::typing::text::replace_file_contents;
using vorn::typing::text::WriteHooks;
using vorn::typing::text::WriteOutcome;

namespace {

constexpr const char* kLeft = ".durevarare-0123456789abcdef.tmp";

bool is_temporary(const std::string& name) { return name.rfind(".durevarare-", 0) == 0 && name.size() == 32; }

std::vector<std::string> temporaries_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (is_temporary(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct Leftover {
  const char* name;
  std::function<void(const TempDir&)> make;
  bool removed;
};

void PrintTo(const Leftover& value, std::ostream* out) { *out << value.name; }

class Leftovers : public ::testing::TestWithParam<Leftover> {};

// Both kinds of write make a temporary file, and so sweep first: a new file
// and a replaced one.
TEST_P(Leftovers, AreRemovedByTheNextWriteOnlyWhenAbandoned) {
  for (const bool replacing : {false, true}) {
    TempDir dir;
    if (replacing) dir.write("model.json", "old");
    GetParam().make(dir);
    std::vector<std::string> before;
    for (const auto& entry : fs::directory_iterator(dir.path())) before.push_back(entry.path().filename().string());
    EXPECT_EQ(replace_file_contents((dir / "model.json").string(), "new"), WriteOutcome::Written);
    EXPECT_EQ(read_file(dir / "model.json"), "new");
    for (const std::string& name : before) {
      if (name == "model.json") continue;
      EXPECT_EQ(!fs::exists(fs::symlink_status(dir.path() / name)), GetParam().removed && name == kLeft) << name;
    }
    if (fs::exists(dir / "elsewhere")) EXPECT_EQ(read_file(dir / "elsewhere"), "mine") << "a link is never followed";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Leftovers,
    ::testing::Values(
        Leftover{"Abandoned", [](const TempDir& dir) { dir.write(kLeft, "half"); }, true},
        Leftover{"LookAlikes",
                 [](const TempDir& dir) {
                   for (const char* name : {".durevarare-0123456789abcde.tmp", ".durevarare-0123456789abcdeg.tmp",
                                            ".durevarare-0123456789abcdef.tmp~", "durevarare-0123456789abcdef.tmp",
                                            ".durevarare-0123456789abcdef.bin"}) {
                     dir.write(name, "mine");
                   }
                 },
                 false},
        Leftover{"Link", [](const TempDir& dir) {
                   dir.write("elsewhere", "mine");
                   fs::create_symlink("elsewhere", dir / kLeft);
                 }, false},
        Leftover{"Fifo", [](const TempDir& dir) { ::mkfifo((dir / kLeft).c_str(), 0600); }, false},
        Leftover{"Folder", [](const TempDir& dir) { fs::create_directory(dir / kLeft); }, false}),
    [](const ::testing::TestParamInfo<Leftover>& info) { return std::string(info.param.name); });

// Runs `write` in a child process; its exit status.
pid_t in_child(const std::function<int()>& write) {
  const pid_t child = ::fork();
  if (child == 0) std::_Exit(write());
  return child;
}

int status_of(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

TEST(AbandonedTemporaries, AKilledWritersFileGoesWithTheNextWrite) {
  TempDir dir;
  const std::string path = dir.write("model.json", "old");
  const pid_t child = in_child([&] {
    WriteHooks hooks;
    hooks.before_rename = [] { ::raise(SIGKILL); };
    replace_file_contents(path, "never renamed", hooks);
    return 0;
  });
  const int status = status_of(child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  ASSERT_EQ(temporaries_in(dir.path()).size(), 1u);
  EXPECT_EQ(replace_file_contents((dir / "other.json").string(), "other"), WriteOutcome::Written);
  EXPECT_TRUE(temporaries_in(dir.path()).empty());
  EXPECT_EQ(read_file(path), "old");
}

// A writer stopped between its last byte and its rename while another
// writes in the same folder: its file stays, and its rename then succeeds.
TEST(AbandonedTemporaries, AWriterAtWorkKeepsItsFile) {
  TempDir dir;
  const std::string path = dir.write("model.json", "old");
  int reached[2], go_on[2];
  ASSERT_EQ(::pipe(reached), 0);
  ASSERT_EQ(::pipe(go_on), 0);
  const pid_t child = in_child([&] {
    WriteHooks hooks;
    hooks.before_rename = [&] {
      char byte = 0;
      (void)!::write(reached[1], &byte, 1);
      (void)!::read(go_on[0], &byte, 1);
    };
    return replace_file_contents(path, "the child's", hooks) == WriteOutcome::Written ? 0 : 1;
  });
  char byte = 0;
  ASSERT_EQ(::read(reached[0], &byte, 1), 1);
  const std::vector<std::string> at_work = temporaries_in(dir.path());
  ASSERT_EQ(at_work.size(), 1u);
  EXPECT_EQ(replace_file_contents((dir / "other.json").string(), "other"), WriteOutcome::Written);
  EXPECT_EQ(temporaries_in(dir.path()), at_work);
  ASSERT_EQ(::write(go_on[1], &byte, 1), 1);
  const int status = status_of(child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_file(path), "the child's");
  EXPECT_TRUE(temporaries_in(dir.path()).empty());
  for (const int fd : {reached[0], reached[1], go_on[0], go_on[1]}) ::close(fd);
}

// A file locked through another open of it, as a writer holds its own.
TEST(AbandonedTemporaries, ALockedFileStays) {
  TempDir dir;
  dir.write(kLeft, "half");
  const int held = ::open((dir / kLeft).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  EXPECT_EQ(replace_file_contents((dir / "model.json").string(), "new"), WriteOutcome::Written);
  EXPECT_TRUE(fs::exists(dir / kLeft));
  ::close(held);
}

}  // namespace
