#include "data_files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cppjieba/Unicode.hpp"
#include "limonp/StringUtil.hpp"

namespace vorn::typing::text::jieba {

namespace {

constexpr std::size_t kDictionaryColumns = 3;  // word, frequency, part-of-speech tag
constexpr std::size_t kHmmStates = 4;          // B, E, M, S

std::ifstream open_or_throw(const std::string& path, const char* role) {
  // The library reads each file again after this check, and ends the process
  // on a file it finds empty or malformed: a pipe or a device, which reads
  // differently (or never ends), is refused before anything reads it.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    if (S_ISDIR(info.st_mode)) throw DataFileError(std::string("cannot open the ") + role, path, EISDIR);
    throw DataFileError(std::string(role) + " '" + path + "': not a regular file", path, 0);
  }
  errno = 0;
  std::ifstream in(path.c_str());
  if (!in.is_open()) {
    const int error_number = errno != 0 ? errno : ENOENT;
    throw DataFileError(std::string("cannot open the ") + role, path, error_number);
  }
  return in;
}

[[noreturn]] void malformed(const char* role, const std::string& path, const std::string& what) {
  throw DataFileError(std::string(role) + " '" + path + "': " + what, path, 0);
}

void check_main_dictionary(const std::string& path) {
  std::ifstream in = open_or_throw(path, "main dictionary");
  std::string line;
  std::vector<std::string> fields;
  std::size_t line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    limonp::Split(line, fields, " ");
    if (fields.size() != kDictionaryColumns) {
      malformed("main dictionary", path,
                "line " + std::to_string(line_number) + " has " + std::to_string(fields.size()) +
                    " fields; each line must be 'word frequency tag', separated by single spaces");
    }
  }
  if (line_number == 0) malformed("main dictionary", path, "it holds no entries");
}

// The library's reading of the model: the next line that is neither empty
// nor a comment, trimmed.
bool next_model_line(std::ifstream& in, std::string& line) {
  while (std::getline(in, line)) {
    limonp::Trim(line);
    if (line.empty() || limonp::StartsWith(line, "#")) continue;
    return true;
  }
  return false;
}

void check_hmm_model(const std::string& path) {
  std::ifstream in = open_or_throw(path, "HMM model");
  std::string line;
  std::vector<std::string> fields;
  const auto require_line = [&](const std::string& what) {
    if (!next_model_line(in, line)) malformed("HMM model", path, "the file ends before the " + what);
  };
  require_line("start probabilities");
  limonp::Split(line, fields, " ");
  if (fields.size() != kHmmStates) malformed("HMM model", path, "the start probabilities line does not hold 4 numbers");
  for (std::size_t state = 0; state < kHmmStates; ++state) {
    require_line("transition probabilities");
    limonp::Split(line, fields, " ");
    if (fields.size() != kHmmStates) {
      malformed("HMM model", path, "a transition probabilities line does not hold 4 numbers");
    }
  }
  for (const char* state : {"B", "E", "M", "S"}) {
    const std::string what = std::string("emission probabilities of state ") + state;
    require_line(what);
    std::vector<std::string> pair;
    limonp::Split(line, fields, ",");
    for (const std::string& item : fields) {
      limonp::Split(item, pair, ":");
      cppjieba::Unicode character;
      if (pair.size() != 2 || !cppjieba::DecodeUTF8RunesInString(pair[0], character) || character.size() != 1) {
        malformed("HMM model", path, "the " + what + " line is malformed near '" + item + "'");
      }
    }
  }
}

}  // namespace

void check_data_files(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path,
                      const std::string& idf_path, const std::string& stop_word_path) {
  for (const std::string* path : {&idf_path, &stop_word_path}) {
    if (path->find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
  }
  check_segmenter_files(dict_path, hmm_path, user_dict_path);
  open_or_throw(idf_path, "IDF table");
  open_or_throw(stop_word_path, "stop word list");
}

void check_segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                           const std::string& user_dict_path) {
  // A C path ends at its first NUL, so such a path would name another file.
  for (const std::string* path : {&dict_path, &hmm_path, &user_dict_path}) {
    if (path->find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
  }
  check_main_dictionary(dict_path);
  if (!user_dict_path.empty()) {
    for (const std::string& path : limonp::Split(user_dict_path, "|;")) open_or_throw(path, "user dictionary");
  }
  check_hmm_model(hmm_path);
}

}  // namespace vorn::typing::text::jieba
