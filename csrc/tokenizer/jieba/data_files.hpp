#pragma once
// Checks of the segmenter's five data files, made before the segmentation
// library reads them. The library ends the process on every defect it rates
// fatal (a file that cannot be opened, a malformed main dictionary or HMM
// model); each such defect is found here first, reading the files the way
// the library does, and reported as an exception naming the file.

#include <stdexcept>
#include <string>

namespace vorn::typing::text::jieba {

// A data file that cannot be used. `error_number` is the errno of a failed
// open, or 0 when the file opened but its content is malformed.
class DataFileError : public std::runtime_error {
 public:
  DataFileError(const std::string& message, std::string path, int error_number)
      : std::runtime_error(message), path_(std::move(path)), error_number_(error_number) {}
  const std::string& path() const noexcept { return path_; }
  int error_number() const noexcept { return error_number_; }

 private:
  std::string path_;
  int error_number_;
};

// Throws DataFileError for the first fatal defect, in the order the library
// reads the files: main dictionary, user dictionaries ("" for none, else
// paths separated by '|' or ';'), HMM model, IDF table, stop words. A path
// holding a NUL byte throws std::invalid_argument "embedded null byte".
void check_data_files(const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path,
                      const std::string& idf_path, const std::string& stop_word_path);
// The same for the three files that cutting needs.
void check_segmenter_files(const std::string& dict_path, const std::string& hmm_path,
                           const std::string& user_dict_path);

}  // namespace vorn::typing::text::jieba
