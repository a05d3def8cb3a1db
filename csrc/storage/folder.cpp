#include "folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vorn::typing::text::search::storage {

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

int Descriptor::release() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void fail(const std::string& what, const std::string& name, int error) {
  throw std::system_error(error, std::generic_category(), what + " " + name);
}

Folder::Folder(const std::string& path, bool create, FaultSeam seam) : path_(path), seam_(std::move(seam)) {
  if (create && ::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot create the folder", path, errno);
  folder_ = Descriptor(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder_) fail("cannot open the folder", path, errno);
}

bool Folder::exists(const std::string& name) const {
  struct stat info;
  return ::fstatat(folder_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

Descriptor Folder::open_for_reading(const std::string& name) const {
  Descriptor file(::openat(folder_.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!file) fail("cannot open", file_name(name), errno);
  struct stat info;
  if (::fstat(file.get(), &info) != 0) fail("cannot read", file_name(name), errno);
  if (!S_ISREG(info.st_mode)) fail("not a regular file:", file_name(name), EINVAL);
  return file;
}

std::string Folder::read(const std::string& name) const { return read_from(open_for_reading(name), file_name(name), 0); }

Descriptor Folder::open_for_writing(const std::string& name) const {
  Descriptor file(::openat(folder_.get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file) fail("cannot open", file_name(name), errno);
  return file;
}

std::uint64_t Folder::inode(const std::string& name) const {
  struct stat info;
  return ::fstatat(folder_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ? static_cast<std::uint64_t>(info.st_ino) : 0;
}

// At an offset rather than appended: a write that failed part way is
// written over by the next try, never left between two good ones.
void Folder::write_at(const Descriptor& file, const std::string& name, std::uint64_t offset, std::string_view data) const {
  step("write", name);
  while (!data.empty()) {
    const ssize_t written = ::pwrite(file.get(), data.data(), data.size(), static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("cannot write", file_name(name), errno);
    }
    data.remove_prefix(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
}

void Folder::flush(const Descriptor& file, const std::string& name) const {
  step("flush", name);
  if (::fdatasync(file.get()) != 0) fail("cannot flush", file_name(name), errno);
}

void Folder::truncate(const Descriptor& file, const std::string& name, std::uint64_t size) const {
  step("truncate", name);
  if (::ftruncate(file.get(), static_cast<off_t>(size)) != 0) fail("cannot truncate", file_name(name), errno);
}

void Folder::flush_folder() const {
  step("flush", ".");
  if (::fsync(folder_.get()) != 0) fail("cannot flush the folder", path_, errno);
}

void Folder::replace(const std::string& name, std::string_view contents) const {
  const std::string temporary = ".new-" + name + "-" + std::to_string(::getpid());
  ::unlinkat(folder_.get(), temporary.c_str(), 0);  // one a killed process of this pid left
  Descriptor file(::openat(folder_.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file) fail("cannot create", file_name(temporary), errno);
  try {
    write_at(file, temporary, 0, contents);
    flush(file, temporary);
    step("rename", name);
    if (::renameat(folder_.get(), temporary.c_str(), folder_.get(), name.c_str()) != 0) {
      fail("cannot rename into", file_name(name), errno);
    }
  } catch (...) {
    ::unlinkat(folder_.get(), temporary.c_str(), 0);
    throw;
  }
  flush_folder();
}

void Folder::remove(const std::string& name) const {
  step("remove", name);
  if (::unlinkat(folder_.get(), name.c_str(), 0) != 0 && errno != ENOENT) fail("cannot remove", file_name(name), errno);
}

std::vector<std::string> Folder::names() const {
  const int fd = ::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail("cannot list", path_, errno);
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    const int error = errno;
    ::close(fd);
    fail("cannot list", path_, error);
  }
  std::vector<std::string> out;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  ::closedir(listing);
  return out;
}

std::uint64_t file_size(const Descriptor& file, const std::string& name) {
  struct stat info;
  if (::fstat(file.get(), &info) != 0) fail("cannot read", name, errno);
  return static_cast<std::uint64_t>(info.st_size);
}

std::string read_from(const Descriptor& file, const std::string& name, std::uint64_t offset) {
  const std::uint64_t size = file_size(file, name);
  std::string out;
  if (size <= offset) return out;
  out.resize(static_cast<std::size_t>(size - offset));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::pread(file.get(), &out[done], out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("cannot read", name, errno);
    }
    if (got == 0) break;  // shortened meanwhile
    done += static_cast<std::size_t>(got);
  }
  out.resize(done);
  return out;
}

}  // namespace vorn::typing::text::search::storage
