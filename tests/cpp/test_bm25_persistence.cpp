#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <limits>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "bm25/bm25.hpp"
#include "bm25/file_replace.hpp"
#include "temp_dir.hpp"

namespace fs = std::filesystem;
using vorn::typing::text::BM25;
using Strings = std::vector<std::string>;

namespace {

const char* const kExample =
    "{\n"
    "  \"_b\" : 0.750000,\n"
    "  \"_doc_count\" : 1,\n"
    "  \"_doc_length_average\" : 3.000000,\n"
    "  \"_doc_token_frequency\" : {\n"
    "    \"a\" : 2,\n"
    "    \"b\" : 1\n"
    "  },\n"
    "  \"_k1\" : 1.200000\n"
    "}";

std::string dumped(const BM25& model) {
  TempDir dir;
  model.dump((dir / "model.json").string());
  return read_file(dir / "model.json");
}

std::int32_t frequency(const BM25& model, const std::string& key) {
  const std::int32_t* found = model.doc_token_frequency().find(key);
  return found ? *found : -1;
}

std::string load_error(BM25& model, const std::string& text) {
  try {
    model.load(text);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(BM25Dump, WritesTheExampleDocumentExactly) {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a", "b", "a"});
  EXPECT_EQ(dumped(model), kExample);
}

TEST(BM25Dump, UntrainedModel) {
  EXPECT_EQ(dumped(BM25(0.75, 1.2)),
            "{\n  \"_b\" : 0.750000,\n  \"_doc_count\" : 0,\n  \"_doc_length_average\" : 0.000000,\n"
            "  \"_doc_token_frequency\" : {\n\n  },\n  \"_k1\" : 1.200000\n}");
}

TEST(BM25Dump, KeysInByteOrderAndIntegersAsText) {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a", "B", "9", "10"});
  model.train(std::vector<std::int64_t>{7, -7});
  model.train(Strings{"x", "y", "z", "w"});
  const std::string text = dumped(model);
  EXPECT_NE(text.find("\"-7\" : 1,\n    \"10\" : 1,\n    \"7\" : 1,\n    \"9\" : 1,\n    \"B\" : 1,\n    \"a\" : 1"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"_doc_length_average\" : 3.333333"), std::string::npos);
}

TEST(BM25Load, RestoresTheExample) {
  BM25 model(0.0, 0.0);
  model.load(kExample);
  EXPECT_EQ(model.b(), 0.75);
  EXPECT_EQ(model.k1(), 1.2);
  EXPECT_EQ(model.doc_count(), 1);
  EXPECT_EQ(model.doc_length_average(), 3.0);
  EXPECT_EQ(frequency(model, "a"), 2);
  EXPECT_EQ(frequency(model, "b"), 1);
  EXPECT_EQ(model.doc_length_total(), 3);
}

TEST(BM25Load, TrainingAfterALoadKeepsTheTrueAverage) {
  BM25 model(0.75, 1.2);
  model.load(kExample);  // one document of length 3
  model.train(Strings{"c"});
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_length_average(), 2.0);
}

TEST(BM25Load, MergesTokenEntries) {
  BM25 model(0.75, 1.2);
  model.train(Strings{"z", "a"});
  model.load(kExample);
  EXPECT_EQ(frequency(model, "z"), 1);
  EXPECT_EQ(frequency(model, "a"), 2);
}

struct FailingLoad {
  const char* name;
  std::string text;
  std::string message;
};

std::ostream& operator<<(std::ostream& out, const FailingLoad& c) { return out << c.name; }

class BM25LoadFailure : public ::testing::TestWithParam<FailingLoad> {};

TEST_P(BM25LoadFailure, ReportsTheFirstBadMemberAndChangesNothing) {
  const FailingLoad& c = GetParam();
  BM25 model(0.5, 2.0);
  model.train(Strings{"q", "a"});
  const std::string before = dumped(model);
  EXPECT_EQ(load_error(model, c.text), c.message);
  EXPECT_EQ(dumped(model), before);
  EXPECT_EQ(model.doc_length_total(), 2);
}

// Members are checked in the order token entries, document count, average,
// b, k1; the first bad one names the failure.
INSTANTIATE_TEST_SUITE_P(
    Table, BM25LoadFailure,
    ::testing::Values(
        FailingLoad{"empty", "", "json data should not be empty"},
        FailingLoad{"empty_object", "{}", "load doc_count failed"},
        FailingLoad{"not_json", "hello", "load doc_count failed"},
        FailingLoad{"a_path", "model.json", "load doc_count failed"},
        FailingLoad{"bad_token", R"({"_doc_token_frequency": {"a": 1, "b": 1.5, "c": 3}})",
                    "load doc_token_frequency failed"},
        FailingLoad{"negative_token", R"({"_doc_token_frequency": {"a": -1}, "_doc_count": 1})",
                    "load doc_token_frequency failed"},
        FailingLoad{"real_count", R"({"_doc_count": 2.0, "_doc_token_frequency": {"a": 4}})", "load doc_count failed"},
        FailingLoad{"negative_count", R"({"_doc_count": -1, "_doc_length_average": 1.0, "_b": 0.1, "_k1": 0.1})",
                    "load doc_count failed"},
        FailingLoad{"missing_average", R"({"_doc_count": 3})", "load doc_length_average failed"},
        FailingLoad{"negative_average", R"({"_doc_count": 3, "_doc_length_average": -0.5, "_b": 0.1, "_k1": 0.1})",
                    "load doc_length_average failed"},
        FailingLoad{"nan_average", R"({"_doc_count": 3, "_doc_length_average": 0.0e400, "_b": 0.1, "_k1": 0.1})",
                    "load doc_length_average failed"},
        FailingLoad{"integer_b", R"({"_doc_count": 3, "_doc_length_average": 2.5, "_b": 1})", "load b failed"},
        FailingLoad{"integer_k1", R"({"_doc_count": 3, "_doc_length_average": 2.5, "_b": 0.1, "_k1": 1})",
                    "load k1 failed"}));

TEST(BM25Load, NegativeParametersAreStoredLikeTheSettersDo) {
  BM25 model(0.75, 1.2);
  model.load(R"({"_b": -0.5, "_doc_count": 0, "_doc_length_average": 0.0, "_k1": -2.0})");
  EXPECT_EQ(model.b(), -0.5);
  EXPECT_EQ(model.k1(), -2.0);
}

TEST(BM25Load, FrequencyArrayOrMissingIsSkipped) {
  BM25 model(0.75, 1.2);
  model.load(R"({"_doc_count": 2, "_doc_length_average": 1.5, "_b": 0.5, "_k1": 1.0, "_doc_token_frequency": [1]})");
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_TRUE(model.doc_token_frequency().empty());
  EXPECT_EQ(model.doc_length_total(), 3);
}

TEST(BM25Load, ParserExceptionsPassThroughBeforeAnyChange) {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  const std::string before = dumped(model);
  EXPECT_THROW(model.load(R"({"_doc_token_frequency": {"b": 1}, "_doc_count": 99999999999})"), std::out_of_range);
  EXPECT_THROW(model.load(R"({"_doc_count": -})"), std::invalid_argument);
  EXPECT_EQ(dumped(model), before);
}

TEST(BM25Load, CountsSaturateInsteadOfOverflowing) {
  BM25 model(0.75, 1.2);
  model.load(R"({"_b": 0.75, "_doc_count": 2147483647, "_doc_length_average": 1.000000,
                 "_doc_token_frequency": {"a": 2147483647}, "_k1": 1.200000})");
  model.train(Strings{"a", "a"});
  EXPECT_EQ(model.doc_count(), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(frequency(model, "a"), std::numeric_limits<std::int32_t>::max());
  // N + 1 is formed in 64 bits: ln(2^31 / (f + 0.5)).
  EXPECT_EQ(model.token_idf("zz"), std::log(2147483648.0 / 1.5));
  EXPECT_TRUE(std::isfinite(model.encode_query(Strings{"a", "zz"}).at("zz")));
}

TEST(BM25Load, HugeAverageKeepsTheTotalInRange) {
  BM25 model(0.75, 1.2);
  model.load(R"({"_b": 0.75, "_doc_count": 2147483647, "_doc_length_average": 1e300, "_k1": 1.2})");
  EXPECT_EQ(model.doc_length_total(), std::numeric_limits<std::int64_t>::max());
  model.train(Strings{"a"});
  EXPECT_GT(model.doc_length_average(), 0.0);
}

TEST(BM25Persistence, EveryByteOfATokenSurvives) {
  BM25 model(0.75, 1.2);
  Strings tokens{"", "tab\there", "line\nfeed", "quote\"d", "back\\slash", "\b\f\r", "\\n", "\\u00e9",
                 "\xe4\xb8\xad\xe6\x96\x87", std::string("nul\0byte", 8), "\x01\x7f\xff"};
  model.train(tokens);
  TempDir dir;
  const std::string path = (dir / "m.json").string();
  model.dump(path);
  BM25 restored(0.0, 0.0);
  restored.load(read_file(path));
  EXPECT_EQ(restored.doc_token_frequency().size(), tokens.size());
  for (const std::string& token : tokens) EXPECT_EQ(frequency(restored, token), 1) << token;
  restored.dump(path + "2");
  EXPECT_EQ(read_file(path + "2"), read_file(path));
}

// Every name in a folder with what it holds: a link's target, a file's text.
std::map<std::string, std::string> folder_snapshot(const fs::path& folder) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_symlink()) {
      out[name] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      out[name] = read_file(entry.path());
    } else {
      out[name] = "(folder)";
    }
  }
  return out;
}

