// Folding traditional Chinese into simplified gives what OpenCC itself
// gives, reading the same dictionaries: OpenCC's converter, configured as
// its t2s with these text dictionaries, is the reference.

#include <gtest/gtest.h>

#include <opencc/SimpleConverter.hpp>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "search/fold.hpp"
#include "temp_dir.hpp"

namespace {

using vorn::typing::text::search::TraditionalToSimplified;

const std::string kPhrases = std::string(OPENCC_DICTIONARY_DIR) + "/TSPhrases.txt";
const std::string kCharacters = std::string(OPENCC_DICTIONARY_DIR) + "/TSCharacters.txt";

// OpenCC's t2s configuration, pointed at the text dictionaries.
std::string t2s_config(const TempDir& dir) {
  const std::string config = R"({
  "name": "t2s from text dictionaries",
  "segmentation": {"type": "mmseg", "dict": {"type": "text", "file": ")" + kPhrases + R"("}},
  "conversion_chain": [{"dict": {"type": "group", "dicts": [
    {"type": "text", "file": ")" + kPhrases + R"("},
    {"type": "text", "file": ")" + kCharacters + R"("}]}}]
})";
  return dir.write("t2s.json", config);
}

std::vector<std::string> keys_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> keys;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) keys.push_back(line.substr(0, line.find('\t')));
  }
  return keys;
}

std::string converted(const TraditionalToSimplified& converter, const std::string& text) {
  std::string out;
  converter.convert(text, out);
  return out;
}

// Texts made of dictionary keys (phrases overlapping, cut short, next to
// each other), other characters and ASCII, every way round.
TEST(Fold, GivesWhatOpenCCGivesWithTheSameDictionaries) {
  TempDir dir;
  const opencc::SimpleConverter reference(t2s_config(dir));
  const TraditionalToSimplified converter(kPhrases, kCharacters);
  const std::vector<std::string> phrases = keys_of(kPhrases), characters = keys_of(kCharacters);
  const std::vector<std::string> others = {"中", "文", "a", "1", "，", "。", " ", "\n", "😀", "ｆ", "é"};
  std::mt19937 random(3);
  for (int text = 0; text < 2000; ++text) {
    std::string sample;
    for (int piece = 0; piece < 12; ++piece) {
      const auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
      switch (random() % 4) {
        case 0: sample += pick(phrases); break;
        case 1: sample += pick(phrases).substr(0, 3); break;  // a phrase's first character alone
        case 2: sample += pick(characters); break;
        default: sample += pick(others); break;
      }
    }
    ASSERT_EQ(converted(converter, sample), reference.Convert(sample)) << sample;
  }
  EXPECT_EQ(converted(converter, "手機發票：一目瞭然"), "手机发票：一目了然");
}

TEST(Fold, RefusesDictionariesItCannotRead) {
  TempDir dir;
  EXPECT_THROW(TraditionalToSimplified((dir / "missing.txt").string(), kCharacters), std::runtime_error);
  const std::string two_characters = dir.write("bad.txt", "發票\t发票\n");
  EXPECT_THROW(TraditionalToSimplified(kPhrases, two_characters), std::runtime_error);
  const std::string no_value = dir.write("no-value.txt", "發\n");
  EXPECT_THROW(TraditionalToSimplified(kPhrases, no_value), std::runtime_error);
  // A lead byte at the end of a key would have the decoder read past it.
  for (const char* line : {"\xf0\t\xe5\x8f\x91\n", "\xe7\x99\xbc\xe7\xa5\xa8\xe0\t\xe5\x8f\x91\n"}) {
    const std::string broken = dir.write("broken.txt", line);
    EXPECT_THROW(TraditionalToSimplified(kPhrases, broken), std::runtime_error) << line;
    EXPECT_THROW(TraditionalToSimplified(broken, kCharacters), std::runtime_error) << line;
  }
}

}  // namespace
