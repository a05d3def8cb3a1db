#include "file_replace.hpp"

#include <attr/libattr.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

namespace vorn::typing::text {

namespace {

// Owns a file descriptor; closing is explicit where its result matters.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept { return std::swap(fd_, other.fd_), *this; }
  ~FileDescriptor() { if (fd_ >= 0) ::close(fd_); }
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Not retried on EINTR: Linux releases the descriptor whatever close returns.
  bool close() noexcept { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

bool same_file(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A path split at its last slash: the folder ("" for a bare name) and the name in it.
struct Place {
  std::string folder, name;
};

Place place_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The text of the symbolic link `name` in `folder`, however long.
std::optional<std::string> read_link(int folder, const char* name) {
  for (std::size_t size = 256; size <= (std::size_t{1} << 20); size *= 4) {
    std::string text(size, '\0');
    const ssize_t length = ::readlinkat(folder, name, text.data(), text.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < text.size()) {
      text.resize(static_cast<std::size_t>(length));
      return text;
    }
  }
  return std::nullopt;
}

// A system call retried after a signal without the hook: where stopping
// would do harm (after the rename the write is done, whatever a signal
// handler says) or is not worth it (a lock held for a moment).
template <class Call>
auto retried(Call call) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// Temporary files are named ".durevarare-" and 16 hex digits ".tmp".
constexpr char kTemporaryPrefix[] = ".durevarare-";
constexpr char kTemporarySuffix[] = ".tmp";

bool temporary_name(const char* name) noexcept {
  const std::size_t prefix = sizeof kTemporaryPrefix - 1, suffix = sizeof kTemporarySuffix - 1;
  if (std::strlen(name) != prefix + 16 + suffix || std::strncmp(name, kTemporaryPrefix, prefix) != 0 ||
      std::strcmp(name + prefix + 16, kTemporarySuffix) != 0) {
    return false;
  }
  for (std::size_t i = prefix; i < prefix + 16; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

// Whether `name` in `folder` is still the file open as `fd`.
bool still_named(int folder, const char* name, int fd) noexcept {
  struct stat named {}, open {};
  return ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &open) == 0 && same_file(named, open);
}

// Removes the temporary files in `folder` that no writer holds: those of
// writers that were killed (the kernel dropped their locks). Taking the lock
// first keeps a writer that has just made its file and not locked it yet
// from losing it unseen: it finds the name gone once it has the lock. Where
// the file system has no locks nothing is removed.
void remove_abandoned_temporaries(int folder) noexcept {
  const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing), ::closedir);
  if (!entries) {
    ::close(listing);
    return;
  }
  while (const dirent* entry = ::readdir(entries.get())) {
    if (!temporary_name(entry->d_name)) continue;
    // Never waits: not for a FIFO planted under such a name, nor for a lock.
    const FileDescriptor file(::openat(folder, entry->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (file.valid() && ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::flock(file.get(), LOCK_EX | LOCK_NB) == 0 && still_named(folder, entry->d_name, file.get())) {
      ::unlinkat(folder, entry->d_name, 0);
    }
  }
}

// The system calls of one write, retried after a signal as PEP 475 has
// Python's own I/O do: the hook runs first and may throw to stop.
class Writer {
 public:
  explicit Writer(const WriteHooks& hooks) noexcept : hooks_(hooks) {}

  WriteOutcome write(const std::string& path, std::string_view contents);

 private:
  template <class Call>
  auto retrying(Call call) const {
    for (;;) {
      const auto result = call();
      if (result != -1 || errno != EINTR) return result;
      if (hooks_.interrupted) hooks_.interrupted();
    }
  }

  FileDescriptor open_at(int folder, const char* name, int flags, mode_t mode = 0) const {
    return FileDescriptor(retrying([&] { return ::openat(folder, name, flags | O_CLOEXEC, mode); }));
  }
  bool write_all(int fd, std::string_view data) const {
    while (!data.empty()) {
      const ssize_t written = retrying([&] { return ::write(fd, data.data(), data.size()); });
      if (written < 0) return false;
      data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
  }
  bool flush(int fd) const {
    return retrying([fd] { return ::fsync(fd); }) == 0;
  }

  // The folder part of a path, opened by the kernel from `from` (its links
  // followed with the kernel's protections); "" is `from` itself.
  FileDescriptor open_folder(int from, const std::string& folder) const {
    return open_at(from, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY);
  }
  FileDescriptor open_existing(int folder, const std::string& name, bool& through_descriptor_link) const;
  bool locate(FileDescriptor& folder, std::string& name, const struct stat& file) const;
  WriteOutcome create(const FileDescriptor& folder, const std::string& name, std::string_view contents) const;
  enum class Replaced { Yes, Failed, NotFaithfully };
  Replaced replace(const FileDescriptor& file, const struct stat& old, const FileDescriptor& folder,
                   const std::string& name, std::string_view contents) const;
  WriteOutcome write_in_place(FileDescriptor& file, const struct stat& info, std::string_view contents) const;

  // A new file of a random name in `folder`, removed again unless `keep` is
  // called, and locked until then (and a little after): see
  // remove_abandoned_temporaries, which runs first.
  class Temporary {
   public:
    Temporary(const Writer& writer, int folder, mode_t mode) : folder_(folder) {
      remove_abandoned_temporaries(folder);
      for (int attempt = 0; attempt < 16 && !file.valid(); ++attempt) {
        std::uint64_t random = 0;
        if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
          random = static_cast<std::uint64_t>(::getpid()) * 0x9e3779b97f4a7c15ULL + static_cast<std::uint64_t>(attempt);
        }
        char leaf[40];
        std::snprintf(leaf, sizeof leaf, "%s%016" PRIx64 "%s", kTemporaryPrefix, random, kTemporarySuffix);
        file = writer.open_at(folder, leaf, O_WRONLY | O_CREAT | O_EXCL, mode);
        if (!file.valid()) {
          if (errno != EEXIST) break;
          continue;
        }
        // The lock is taken through a second descriptor, so that closing the
        // file to learn of late write errors leaves it held through the rename.
        held_ = FileDescriptor(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
        if (!held_.valid()) {
          const int error = errno;
          ::unlinkat(folder, leaf, 0);
          file = FileDescriptor();
          errno = error;
          break;
        }
        // A sweep may hold it for a moment, and may have removed it: then it
        // is another name's turn. Without locks in the file system it is used
        // unlocked (and no sweep there removes anything).
        if (retried([&] { return ::flock(held_.get(), LOCK_EX); }) == 0 && !still_named(folder, leaf, file.get())) {
          file = FileDescriptor();
          continue;
        }
        name = leaf;
      }
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
      if (!name.empty()) ::unlinkat(folder_, name.c_str(), 0);
    }
    void keep() noexcept { name.clear(); }

    FileDescriptor file;
    std::string name;

   private:
    int folder_;
    FileDescriptor held_;  // the lock, dropped once the destructor has removed the name
  };
  // Renames the temporary file over `name`, then flushes the folder (some
  // file systems cannot flush folders; the rename is done either way). The
  // hook has its last say before the rename: after it the write has
  // succeeded, and no signal may turn that into a failure.
  bool rename_over(const FileDescriptor& folder, Temporary& temporary, const std::string& name) const {
    if (hooks_.interrupted) hooks_.interrupted();
    if (::renameat(folder.get(), temporary.name.c_str(), folder.get(), name.c_str()) != 0) return false;
    temporary.keep();
    const FileDescriptor listing(retried([&] { return ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (listing.valid()) retried([&] { return ::fsync(listing.get()); });
    return true;
  }

  const WriteHooks& hooks_;
};

// As opening for writing: the kernel follows links (with its protections),
// creates the target of a dangling one, and applies the checks of creating
// opens (fs.protected_regular). A name that leads through a descriptor link
// names an open file of some process, which only writing in place leaves open.
FileDescriptor Writer::open_existing(int folder, const std::string& name, bool& through_descriptor_link) const {
  struct open_how how {};
  how.flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  how.mode = 0666;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  FileDescriptor file(static_cast<int>(
      retrying([&] { return ::syscall(SYS_openat2, folder, name.c_str(), &how, sizeof how); })));
  through_descriptor_link = false;
  if (file.valid() || (errno != ELOOP && errno != ENOSYS)) return file;
  // ELOOP: a descriptor link, or a real loop that the open below refuses too.
  // ENOSYS: no openat2 (an old kernel or a sandbox): any link may be one.
  struct stat info {};
  through_descriptor_link =
      errno == ELOOP || (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode));
  return open_at(folder, name.c_str(), O_WRONLY | O_CREAT, 0666);
}

// Moves (folder, name) along the links the kernel followed when it opened
// `file`, to the folder and name of the file itself. False where no name
// leads there any more (the links changed since).
bool Writer::locate(FileDescriptor& folder, std::string& name, const struct stat& file) const {
  for (int hops = 0; hops <= 40 && folder.valid(); ++hops) {
    struct stat named {};
    if (::fstatat(folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (same_file(named, file)) return true;
    const std::optional<std::string> link = S_ISLNK(named.st_mode) ? read_link(folder.get(), name.c_str()) : std::nullopt;
    if (!link || link->empty()) return false;
    Place next = place_of(*link);
    if (!next.folder.empty()) folder = open_folder(link->front() == '/' ? AT_FDCWD : folder.get(), next.folder);
    name = std::move(next.name);
  }
  return false;
}

// A file that does not exist yet: written under a temporary name and renamed
// into place, so that no reader sees it half written. It gets 0666 less the
// umask, as opening would give. A link planted in its place meanwhile is
// replaced, never followed.
WriteOutcome Writer::create(const FileDescriptor& folder, const std::string& name, std::string_view contents) const {
  Temporary temporary(*this, folder.get(), 0666);
  if (!temporary.file.valid()) return WriteOutcome::OpenFailed;
  const bool written = write_all(temporary.file.get(), contents) && flush(temporary.file.get()) &&
                       temporary.file.close() && rename_over(folder, temporary, name);
  return written ? WriteOutcome::Written : WriteOutcome::WriteFailed;
}

// Copies every extended attribute that the system's list does not mark as
// never to be copied; ACLs are attributes too.
int copied_attribute(const char* name, struct error_context* context) {
  return attr_copy_action(name, context) != ATTR_ACTION_SKIP;
}

// Replaces the open regular file `file` (described by `old`), whose name is
// `name` in `folder`, with a new file of the same owner, group, mode and
// attributes. NotFaithfully, with nothing changed, wherever that cannot be done.
Writer::Replaced Writer::replace(const FileDescriptor& file, const struct stat& old, const FileDescriptor& folder,
                                 const std::string& name, std::string_view contents) const {
  const auto still_there = [&] {
    struct stat named {};
    return ::fstatat(folder.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(named, old);
  };
  Temporary temporary(*this, folder.get(), 0600);
  if (!temporary.file.valid()) {
    // Out of room for another file: writing in place would lose the old
    // text if the new one did not fit either.
    return errno == ENOSPC || errno == EDQUOT ? Replaced::Failed : Replaced::NotFaithfully;
  }
  const int fd = temporary.file.get();
  struct stat created {};
  // Owner first (fchown clears set-id bits), then the attributes, then the
  // mode, which also sets an ACL's mask; all before any byte is written.
  bool faithful = ::fstat(fd, &created) == 0 &&
                  ((created.st_uid == old.st_uid && created.st_gid == old.st_gid) ||
                   ::fchown(fd, old.st_uid, old.st_gid) == 0) &&
                  attr_copy_fd("", file.get(), "", fd, copied_attribute, nullptr) == 0 &&
                  ::fchmod(fd, old.st_mode & 07777) == 0;
  // The kernel may drop a set-group-id bit that the caller could not set.
  faithful = faithful && ::fstat(fd, &created) == 0 && (created.st_mode & 07777) == (old.st_mode & 07777);
  if (!faithful) return Replaced::NotFaithfully;
  if (!write_all(fd, contents) || !flush(fd) || !temporary.file.close()) return Replaced::Failed;

  if (hooks_.before_rename) hooks_.before_rename();
  // The name must still lead to the file that was opened; renaming relative
  // to the folder held since then never follows a link that was swapped in.
  if (!still_there()) return Replaced::NotFaithfully;
  if (rename_over(folder, temporary, name)) return Replaced::Yes;
  // A sticky folder refuses to replace another user's file; a mount point cannot be replaced.
  return errno == EPERM || errno == EACCES || errno == EBUSY || errno == EXDEV ? Replaced::NotFaithfully
                                                                             : Replaced::Failed;
}

// What a plain open for writing does: truncate, write, flush. Devices and
// FIFOs can be neither truncated nor flushed.
WriteOutcome Writer::write_in_place(FileDescriptor& file, const struct stat& info, std::string_view contents) const {
  if (hooks_.interrupted) hooks_.interrupted();  // the last moment the old text is whole
  const bool regular = S_ISREG(info.st_mode);
  const bool written = (!regular || retrying([&] { return ::ftruncate(file.get(), 0); }) == 0) &&
                       write_all(file.get(), contents) && (!regular || flush(file.get()));
  return file.close() && written ? WriteOutcome::Written : WriteOutcome::WriteFailed;
}

WriteOutcome Writer::write(const std::string& path, std::string_view contents) {
  // A C path ends at its first NUL: such a path names some other file.
  if (path.empty() || path.find('\0') != std::string::npos) return WriteOutcome::OpenFailed;
  const Place place = place_of(path);
  FileDescriptor folder = open_folder(AT_FDCWD, place.folder);
  if (!folder.valid() || place.name.empty()) return WriteOutcome::OpenFailed;  // "folder/" names no file
  struct stat info {};
  const bool exists = ::fstatat(folder.get(), place.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return WriteOutcome::OpenFailed;  // a name over 255 bytes, a folder not searchable
  if (hooks_.before_open) hooks_.before_open();
  if (!exists) return create(folder, place.name, contents);
  bool through_descriptor_link = false;
  FileDescriptor file = open_existing(folder.get(), place.name, through_descriptor_link);
  if (!file.valid() || ::fstat(file.get(), &info) != 0) return WriteOutcome::OpenFailed;
  std::string name = place.name;
  if (S_ISREG(info.st_mode) && info.st_nlink == 1 && !through_descriptor_link && locate(folder, name, info)) {
    switch (replace(file, info, folder, name, contents)) {
      case Replaced::Yes: return WriteOutcome::Written;
      case Replaced::Failed: return WriteOutcome::WriteFailed;
      case Replaced::NotFaithfully: break;
    }
  }
  return write_in_place(file, info, contents);
}

}  // namespace

WriteOutcome replace_file_contents(const std::string& path, std::string_view contents, const WriteHooks& hooks) {
  return Writer(hooks).write(path, contents);
}

}  // namespace vorn::typing::text
