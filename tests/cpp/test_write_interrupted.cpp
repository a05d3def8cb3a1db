// A signal that interrupted nothing (writes to a disk file cannot be
// interrupted) is still seen before the old text is given up: a write told
// to stop then stops with the old file as it was and nothing left behind,
// rather than replacing the file and failing afterwards.

#include <gtest/gtest.h>

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

struct Pending {};  // what a handler of the signal throws

std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// How the file at the path starts out, and so how it is written.
struct Target {
  const char* name;
  std::function<void(const TempDir&)> make;
  std::vector<std::string> names;  // what the folder holds, before and after
};

void PrintTo(const Target& value, std::ostream* out) { *out << value.name; }

class InterruptedWrites : public ::testing::TestWithParam<Target> {};

TEST_P(InterruptedWrites, StopBeforeTheOldTextIsGivenUp) {
  TempDir dir;
  GetParam().make(dir);
  const std::string path = (dir / "model.json").string();
  const bool existed = fs::exists(path);
  WriteHooks hooks;
  hooks.interrupted = [] { throw Pending{}; };
  EXPECT_THROW(replace_file_contents(path, "new text", hooks), Pending);
  EXPECT_EQ(names_in(dir.path()), GetParam().names);
  if (existed) EXPECT_EQ(read_file(path), "old");
}

INSTANTIATE_TEST_SUITE_P(
    Table, InterruptedWrites,
    ::testing::Values(Target{"NewFile", [](const TempDir&) {}, {}},
                      Target{"ReplacedFile", [](const TempDir& dir) { dir.write("model.json", "old"); }, {"model.json"}},
                      Target{"HardLinkedFileWrittenInPlace",
                             [](const TempDir& dir) {
                               dir.write("model.json", "old");
                               fs::create_hard_link(dir / "model.json", dir / "link.json");
                             },
                             {"link.json", "model.json"}}),
    [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

// The hook's last call comes once the new text is complete, and no call
// comes after the rename: a write without signals asks once.
TEST(InterruptedWrites, TheLastChanceComesAfterTheLastByte) {
  TempDir dir;
  const std::string path = dir.write("model.json", "old");
  std::vector<std::string> events;
  WriteHooks hooks;
  hooks.before_rename = [&] { events.push_back("complete"); };
  hooks.interrupted = [&] { events.push_back("asked"); };
  EXPECT_EQ(replace_file_contents(path, "new", hooks), WriteOutcome::Written);
  EXPECT_EQ(events, (std::vector<std::string>{"complete", "asked"}));
  EXPECT_EQ(read_file(path), "new");
}

}  // namespace
