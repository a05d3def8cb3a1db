#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "bm25/bm25.hpp"
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

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

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
  std::int32_t doc_count;
  double average, b, k1;
  std::int32_t frequency_a;  // -1: absent
};

std::ostream& operator<<(std::ostream& out, const FailingLoad& c) { return out << c.name; }

class BM25LoadFailure : public ::testing::TestWithParam<FailingLoad> {};

TEST_P(BM25LoadFailure, AssignsThenChecksInOrder) {
  const FailingLoad& c = GetParam();
  BM25 model(0.5, 2.0);
  model.train(Strings{"q"});
  EXPECT_EQ(load_error(model, c.text), c.message);
  EXPECT_EQ(model.doc_count(), c.doc_count);
  EXPECT_EQ(model.doc_length_average(), c.average);
  EXPECT_EQ(model.b(), c.b);
  EXPECT_EQ(model.k1(), c.k1);
  EXPECT_EQ(frequency(model, "a"), c.frequency_a);
  EXPECT_EQ(frequency(model, "q"), 1);  // never cleared
}

INSTANTIATE_TEST_SUITE_P(
    Table, BM25LoadFailure,
    ::testing::Values(
        FailingLoad{"empty", "", "json data should not be empty", 1, 1.0, 0.5, 2.0, -1},
        FailingLoad{"empty_object", "{}", "load doc_count failed", 0, 1.0, 0.5, 2.0, -1},
        FailingLoad{"not_json", "hello", "load doc_count failed", 0, 1.0, 0.5, 2.0, -1},
        FailingLoad{"bad_token", R"({"_doc_token_frequency": {"a": 1, "b": 1.5, "c": 3}})",
                    "load doc_token_frequency failed", 1, 1.0, 0.5, 2.0, 1},
        FailingLoad{"real_count", R"({"_doc_count": 2.0, "_doc_token_frequency": {"a": 4}})", "load doc_count failed",
                    0, 1.0, 0.5, 2.0, 4},
        FailingLoad{"missing_average", R"({"_doc_count": 3})", "load doc_length_average failed", 3, 0.0, 0.5, 2.0,
                    -1},
        FailingLoad{"integer_b", R"({"_doc_count": 3, "_doc_length_average": 2.5, "_b": 1})", "load b failed", 3, 2.5,
                    0.0, 2.0, -1},
        FailingLoad{"integer_k1", R"({"_doc_count": 3, "_doc_length_average": 2.5, "_b": 0.1, "_k1": 1})",
                    "load k1 failed", 3, 2.5, 0.1, 0.0, -1}));

TEST(BM25Load, FrequencyArrayOrMissingIsSkipped) {
  BM25 model(0.75, 1.2);
  model.load(R"({"_doc_count": 2, "_doc_length_average": 1.5, "_b": 0.5, "_k1": 1.0, "_doc_token_frequency": [1]})");
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_TRUE(model.doc_token_frequency().empty());
  EXPECT_EQ(model.doc_length_total(), 3);
}

TEST(BM25Load, ParserExceptionsPassThroughBeforeAnyChange) {
  BM25 model(0.75, 1.2);
  EXPECT_THROW(model.load(R"({"_doc_count": 99999999999})"), std::out_of_range);
  EXPECT_THROW(model.load(R"({"_doc_count": -})"), std::invalid_argument);
  EXPECT_EQ(model.doc_count(), 0);
}

TEST(BM25Load, CountsSaturateInsteadOfOverflowing) {
  BM25 model(0.75, 1.2);
  model.load(R"({"_b": 0.75, "_doc_count": 2147483647, "_doc_length_average": 1.000000,
                 "_doc_token_frequency": {"a": 2147483647, "n": -2147483648}, "_k1": 1.200000})");
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

TEST(BM25Dump, FailuresAreReportedAndKeepTheOldFile) {
  TempDir dir;
  BM25 model(0.75, 1.2);
  model.train(Strings{"a"});
  try {
    model.dump((dir / "missing" / "m.json").string());
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to dump: Unable to open file");
  }
  EXPECT_THROW(model.dump(""), std::runtime_error);
  EXPECT_THROW(model.dump(dir.path().string()), std::runtime_error);  // a folder
  if (fs::exists("/dev/full")) {
    try {
      model.dump("/dev/full");
      ADD_FAILURE();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Failed to dump: Unable to write file");
    }
  }
  model.dump("/dev/null");
  // Nothing but the target is left in the folder.
  model.dump((dir / "m.json").string());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
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
