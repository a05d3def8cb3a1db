#include "file_replace.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>

namespace vorn::typing::text {

namespace {

// Calls `call` again for as long as a signal interrupts it.
template <class Call>
auto retrying(Call call) {
  auto result = call();
  while (result == -1 && errno == EINTR) result = call();
  return result;
}

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
  // Not retried on EINTR: Linux releases the descriptor whatever close returns.
  bool close() noexcept { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

int open_retrying(const std::string& path, int flags, mode_t mode = 0) {
  return retrying([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
}

bool write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t written = retrying([&] { return ::write(fd, data.data(), data.size()); });
    if (written < 0) return false;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool flush(int fd) noexcept { return retrying([fd] { return ::fsync(fd); }) == 0; }

// Follows symbolic links to the name of the file they lead to (which need
// not exist yet); nothing when they go round in a loop.
std::optional<std::string> resolve_links(std::string path) {
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return std::nullopt;
    target.resize(static_cast<std::size_t>(length));
    if (target.front() == '/') {
      path = std::move(target);
    } else {
      const std::size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
    }
  }
  return std::nullopt;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A file of a fresh random name in `folder`, created with `mode` (which the
// umask reduces); the name is stored in `name`.
FileDescriptor create_temporary(const std::string& folder, mode_t mode, std::string& name) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
      random = static_cast<std::uint64_t>(::getpid()) * 0x9e3779b97f4a7c15ULL + static_cast<std::uint64_t>(attempt);
    }
    char leaf[64];
    std::snprintf(leaf, sizeof leaf, "/.durevarare-%016" PRIx64 ".tmp", random);
    name = folder + leaf;
    const int fd = open_retrying(name, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd >= 0 || errno != EEXIST) return FileDescriptor(fd);
  }
  return FileDescriptor(-1);
}

enum class Commit { Done, WriteFailed, RenameRefused };

// Writes, flushes and closes the temporary file and renames it to `path`,
// then flushes the folder so that the new name survives a crash. On failure
// the temporary file is removed.
Commit commit(FileDescriptor& file, const std::string& temporary, const std::string& path,
              std::string_view contents) {
  const bool written = write_all(file.get(), contents) && flush(file.get());
  if (!file.close() || !written) {
    ::unlink(temporary.c_str());
    return Commit::WriteFailed;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    // A sticky folder refuses to replace another user's file; a mount point cannot be replaced.
    const bool refused = errno == EPERM || errno == EACCES || errno == EBUSY;
    ::unlink(temporary.c_str());
    return refused ? Commit::RenameRefused : Commit::WriteFailed;
  }
  FileDescriptor folder(open_retrying(folder_of(path), O_RDONLY | O_DIRECTORY));
  if (folder.valid()) flush(folder.get());  // some file systems cannot flush folders; the rename is done anyway
  return Commit::Done;
}

// A new file at `path`: through a temporary file too, so that no reader
// ever sees it half written. It gets 0666 less the umask, as opening would give.
WriteOutcome create_file(const std::string& path, std::string_view contents) {
  std::string temporary;
  FileDescriptor file = create_temporary(folder_of(path), 0666, temporary);
  if (!file.valid()) return WriteOutcome::OpenFailed;
  return commit(file, temporary, path, contents) == Commit::Done ? WriteOutcome::Written : WriteOutcome::WriteFailed;
}

enum class Replacement { Done, Failed, NotFaithful };

// Replaces the regular file `path`, described by `existing`, with a new file
// of the same owner, group and mode; NotFaithful, with nothing changed, when
// a new file cannot take its place.
Replacement replace_file(const std::string& path, const struct stat& existing, std::string_view contents) {
  std::string temporary;
  FileDescriptor file = create_temporary(folder_of(path), 0600, temporary);
  if (!file.valid()) {
    // Out of room for another file: writing in place would lose the old
    // text if the new one did not fit either.
    return errno == ENOSPC || errno == EDQUOT ? Replacement::Failed : Replacement::NotFaithful;
  }
  struct stat created {};
  // The mode is set before any byte is written, and after fchown, which clears set-id bits.
  const bool same_identity =
      ::fstat(file.get(), &created) == 0 &&
      ((created.st_uid == existing.st_uid && created.st_gid == existing.st_gid) ||
       ::fchown(file.get(), existing.st_uid, existing.st_gid) == 0) &&
      ::fchmod(file.get(), existing.st_mode & 07777) == 0;
  if (!same_identity) {
    ::unlink(temporary.c_str());
    return Replacement::NotFaithful;
  }
  switch (commit(file, temporary, path, contents)) {
    case Commit::Done: return Replacement::Done;
    case Commit::RenameRefused: return Replacement::NotFaithful;
    case Commit::WriteFailed: break;
  }
  return Replacement::Failed;
}

// Open (already done: `file`), truncate, write, flush.
WriteOutcome overwrite(FileDescriptor& file, std::string_view contents) {
  const bool written = retrying([&] { return ::ftruncate(file.get(), 0); }) == 0 &&
                       write_all(file.get(), contents) && flush(file.get());
  return file.close() && written ? WriteOutcome::Written : WriteOutcome::WriteFailed;
}

// Devices and FIFOs: written as they are, without flushing (they cannot be).
WriteOutcome write_special(const std::string& path, std::string_view contents) {
  FileDescriptor file(open_retrying(path, O_WRONLY | O_TRUNC));
  if (!file.valid()) return WriteOutcome::OpenFailed;
  if (!write_all(file.get(), contents)) return WriteOutcome::WriteFailed;
  return file.close() ? WriteOutcome::Written : WriteOutcome::WriteFailed;
}

}  // namespace

WriteOutcome replace_file_contents(const std::string& path, std::string_view contents) {
  // A C path ends at its first NUL: such a path names some other file.
  if (path.empty() || path.find('\0') != std::string::npos) return WriteOutcome::OpenFailed;
  struct stat existing {};
  if (::stat(path.c_str(), &existing) != 0) {
    // A link loop, an over-long name, a folder that cannot be searched...
    if (errno != ENOENT) return WriteOutcome::OpenFailed;
    const std::optional<std::string> target = resolve_links(path);  // a dangling link makes its target
    return target ? create_file(*target, contents) : WriteOutcome::OpenFailed;
  }
  if (!S_ISREG(existing.st_mode)) return write_special(path, contents);  // a folder fails to open

  // Whether the file may be written is what opening it says, exactly.
  FileDescriptor file(open_retrying(path, O_WRONLY));
  const std::optional<std::string> target = resolve_links(path);
  if (!file.valid() || !target || ::fstat(file.get(), &existing) != 0) return WriteOutcome::OpenFailed;
  if (existing.st_nlink == 1) {
    switch (replace_file(*target, existing, contents)) {
      case Replacement::Done: return WriteOutcome::Written;
      case Replacement::Failed: return WriteOutcome::WriteFailed;
      case Replacement::NotFaithful: break;
    }
  }
  return overwrite(file, contents);
}

}  // namespace vorn::typing::text
