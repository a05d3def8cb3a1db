#pragma once
// The cutting half of the segmenter: cppjieba's dictionary trie and HMM
// model with its mixed segmentation (`cut`) and its search segmentation
// (`cut_for_search`), built from the main dictionary, the HMM model and any
// user dictionaries. Read-only after construction, so any number of threads
// may cut at once. It checks the files first, so that a bad file is an
// exception, not a process abort.

#include <string>
#include <unordered_set>
#include <vector>

#include "cppjieba/DictTrie.hpp"
#include "cppjieba/HMMModel.hpp"
#include "cppjieba/MixSegment.hpp"
#include "cppjieba/QuerySegment.hpp"
#include "data_files.hpp"

namespace vorn::typing::text::jieba {

// Where a token lies in the sentence it was cut from, in bytes.
struct TokenSpan {
  std::size_t offset;
  std::size_t length;
};

class Segmenter {
 public:
  // Throws DataFileError when a file cannot be opened or is malformed;
  // `user_dict_path` may be "" or several paths joined by '|' or ';'.
  Segmenter(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path)
      : Segmenter(true, dict_path, hmm_path, user_dict_path) {}
  Segmenter(const Segmenter&) = delete;  // the segmentations point into the trie and the model
  Segmenter& operator=(const Segmenter&) = delete;

  // Mixed segmentation: the tokens, joined, give the sentence back. Both cuts
  // throw std::length_error for a sentence of more than 4 GiB.
  void cut(const std::string& sentence, std::vector<TokenSpan>& tokens) const;
  // Search segmentation: the mixed tokens, each long one preceded by the
  // shorter dictionary words inside it.
  void cut_for_search(const std::string& sentence, std::vector<TokenSpan>& tokens) const;

  const cppjieba::DictTrie& trie() const noexcept { return dict_trie_; }
  const cppjieba::HMMModel& model() const noexcept { return model_; }

 private:
  friend class Jieba;  // which checks all its files itself, first
  Segmenter(bool check, const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path);

  struct CheckedFiles {
    CheckedFiles(bool check, const std::string& dict_path, const std::string& hmm_path,
                 const std::string& user_dict_path) {
      if (check) check_segmenter_files(dict_path, hmm_path, user_dict_path);
    }
  };

  CheckedFiles checked_;
  cppjieba::DictTrie dict_trie_;
  cppjieba::HMMModel model_;
  cppjieba::MixSegment mix_seg_;
  cppjieba::QuerySegment query_seg_;
  // The separators at which both segmentations split the sentence first
  // (space, tab, line feed, full-width comma and full stop).
  std::unordered_set<cppjieba::Rune> separators_;
};

}  // namespace vorn::typing::text::jieba
