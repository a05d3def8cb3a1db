#include "jieba.hpp"
#include "segmenter.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

namespace vorn::typing::text::jieba {

namespace {

std::unordered_set<cppjieba::Rune> separator_runes() {
  cppjieba::RuneStrArray runes;
  cppjieba::DecodeUTF8RunesInString(cppjieba::SPECIAL_SEPARATORS, runes);
  std::unordered_set<cppjieba::Rune> separators;
  for (const cppjieba::RuneStr& rune : runes) separators.insert(rune.rune);
  return separators;
}

// The library's own top-level cut, stopping at word ranges: split at the
// separators, segment each piece, and report where each token lies instead
// of copying it out.
template <class Segment>
void cut_spans(const Segment& segment, const std::unordered_set<cppjieba::Rune>& separators,
               const std::string& sentence, std::vector<TokenSpan>& tokens) {
  // The library keeps byte offsets in 32 bits; past 4 GiB they would wrap
  // and the spans would point outside the sentence.
  if (sentence.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("sentence longer than 4 GiB");
  }
  cppjieba::PreFilter pieces(separators, sentence);  // logs and yields nothing for invalid UTF-8
  std::vector<cppjieba::WordRange> ranges;
  ranges.reserve(sentence.size() / 2);
  while (pieces.HasNext()) {
    const cppjieba::PreFilter::Range piece = pieces.Next();
    segment.Cut(piece.begin, piece.end, ranges, true);
  }
  tokens.clear();
  tokens.reserve(ranges.size());
  for (const cppjieba::WordRange& range : ranges) {
    tokens.push_back({range.left->offset, range.right->offset + range.right->len - range.left->offset});
  }
}

std::vector<std::string> strings_of(const std::string& sentence, const std::vector<TokenSpan>& spans) {
  std::vector<std::string> tokens;
  tokens.reserve(spans.size());
  for (const TokenSpan& span : spans) tokens.emplace_back(sentence, span.offset, span.length);
  return tokens;
}

}  // namespace

Segmenter::Segmenter(bool check, const std::string& dict_path, const std::string& hmm_path,
                     const std::string& user_dict_path)
    : checked_(check, dict_path, hmm_path, user_dict_path),
      dict_trie_(dict_path, user_dict_path),
      model_(hmm_path),
      mix_seg_(&dict_trie_, &model_),
      query_seg_(&dict_trie_, &model_),
      separators_(separator_runes()) {}

void Segmenter::cut(const std::string& sentence, std::vector<TokenSpan>& tokens) const {
  cut_spans(mix_seg_, separators_, sentence, tokens);
}

void Segmenter::cut_for_search(const std::string& sentence, std::vector<TokenSpan>& tokens) const {
  cut_spans(query_seg_, separators_, sentence, tokens);
}

Jieba::Jieba(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path,
             const std::string& idf_path, const std::string& stop_word_path)
    : checked_(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path),
      segmenter_(false, dict_path, hmm_path, user_dict_path),
      extractor_(&segmenter_.trie(), &segmenter_.model(), idf_path, stop_word_path) {}

std::vector<std::string> Jieba::cut(const std::string& sentence) const {
  std::vector<TokenSpan> spans;
  cut(sentence, spans);
  return strings_of(sentence, spans);
}

std::vector<std::string> Jieba::cut_for_search(const std::string& sentence) const {
  std::vector<TokenSpan> spans;
  cut_for_search(sentence, spans);
  return strings_of(sentence, spans);
}

}  // namespace vorn::typing::text::jieba
