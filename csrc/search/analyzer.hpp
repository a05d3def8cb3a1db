#pragma once
// The rules that turn a text into the words an index keeps, one set for
// documents and queries alike: NFKC and case folding, traditional Chinese
// folded into simplified, the text split at punctuation and symbols the
// segmenter does not split at, each run cut (for search, or mixed for
// queries if asked), then tokens without a letter or digit dropped, codes
// of ASCII letters and digits kept whole, split where the two meet, or
// both, and stop words (compared in simplified form) dropped, though never
// a number, also from the end of words the segmenter made up.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fold.hpp"
#include "key_table.hpp"
#include "normalizer.hpp"
#include "tokenizer/jieba/segmenter.hpp"

namespace vorn::typing::text::search {

enum class Cut { Search, Mixed };
// What becomes of an ASCII token of letters and digits, such as iphone15:
// its runs (iphone, 15), itself, or both.
enum class LettersDigits { Split, Keep, Both };

struct AnalyzerSettings {
  bool normalize = true;
  bool fold_traditional = true;
  bool split_punctuation = true;
  LettersDigits letters_digits = LettersDigits::Split;
  bool drop_non_words = true;
  Cut query_cut = Cut::Search;
  std::vector<std::string> stop_words;
  Cut document_cut = Cut::Search;
};

class Analyzer {
 public:
  Analyzer(AnalyzerSettings settings, std::shared_ptr<const jieba::Segmenter> segmenter,
           std::shared_ptr<const TraditionalToSimplified> converter, std::shared_ptr<const Normalizer> normalizer);

  std::vector<std::string> document_words(std::string_view text) const { return words(text, settings_.document_cut); }
  std::vector<std::string> query_words(std::string_view text) const { return words(text, settings_.query_cut); }
  // The document words of every text, on up to `threads` threads.
  std::vector<std::vector<std::string>> document_words(const std::vector<std::string>& texts, unsigned threads) const;

  const AnalyzerSettings& settings() const noexcept { return settings_; }
  // The text as the segmenter gets it: normalised, folded, split.
  std::string prepared(std::string_view text) const {
    Scratch scratch;
    prepare(text, scratch);
    return std::move(scratch.text);
  }

 private:
  // Buffers that one thread reuses from text to text.
  struct Scratch {
    std::string text, next;
    std::vector<jieba::TokenSpan> spans;
  };
  std::vector<std::string> words(std::string_view text, Cut cut, Scratch& scratch) const;
  std::vector<std::string> words(std::string_view text, Cut cut) const {
    Scratch scratch;
    return words(text, cut, scratch);
  }
  // The text as the segmenter gets it, in scratch.text: normalised, folded, split.
  void prepare(std::string_view text, Scratch& scratch) const;
  void add_words_of(std::string_view token, std::vector<std::string>& out, Scratch& scratch) const;
  bool stop_word(std::string_view token, Scratch& scratch) const;
  bool has_letter_or_number(std::string_view token) const noexcept;

  AnalyzerSettings settings_;
  std::shared_ptr<const jieba::Segmenter> segmenter_;
  std::shared_ptr<const TraditionalToSimplified> converter_;
  std::shared_ptr<const Normalizer> normalizer_;
  KeyTable stop_words_;  // in simplified form
  // What the rules need to know of each code point below kTable.
  static constexpr char32_t kTable = 0x30000;
  // Besides, in simplified form: a stop word of one character, and the first
  // character of a longer one.
  static constexpr std::uint8_t kSeparator = 1, kLetterOrNumber = 2, kStopWord = 4, kStartsStopWord = 8;
  // The kind bits of a character that no stop word changes.
  static std::uint8_t kind_of(char32_t point) noexcept;
  std::vector<std::uint8_t> kinds_;
  std::uint8_t kind(char32_t point) const noexcept;
};

}  // namespace vorn::typing::text::search