std::string dump_error(const BM25& model, const std::string& path) {
  try {
    model.dump(path);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

struct RefusedPath {
  const char* name;
  std::function<std::string(const TempDir&)> make;  // prepares the folder, returns the path to dump to
};

std::ostream& operator<<(std::ostream& out, const RefusedPath& c) { return out << c.name; }

class BM25DumpRefused : public ::testing::TestWithParam<RefusedPath> {};

// Paths that opening for writing refuses: the dump fails before anything is
// written, and the folder is left exactly as it was.
TEST_P(BM25DumpRefused, FailsToOpenAndWritesNothing) {
  TempDir dir;
  { std::ofstream(dir / "old.json") << "old"; }
  const std::string path = GetParam().make(dir);
  const auto before = folder_snapshot(dir.path());
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  EXPECT_EQ(dump_error(model, path), "Failed to dump: Unable to open file");
  EXPECT_EQ(folder_snapshot(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BM25DumpRefused,
    ::testing::Values(
        RefusedPath{"empty", [](const TempDir&) { return std::string(); }},
        RefusedPath{"missing_folder", [](const TempDir& d) { return (d / "missing" / "m.json").string(); }},
        RefusedPath{"a_folder", [](const TempDir& d) { return d.path().string(); }},
        RefusedPath{"under_a_file", [](const TempDir& d) { return (d / "old.json" / "m.json").string(); }},
        RefusedPath{"name_over_255_bytes", [](const TempDir& d) { return (d.path() / std::string(256, 'm')).string(); }},
        RefusedPath{"embedded_nul", [](const TempDir& d) { return (d / "old.json").string() + std::string("\0.txt", 5); }},
        RefusedPath{"link_loop",
                    [](const TempDir& d) {
                      fs::create_symlink("b.json", d / "a.json");
                      fs::create_symlink("a.json", d / "b.json");
                      return (d / "a.json").string();
                    }},
        RefusedPath{"link_to_itself", [](const TempDir& d) {
                      fs::create_symlink("self.json", d / "self.json");
                      return (d / "self.json").string();
                    }}));

TEST(BM25Dump, WriteFailureKeepsTheOldFileAndLeavesNoTemporary) {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  if (fs::exists("/dev/full")) EXPECT_EQ(dump_error(model, "/dev/full"), "Failed to dump: Unable to write file");
  model.dump("/dev/null");
  TempDir dir;
  model.dump((dir / "m.json").string());
  model.dump((dir / "m.json").string());
  EXPECT_EQ(folder_snapshot(dir.path()).size(), 1u);
}

std::uint64_t inode_of(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_ino;
}

TEST(BM25Dump, PlainFileIsReplacedWhole) {
  TempDir dir;
  const fs::path target = dir / "m.json";
  { std::ofstream(target) << "old"; }
  std::ifstream reader(target);  // a reader of the old file keeps reading it
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  model.dump(target.string());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "old");
  EXPECT_EQ(read_file(target), dumped(model));
}

TEST(BM25Dump, HardLinksStayOneFile) {
  TempDir dir;
  { std::ofstream(dir / "m.json") << "old"; }
  fs::create_hard_link(dir / "m.json", dir / "other-name.json");
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  model.dump((dir / "m.json").string());
  EXPECT_EQ(read_file(dir / "other-name.json"), dumped(model));
  EXPECT_EQ(inode_of(dir / "m.json"), inode_of(dir / "other-name.json"));
}

TEST(BM25Dump, WritableFileInAFolderThatIsNotIsWrittenInPlace) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any folder";
  TempDir dir;
  const fs::path folder = dir / "locked";
  fs::create_directory(folder);
  { std::ofstream(folder / "m.json") << "old"; }
  const std::uint64_t inode = inode_of(folder / "m.json");
  ::chmod(folder.c_str(), 0555);
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  const std::string error = dump_error(model, (folder / "m.json").string());
  ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(error, "");
  EXPECT_EQ(read_file(folder / "m.json"), dumped(model));
  EXPECT_EQ(inode_of(folder / "m.json"), inode);
}

TEST(BM25Dump, KeepsTheOwnerAndModeOfAnotherUsersFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file to another user";
  TempDir dir;
  const fs::path target = dir / "m.json";
  { std::ofstream(target) << "old"; }
  ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  ::chmod(target.c_str(), 0604);
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  model.dump(target.string());
  struct stat info {};
  ::stat(target.c_str(), &info);
  EXPECT_EQ(read_file(target), dumped(model));
  EXPECT_EQ(info.st_uid, 65534u);
  EXPECT_EQ(info.st_gid, 65534u);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
}

// Set up by the unprivileged test run: another user's mode-0666 file in a
// sticky, world-writable folder, where no one else may rename over it.
TEST(BM25Dump, AnotherUsersFileInAStickyFolderIsWrittenInPlace) {
  const char* const path = std::getenv("DUREVARARE_STICKY_FILE");
  if (path == nullptr) GTEST_SKIP() << "needs the fixture of the unprivileged run";
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  struct stat before {};
  ::stat(path, &before);
  EXPECT_EQ(dump_error(model, path), "");
  struct stat after {};
  ::stat(path, &after);
  EXPECT_EQ(read_file(path), dumped(model));
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_uid, before.st_uid);
}

TEST(BM25Dump, FollowsLinksAndKeepsPermissions) {
  TempDir dir;
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  const fs::path real = dir / "real.json";
  { std::ofstream(real) << "old"; }
  ::chmod(real.c_str(), 0640);
  fs::create_symlink("real.json", dir / "link.json");
  model.dump((dir / "link.json").string());
  EXPECT_TRUE(fs::is_symlink(dir / "link.json"));
  EXPECT_EQ(read_file(real).substr(0, 1), "{");
  struct stat info {};
  ::stat(real.c_str(), &info);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  const mode_t previous = ::umask(027);
  model.dump((dir / "new.json").string());
  ::umask(previous);
  ::stat((dir / "new.json").c_str(), &info);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(BM25Dump, ReadOnlyFileIsNotReplaced) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file, so no file is read-only to it";
  TempDir dir;
  const fs::path target = dir / "model.json";
  { std::ofstream(target) << "old"; }
  ::chmod(target.c_str(), 0444);
  try {
    BM25(0.75, 1.2).dump(target.string());
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to dump: Unable to open file");
  }
  EXPECT_EQ(read_file(target), "old");
}

// --- Which file gets replaced, and how -----------------------------------------------------------

std::string model_text() {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  return dumped(model);
}

struct stat stat_of(const fs::path& path) {
  struct stat info {};
  ::lstat(path.c_str(), &info);
  return info;
}

// The race of a link swapped while the dump runs: the file that was opened is
// the one replaced, in the folder that holds it, and the file the link now
// leads to is left alone (as a plain open that lost the race would).
TEST(BM25Dump, ASwappedLinkNeverRedirectsTheReplacement) {
  TempDir dir;
  fs::create_directory(dir / "shared");
  const fs::path secret = dir / "secret";
  { std::ofstream(secret) << "secret"; }
  ::chmod(secret.c_str(), 0600);
  const fs::path model = dir / "shared" / "model.json";
  { std::ofstream(model) << "old"; }
  ::chmod(model.c_str(), 0666);
  if (::geteuid() == 0) ASSERT_EQ(::chown(model.c_str(), 65534, 65534), 0);
  fs::create_symlink("model.json", dir / "shared" / "link.json");

  vorn::typing::text::WriteHooks hooks;
  hooks.before_rename = [&] {
    fs::remove(dir / "shared" / "link.json");
    fs::create_symlink("../secret", dir / "shared" / "link.json");
  };
  EXPECT_EQ(vorn::typing::text::replace_file_contents((dir / "shared" / "link.json").string(), "new", hooks),
            vorn::typing::text::WriteOutcome::Written);
  EXPECT_EQ(read_file(secret), "secret");
  EXPECT_EQ(stat_of(secret).st_mode & 07777, 0600u);
  EXPECT_EQ(stat_of(secret).st_uid, ::geteuid());
  EXPECT_EQ(read_file(model), "new");
  EXPECT_EQ(stat_of(model).st_mode & 07777, 0666u);
}

// A name replaced by another file before the rename: the opened file is
// written in place instead, and the newcomer is not touched.
TEST(BM25Dump, ANameThatNoLongerLeadsToTheOpenedFileIsNotReplaced) {
  TempDir dir;
  const fs::path target = dir / "m.json";
  { std::ofstream(target) << "old"; }
  vorn::typing::text::WriteHooks hooks;
  hooks.before_rename = [&] {
    fs::rename(target, dir / "moved.json");
    std::ofstream(target) << "newcomer";
  };
  EXPECT_EQ(vorn::typing::text::replace_file_contents(target.string(), "new", hooks),
            vorn::typing::text::WriteOutcome::Written);
  EXPECT_EQ(read_file(target), "newcomer");
  EXPECT_EQ(read_file(dir / "moved.json"), "new");
  EXPECT_EQ(folder_snapshot(dir.path()).size(), 2u);
}

struct Stop {};

// A hook that throws (as the binding's does when a signal handler raises)
// stops the dump, removes the temporary file and keeps the old text.
TEST(BM25Dump, AnExceptionFromAHookLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  const fs::path target = dir / "m.json";
  { std::ofstream(target) << "old"; }
  vorn::typing::text::WriteHooks hooks;
  hooks.before_rename = [] { throw Stop{}; };
  EXPECT_THROW(vorn::typing::text::replace_file_contents(target.string(), "new", hooks), Stop);
  EXPECT_EQ(folder_snapshot(dir.path()), (std::map<std::string, std::string>{{"m.json", "old"}}));
}

void on_alarm(int) {}

// A FIFO with no reader blocks the open; a signal interrupts it, and the
// interruption hook decides whether to wait on or stop.
TEST(BM25Dump, ASignalReachesTheHookWhileAFifoHasNoReader) {
  TempDir dir;
  const fs::path fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct sigaction action {};
  action.sa_handler = on_alarm;  // no SA_RESTART, like Python's handlers
  struct sigaction previous {};
  ::sigaction(SIGALRM, &action, &previous);
  ::itimerval every_50ms{{0, 50'000}, {0, 50'000}};
  ::setitimer(ITIMER_REAL, &every_50ms, nullptr);
  int interruptions = 0;
  BM25 model(0.75, 1.2);
  EXPECT_THROW(model.dump(fifo.string(), [&] {
    if (++interruptions == 3) throw Stop{};
  }),
               Stop);
  ::itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(interruptions, 3);
}

// Descriptor links name a file some process holds open: it is written in
// place, as opening the link would, and the open file stays that file.
TEST(BM25Dump, DescriptorLinksWriteTheOpenFileInPlace) {
  TempDir dir;
  const std::string text = model_text();
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});

  const fs::path out = dir / "out.txt";
  const int redirected = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);  // like >> out.txt
  ASSERT_GE(redirected, 0);
  ASSERT_EQ(::write(redirected, "before\n", 7), 7);
  const ino_t inode = stat_of(out).st_ino;
  model.dump("/dev/fd/" + std::to_string(redirected));
  ASSERT_EQ(::write(redirected, "after\n", 6), 6);
  ::close(redirected);
  EXPECT_EQ(read_file(out), text + "after\n");
  EXPECT_EQ(stat_of(out).st_ino, inode);

  // The name it was opened by is gone; another hard link remains.
  const fs::path scratch = dir / "scratch.txt";
  { std::ofstream(scratch) << "old"; }
  fs::create_hard_link(scratch, dir / "keep.txt");
  const int held = ::open(scratch.c_str(), O_RDWR);
  ASSERT_GE(held, 0);
  fs::remove(scratch);
  model.dump("/proc/self/fd/" + std::to_string(held));
  ::close(held);
  EXPECT_EQ(read_file(dir / "keep.txt"), text);
  EXPECT_EQ(folder_snapshot(dir.path()), (std::map<std::string, std::string>{{"keep.txt", text}, {"out.txt", text + "after\n"}}));
}

