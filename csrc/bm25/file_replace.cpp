#include "file_replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <utility>

namespace vorn::typing::text {

namespace {

// Owns a file descriptor; closing is explicit where its result matters.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  bool close() noexcept {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Follows symbolic links to the file they name (which need not exist yet).
std::string resolve_links(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return path;
    target.resize(static_cast<std::size_t>(length));
    if (target.front() == '/') {
      path = std::move(target);
    } else {
      const std::size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
  }
  return path;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

WriteOutcome write_in_place(const std::string& path, std::string_view contents) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (!file.valid()) return WriteOutcome::OpenFailed;
  if (!write_all(file.get(), contents)) return WriteOutcome::WriteFailed;
  return file.close() ? WriteOutcome::Written : WriteOutcome::WriteFailed;
}

}  // namespace

WriteOutcome replace_file_contents(const std::string& requested, std::string_view contents) {
  if (requested.empty()) return WriteOutcome::OpenFailed;
  const std::string path = resolve_links(requested);
  struct stat existing {};
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) return write_in_place(path, contents);
  // A file that could not be opened for writing is not replaced either:
  // a read-only model file stays as it is.
  if (exists && ::access(path.c_str(), W_OK) != 0) return WriteOutcome::OpenFailed;

  // A new file gets 0666 less the umask, as opening it directly would give.
  const std::string folder = folder_of(path);
  std::random_device entropy;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "/.durevarare-%08x%08x.tmp", entropy(), entropy());
    temporary = folder + name;
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  FileDescriptor file(fd);
  if (!file.valid()) return WriteOutcome::OpenFailed;

  const bool written = (!exists || ::fchmod(file.get(), existing.st_mode & 07777) == 0) &&
                       write_all(file.get(), contents) && ::fsync(file.get()) == 0;
  if (!file.close() || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return WriteOutcome::WriteFailed;
  }
  return WriteOutcome::Written;
}

}  // namespace vorn::typing::text
