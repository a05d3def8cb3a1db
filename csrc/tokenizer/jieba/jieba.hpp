#pragma once
// The segmenter behind the Python class Jieba: cppjieba's components built
// from five data files, offering mixed segmentation (`cut`) and search
// segmentation (`cut_for_search`), both with HMM recognition of unknown
// words. Read-only after construction, so any number of threads may cut at
// once. Unlike cppjieba's own front it has no default paths, and it checks
// the files first so that a bad file is an exception, not a process abort.

#include <string>
#include <unordered_set>
#include <vector>

#include "cppjieba/DictTrie.hpp"
#include "cppjieba/FullSegment.hpp"
#include "cppjieba/HMMModel.hpp"
#include "cppjieba/HMMSegment.hpp"
#include "cppjieba/KeywordExtractor.hpp"
#include "cppjieba/MPSegment.hpp"
#include "cppjieba/MixSegment.hpp"
#include "cppjieba/QuerySegment.hpp"
#include "data_files.hpp"

namespace vorn::typing::text::jieba {

using cppjieba::DictTrie;
using cppjieba::FullSegment;
using cppjieba::HMMModel;
using cppjieba::HMMSegment;
using cppjieba::KeywordExtractor;
using cppjieba::MixSegment;
using cppjieba::MPSegment;
using cppjieba::QuerySegment;

// Where a token lies in the sentence it was cut from, in bytes.
struct TokenSpan {
  std::size_t offset;
  std::size_t length;
};

class Jieba {
 public:
  // Throws DataFileError when a file cannot be opened or is malformed.
  Jieba(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path,
        const std::string& idf_path, const std::string& stop_word_path);
  Jieba(const Jieba&) = delete;  // the segmenters point into the trie and the model
  Jieba& operator=(const Jieba&) = delete;

  // Mixed segmentation: the tokens, joined, give the sentence back. Both cuts
  // throw std::length_error for a sentence of more than 4 GiB.
  std::vector<std::string> cut(const std::string& sentence) const;
  void cut(const std::string& sentence, std::vector<TokenSpan>& tokens) const;
  // Search segmentation: the mixed tokens, each long one preceded by the
  // shorter dictionary words inside it.
  std::vector<std::string> cut_for_search(const std::string& sentence) const;
  void cut_for_search(const std::string& sentence, std::vector<TokenSpan>& tokens) const;

 private:
  // Runs the file checks before any library component reads a file.
  struct CheckedFiles {
    CheckedFiles(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path,
                 const std::string& idf_path, const std::string& stop_word_path) {
      check_data_files(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path);
    }
  };

  CheckedFiles checked_;
  DictTrie dict_trie_;
  HMMModel model_;
  MPSegment mp_seg_;
  HMMSegment hmm_seg_;
  MixSegment mix_seg_;
  FullSegment full_seg_;
  QuerySegment query_seg_;
  KeywordExtractor extractor_;
  // The separators at which both segmentations split the sentence first
  // (space, tab, line feed, full-width comma and full stop).
  std::unordered_set<cppjieba::Rune> separators_;
};

}  // namespace vorn::typing::text::jieba
