#pragma once
// The segmenter behind the Python class Jieba: cppjieba's components built
// from five data files, offering mixed segmentation (`cut`) and search
// segmentation (`cut_for_search`), both with HMM recognition of unknown
// words, and the keyword extractor that cppjieba's front holds too.
// Read-only after construction, so any number of threads may cut at once.
// Unlike cppjieba's own front it has no default paths, and it checks the
// files first so that a bad file is an exception, not a process abort.

#include <string>
#include <vector>

#include "cppjieba/KeywordExtractor.hpp"
#include "data_files.hpp"
#include "segmenter.hpp"

namespace vorn::typing::text::jieba {

class Jieba {
 public:
  // Throws DataFileError when a file cannot be opened or is malformed.
  Jieba(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path,
        const std::string& idf_path, const std::string& stop_word_path);
  Jieba(const Jieba&) = delete;  // the extractor points into the segmenter
  Jieba& operator=(const Jieba&) = delete;

  // Mixed segmentation: the tokens, joined, give the sentence back. Both cuts
  // throw std::length_error for a sentence of more than 4 GiB.
  std::vector<std::string> cut(const std::string& sentence) const;
  void cut(const std::string& sentence, std::vector<TokenSpan>& tokens) const { segmenter_.cut(sentence, tokens); }
  // Search segmentation: the mixed tokens, each long one preceded by the
  // shorter dictionary words inside it.
  std::vector<std::string> cut_for_search(const std::string& sentence) const;
  void cut_for_search(const std::string& sentence, std::vector<TokenSpan>& tokens) const {
    segmenter_.cut_for_search(sentence, tokens);
  }

 private:
  // Runs the file checks, all five in the order the library reads them,
  // before any library component reads a file.
  struct CheckedFiles {
    CheckedFiles(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path,
                 const std::string& idf_path, const std::string& stop_word_path) {
      check_data_files(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path);
    }
  };

  CheckedFiles checked_;
  Segmenter segmenter_;
  cppjieba::KeywordExtractor extractor_;
};

}  // namespace vorn::typing::text::jieba