// Every extended attribute, by name and value.
std::map<std::string, std::string> attributes_of(const fs::path& path) {
  std::map<std::string, std::string> out;
  std::string names(4096, '\0');
  const ssize_t length = ::listxattr(path.c_str(), names.data(), names.size());
  for (std::size_t at = 0; length > 0 && at < static_cast<std::size_t>(length); at += std::strlen(&names[at]) + 1) {
    std::string value(4096, '\0');
    const ssize_t size = ::getxattr(path.c_str(), &names[at], value.data(), value.size());
    out[&names[at]] = value.substr(0, size < 0 ? 0 : static_cast<std::size_t>(size));
  }
  return out;
}

// An access ACL in the kernel's xattr form: the owner rw, nobody rw, the
// group r, mask rw, others nothing.
std::string access_acl() {
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  const std::uint32_t version = 2;
  const Entry entries[] = {{0x01, 6, ~0u}, {0x02, 6, 65534}, {0x04, 4, ~0u}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
  std::string out(reinterpret_cast<const char*>(&version), sizeof version);
  out.append(reinterpret_cast<const char*>(entries), sizeof entries);
  return out;
}

TEST(BM25Dump, KeepsExtendedAttributesAclsAndTheMode) {
  TempDir dir;
  const fs::path target = dir / "m.json";
  { std::ofstream(target) << "old"; }
  ::chmod(target.c_str(), 0640);
  const std::string acl = access_acl();
  if (::setxattr(target.c_str(), "user.origin", "nightly", 7, 0) != 0 ||
      ::setxattr(target.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
    GTEST_SKIP() << "this file system keeps no extended attributes or ACLs";
  }
  const auto attributes = attributes_of(target);
  const mode_t mode = stat_of(target).st_mode;
  const ino_t inode = stat_of(target).st_ino;
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  model.dump(target.string());
  EXPECT_EQ(read_file(target), model_text());
  EXPECT_NE(stat_of(target).st_ino, inode);  // replaced, not written in place
  EXPECT_EQ(attributes_of(target), attributes);
  EXPECT_EQ(stat_of(target).st_mode, mode);
}

// A path near PATH_MAX: the temporary file is named relative to its folder,
// so whatever open accepts, dump accepts.
TEST(BM25Dump, PathsJustUnderPathMax) {
  TempDir dir;
  fs::path folder = dir.path();
  while (folder.string().size() < 4000) folder /= std::string(200, 'd');
  fs::create_directories(folder);
  const fs::path target = folder / std::string(4070 - folder.string().size(), 'm');
  ASSERT_GE(target.string().size(), 4070u);
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  model.dump(target.string());  // a new file
  const ino_t inode = stat_of(target).st_ino;
  model.dump(target.string());  // replaced, not written in place
  EXPECT_EQ(read_file(target), model_text());
  EXPECT_NE(stat_of(target).st_ino, inode);
}

// Set up by the unprivileged test run: a file of a third user in the root's
// sticky folder. Whether the kernel lets a creating open have it depends on
// fs.protected_regular; dump succeeds exactly where open(O_WRONLY|O_CREAT) does.
TEST(BM25Dump, RefusesWhatACreatingOpenRefuses) {
  const char* const path = std::getenv("DUREVARARE_THIRD_USER_FILE");
  if (path == nullptr) GTEST_SKIP() << "needs the fixture of the unprivileged run";
  const int fd = ::open(path, O_WRONLY | O_CREAT, 0666);
  const bool opens = fd >= 0;
  if (opens) ::close(fd);
  BM25 model(0.75, 1.2);
  EXPECT_EQ(dump_error(model, path), opens ? "" : "Failed to dump: Unable to open file");
}
