// The writer's path handling: the kernel resolves the name once, the file
// that name leads to is replaced where it really lies, and a replacement
// that fails never turns into an in-place write that loses the old text.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bm25/file_replace.hpp"
#include "temp_dir.hpp"

namespace fs = std::filesystem;
using vorn::typing::text::replace_file_contents;
using vorn::typing::text::WriteHooks;
using vorn::typing::text::WriteOutcome;

namespace {

struct stat lstat_of(const std::string& path) {
  struct stat info {};
  ::lstat(path.c_str(), &info);
  return info;
}

// Files may grow to `bytes` at most while it lives; SIGXFSZ is ignored, as
// Python ignores it, so that a write past the limit fails with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    const rlimit limit{bytes, previous_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    ::signal(SIGXFSZ, handler_);
  }

 private:
  rlimit previous_{};
  sighandler_t handler_;
};

// Changes the working folder while it lives.
class WorkingFolder {
 public:
  explicit WorkingFolder(const fs::path& folder) : previous_(fs::current_path()) { fs::current_path(folder); }
  ~WorkingFolder() { fs::current_path(previous_); }

 private:
  fs::path previous_;
};

// A file whose real path is longer than PATH_MAX, made from `top` down one
// relative step at a time; calls `use` with its name from the deepest folder
// as the working folder, then removes it all the same way.
void in_a_folder_deeper_than_path_max(const fs::path& top, const std::function<void(const std::string&)>& use) {
  const std::string step(200, 'd');
  WorkingFolder at(top);
  int depth = 0;
  for (; static_cast<std::size_t>(depth) * (step.size() + 1) <= PATH_MAX + 300; ++depth) {
    ASSERT_EQ(::mkdir(step.c_str(), 0700), 0);
    ASSERT_EQ(::chdir(step.c_str()), 0);
  }
  use("m.json");
  ::unlink("m.json");
  for (; depth > 0; --depth) {
    ASSERT_EQ(::chdir(".."), 0);
    ::rmdir(step.c_str());
  }
}

struct Spelling {
  const char* name;
  // Given the folder holding m.json, runs the check with a path to it.
  std::function<void(const fs::path&, const std::function<void(const std::string&)>&)> with_path;
};

std::ostream& operator<<(std::ostream& out, const Spelling& spelling) { return out << spelling.name; }

class PathSpellings : public ::testing::TestWithParam<Spelling> {};

// However the path reaches an existing plain file, it is replaced (a new
// inode), and a new text that cannot be written leaves the old one whole.
TEST_P(PathSpellings, ReplaceTheFileOrKeepItsOldText) {
  TempDir dir;
  GetParam().with_path(dir.path(), [](const std::string& path) {
    { std::ofstream(path) << "old"; }
    const ino_t inode = lstat_of(path).st_ino;
    {
      FileSizeLimit limit(4);
      EXPECT_EQ(replace_file_contents(path, "a text longer than four bytes"), WriteOutcome::WriteFailed);
    }
    EXPECT_EQ(read_file(path), "old");
    EXPECT_EQ(lstat_of(path).st_ino, inode);
    EXPECT_EQ(replace_file_contents(path, "new"), WriteOutcome::Written);
    EXPECT_EQ(read_file(path), "new");
    EXPECT_NE(lstat_of(path).st_ino, inode);
  });
  for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
    EXPECT_NE(entry.path().filename().string().rfind(".durevarare-", 0), 0u) << "a temporary file is left";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PathSpellings,
    ::testing::Values(
        Spelling{"real_path_longer_than_path_max", in_a_folder_deeper_than_path_max},
        Spelling{"proc_self_cwd_in_the_folder_part",
                 [](const fs::path& folder, const std::function<void(const std::string&)>& use) {
                   WorkingFolder at(folder);
                   use("/proc/self/cwd/m.json");
                 }},
        Spelling{"dev_fd_of_a_folder_in_the_folder_part",
                 [](const fs::path& folder, const std::function<void(const std::string&)>& use) {
                   const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
                   use("/dev/fd/" + std::to_string(fd) + "/m.json");
                   ::close(fd);
                 }},
        Spelling{"through_a_link_to_a_folder",
                 [](const fs::path& folder, const std::function<void(const std::string&)>& use) {
                   fs::create_directory(folder / "real");
                   fs::create_directory_symlink("real", folder / "via");
                   use((folder / "via" / "m.json").string());
                   fs::remove(folder / "real" / "m.json");
                 }}));

// A link planted where a new file is to go, after its name was looked up:
// the new file takes the link's place; what the link points to is not
// written, whatever the kernel's link protections would have said.
TEST(FileReplace, ALinkPlantedAfterTheLookupIsReplacedNotFollowed) {
  TempDir dir;
  const std::string secret = dir.write("secret", "secret");
  const std::string target = (dir / "new.json").string();
  WriteHooks hooks;
  hooks.before_open = [&] { fs::create_symlink("secret", target); };
  EXPECT_EQ(replace_file_contents(target, "new", hooks), WriteOutcome::Written);
  EXPECT_EQ(read_file(secret), "secret");
  EXPECT_TRUE(S_ISREG(lstat_of(target).st_mode));
  EXPECT_EQ(read_file(target), "new");
}

// A dangling link: the kernel creates the file it names, which is then
// written whole; the link stays a link.
TEST(FileReplace, ADanglingLinkGetsItsFile) {
  TempDir dir;
  fs::create_directory(dir / "elsewhere");
  fs::create_symlink("elsewhere/model.json", dir / "link.json");
  EXPECT_EQ(replace_file_contents((dir / "link.json").string(), "new"), WriteOutcome::Written);
  EXPECT_TRUE(fs::is_symlink(dir / "link.json"));
  EXPECT_EQ(read_file((dir / "elsewhere" / "model.json").string()), "new");
}

// A private file stays private while it is rewritten: the temporary file is
// made for the owner alone and has the old mode before the first byte.
TEST(FileReplace, APrivateFileIsNeverReadableByOthersWhileItIsWritten) {
  TempDir dir;
  const std::string target = dir.write("private.index", "old");
  ::chmod(target.c_str(), 0600);
  const mode_t umask = ::umask(0);  // the most that creating a file could give
  std::vector<mode_t> seen;
  WriteHooks hooks;
  hooks.before_rename = [&] {
    for (const auto& entry : fs::directory_iterator(dir.path())) seen.push_back(lstat_of(entry.path()).st_mode & 07777);
  };
  EXPECT_EQ(replace_file_contents(target, "new", hooks), WriteOutcome::Written);
  ::umask(umask);
  EXPECT_EQ(seen, (std::vector<mode_t>{0600, 0600}));
  EXPECT_EQ(lstat_of(target).st_mode & 07777, 0600u);
}

}  // namespace
