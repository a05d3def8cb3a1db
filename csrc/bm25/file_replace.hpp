#pragma once
// Writing a whole file as opening it for writing would, except that the old
// text is never lost half way: where a new file can take the old one's
// place faithfully, the text goes to a temporary file beside it, which gets
// the old file's owner, group, mode and extended attributes (ACLs included)
// and is renamed over it. Everywhere else the file is written in place,
// through the descriptor that opening it gave: devices, FIFOs, files reached
// through a descriptor link (/dev/stdout, /proc/self/fd/N, a link to one),
// hard-linked files, and files whose folder or identity a new file could not
// take. The path is resolved once, by the kernel: the folder is held open
// and everything after works relative to it.
//
// A writer holds a lock on its temporary file for as long as the file has
// its temporary name. One that was killed leaves the file behind unlocked,
// and the next writer in that folder removes it.

#include <functional>
#include <string>
#include <string_view>

namespace vorn::typing::text {

enum class WriteOutcome { Written, OpenFailed, WriteFailed };

struct WriteHooks {
  // Called when a system call was interrupted by a signal, before it is
  // retried, and once more just before the old text is given up (the
  // temporary file's rename, or the truncation of a file written in place):
  // a signal that interrupted nothing, having come during writes to a disk
  // file, is seen while the write can still be abandoned. It may throw to
  // abandon the write: a temporary file is removed and the old file stays as
  // it was; a file written in place keeps what was written of it. Once the
  // temporary file is renamed it is not called again: the write is done,
  // and a signal then is the caller's to handle after the call returns.
  std::function<void()> interrupted;
  // Seams for tests of races: between the name's lookup and its open, and
  // between the temporary file's last byte and the check and rename.
  std::function<void()> before_open, before_rename;
};

WriteOutcome replace_file_contents(const std::string& path, std::string_view contents, const WriteHooks& hooks = {});

}  // namespace vorn::typing::text
