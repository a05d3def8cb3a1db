#include "writer_lock.hpp"

#include <sys/file.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vorn::typing::text::search::storage {

WriterLock::WriterLock(const Folder& folder, double timeout) : file_(folder.open_for_writing("LOCK")) {
  // flock, not fcntl: its lock belongs to this open file, so a second open
  // in the same process is refused too, and closing some other descriptor
  // of the file never drops it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout > 0 ? timeout : 0);
  while (::flock(file_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) fail("cannot lock", folder.file_name("LOCK"), errno);
    if (std::chrono::steady_clock::now() >= deadline) {
      throw WriterBusy("another writer has the index " + folder.path() + " open");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace vorn::typing::text::search::storage
