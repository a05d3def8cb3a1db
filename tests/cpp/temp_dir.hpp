#pragma once
// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes; and reading a file whole.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "durevarare-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { std::filesystem::remove_all(path_); }

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const char* name) const { return path_ / name; }

  // Writes `contents` to the file `name` in the folder and returns its path.
  std::string write(const char* name, const std::string& contents) const {
    std::ofstream(path_ / name, std::ios::binary) << contents;
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};
