#pragma once
// The files of an index folder, reached through the folder held open: whole
// reads, appends, and new files made durable (written, flushed, renamed into
// place, the folder flushed), with a seam at every step for tests of faults.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::typing::text::search::storage {

// An open descriptor, closed with its owner.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor();
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept;

 private:
  int fd_ = -1;
};

// Called before each step that changes the disk, with its name ("write",
// "flush", "rename", "remove", "truncate") and the file's; a test throws
// from it to stand for a failure or a crash at that step.
using FaultSeam = std::function<void(const char* step, const std::string& name)>;

// A system call's failure, naming the file.
[[noreturn]] void fail(const std::string& what, const std::string& name, int error);

class Folder {
 public:
  // Opens (and, when asked, first creates) a folder; std::system_error naming it.
  Folder(const std::string& path, bool create, FaultSeam seam = {});

  const std::string& path() const noexcept { return path_; }
  std::string file_name(const std::string& name) const { return path_ + "/" + name; }

  bool exists(const std::string& name) const;
  // The whole of a regular file; std::system_error when it cannot be read.
  std::string read(const std::string& name) const;
  // Opens a file for reading (nonblocking, never a FIFO's wait).
  Descriptor open_for_reading(const std::string& name) const;
  // Opens (creating when missing) a file for writing.
  Descriptor open_for_writing(const std::string& name) const;
  // The inode number of a file, 0 when there is none.
  std::uint64_t inode(const std::string& name) const;
  // Makes `name` hold exactly `contents`, durably and whole: a crash at any
  // point leaves either the old file or the new one.
  void replace(const std::string& name, std::string_view contents) const;
  void remove(const std::string& name) const;
  std::vector<std::string> names() const;
  // Writes all of `data` at `offset`.
  void write_at(const Descriptor& file, const std::string& name, std::uint64_t offset, std::string_view data) const;
  // Flushes a file's data to the disk.
  void flush(const Descriptor& file, const std::string& name) const;
  void truncate(const Descriptor& file, const std::string& name, std::uint64_t size) const;
  void flush_folder() const;

 private:
  void step(const char* what, const std::string& name) const {
    if (seam_) seam_(what, name);
  }
  std::string path_;
  Descriptor folder_;
  FaultSeam seam_;
};

// The bytes of an open file from `offset` to its end.
std::string read_from(const Descriptor& file, const std::string& name, std::uint64_t offset);
std::uint64_t file_size(const Descriptor& file, const std::string& name);

}  // namespace vorn::typing::text::search::storage
