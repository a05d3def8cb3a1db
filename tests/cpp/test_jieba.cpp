#include "tokenizer/jieba/jieba.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.hpp"

namespace fs = std::filesystem;
using vorn::typing::text::jieba::DataFileError;
using vorn::typing::text::jieba::Jieba;

namespace {

const fs::path kDict = CPPJIEBA_DICT_DIR;

struct Paths {
  std::string dict = (kDict / "jieba.dict.utf8").string();
  std::string hmm = (kDict / "hmm_model.utf8").string();
  std::string user = "";
  std::string idf = (kDict / "idf.utf8").string();
  std::string stop = (kDict / "stop_words.utf8").string();
};

std::unique_ptr<Jieba> make(const Paths& p) {
  return std::make_unique<Jieba>(p.dict, p.hmm, p.user, p.idf, p.stop);
}

const Jieba& shared_segmenter() {
  static const std::unique_ptr<Jieba> segmenter = make(Paths{});
  return *segmenter;
}

std::string joined(const std::vector<std::string>& tokens) {
  return std::accumulate(tokens.begin(), tokens.end(), std::string());
}

}  // namespace

TEST(Jieba, MixedSegmentationPartitionsTheSentence) {
  const std::string sentence = "我来到北京清华大学，他来到了网易杭研大厦。 hello\tworld\n";
  const auto tokens = shared_segmenter().cut(sentence);
  EXPECT_EQ(joined(tokens), sentence);
  EXPECT_EQ(tokens.front(), "我");
  EXPECT_NE(std::find(tokens.begin(), tokens.end(), "清华大学"), tokens.end());
  for (const char* separator : {"，", "。", " ", "\t", "\n"}) {
    EXPECT_NE(std::find(tokens.begin(), tokens.end(), separator), tokens.end()) << separator;
  }
}

TEST(Jieba, SearchSegmentationAddsShorterWordsBeforeLongOnes) {
  const auto tokens = shared_segmenter().cut_for_search("中国科学院");
  EXPECT_EQ(tokens, (std::vector<std::string>{"中国", "科学", "学院", "科学院", "中国科学院"}));
}

TEST(Jieba, InvalidUtf8AndEmptyGiveNothing) {
  EXPECT_TRUE(shared_segmenter().cut("").empty());
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(shared_segmenter().cut("\xff\xfe").empty());
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("ERROR"), std::string::npos);
}

struct BadFiles {
  const char* name;
  std::string dict, hmm;
  bool open_error;
  const char* mentions;
};

std::ostream& operator<<(std::ostream& out, const BadFiles& c) { return out << c.name; }

class JiebaDataFiles : public ::testing::TestWithParam<BadFiles> {};

TEST_P(JiebaDataFiles, FatalConditionsThrowNamingTheFile) {
  const BadFiles& c = GetParam();
  TempDir dir;
  Paths paths;
  if (!c.dict.empty()) paths.dict = c.dict == "-" ? (kDict / "missing").string() : dir.write("dict", c.dict);
  if (!c.hmm.empty()) paths.hmm = c.hmm == "-" ? (kDict / "missing").string() : dir.write("hmm", c.hmm);
  try {
    make(paths);
    ADD_FAILURE() << "constructed";
  } catch (const DataFileError& e) {
    EXPECT_EQ(e.error_number() != 0, c.open_error);
    const std::string& path = c.dict.empty() ? paths.hmm : paths.dict;
    EXPECT_EQ(e.path(), path);
    if (!c.open_error) EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
  }
}

const std::string kGoodHmmHead = "0 0 0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n";

INSTANTIATE_TEST_SUITE_P(
    Table, JiebaDataFiles,
    ::testing::Values(BadFiles{"dict_missing", "-", "", true, "main dictionary"},
                      BadFiles{"dict_empty", "\n", "", false, "line 1 has 0 fields"},
                      BadFiles{"dict_two_fields", "a 1 n\nb 2\n", "", false, "line 2 has 2 fields"},
                      BadFiles{"dict_double_space", "a  1 n\n", "", false, "line 1 has 4 fields"},
                      BadFiles{"hmm_missing", "", "-", true, "HMM model"},
                      BadFiles{"hmm_short", "", "# only a comment\n0 0 0 0\n", false, "transition"},
                      BadFiles{"hmm_three_starts", "", "0 0 0\n", false, "start probabilities line"},
                      BadFiles{"hmm_bad_emission", "", kGoodHmmHead + "a:1,b\n", false, "state B"},
                      BadFiles{"hmm_two_chars", "", kGoodHmmHead + "ab:1\n", false, "state B"},
                      BadFiles{"hmm_missing_s", "", kGoodHmmHead + "a:1\nb:1\nc:1\n", false, "state S"}));

TEST(JiebaDataFilesExtra, NoEntriesAndUserDictionariesAndEmptyPaths) {
  TempDir dir;
  Paths paths;
  paths.dict = dir.write("empty", "");
  try {
    make(paths);
    ADD_FAILURE();
  } catch (const DataFileError& e) {
    EXPECT_NE(std::string(e.what()).find("no entries"), std::string::npos);
  }
  for (const std::string user : {std::string("x;") + (kDict / "nope").string(), std::string(";"), std::string("|a")}) {
    Paths with_user;
    with_user.user = user;
    EXPECT_THROW(make(with_user), DataFileError) << user;
  }
  for (std::string Paths::*field : {&Paths::dict, &Paths::hmm, &Paths::idf, &Paths::stop}) {
    Paths empty;
    empty.*field = "";
    try {
      make(empty);
      ADD_FAILURE();
    } catch (const DataFileError& e) {
      EXPECT_EQ(e.error_number(), ENOENT);
    }
  }
}

TEST(Jieba, UserDictionaryChangesTheCut) {
  TempDir dir;
  Paths paths;
  const std::string sentence = "杭研大厦";
  const auto plain = make(paths)->cut(sentence);
  paths.user = dir.write("u1", "杭研大厦\n") + ";" + dir.write("u2", "大厦 5 n\n");
  const auto with_user = make(paths)->cut(sentence);
  EXPECT_EQ(with_user, std::vector<std::string>{"杭研大厦"});
  EXPECT_NE(plain, with_user);
}

TEST(Jieba, ThreadsSharingOneInstanceGetTheSerialResults) {
  const Jieba& segmenter = shared_segmenter();
  std::vector<std::string> sentences;
  std::string long_line;
  for (int i = 0; i < 200; ++i) {
    sentences.push_back("第" + std::to_string(i) + "次，我来到北京清华大学和中国科学院计算所。mixed text " +
                        std::to_string(i * 7));
    long_line += sentences.back();
  }
  sentences.push_back(long_line);  // several kilobytes on one line
  std::vector<std::vector<std::string>> serial;
  for (const auto& sentence : sentences) {
    serial.push_back(segmenter.cut(sentence));
    serial.push_back(segmenter.cut_for_search(sentence));
  }
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < sentences.size(); ++i) {
          if (segmenter.cut(sentences[i]) != serial[2 * i]) ++mismatches[t];
          if (segmenter.cut_for_search(sentences[i]) != serial[2 * i + 1]) ++mismatches[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::accumulate(mismatches.begin(), mismatches.end(), 0), 0);
}
