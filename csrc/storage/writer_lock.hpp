#pragma once
// The one writer of an index folder, held as an OS lock on its LOCK file:
// the kernel lets it go when the holder exits or is killed, so a writer
// that died leaves nothing to clean up before the next one takes over.

#include <stdexcept>
#include <string>

#include "folder.hpp"

namespace vorn::typing::text::search::storage {

// Another process (or another open of the same folder) writes the index.
class WriterBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class WriterLock {
 public:
  // Takes the lock, waiting up to `timeout` seconds (0: not at all);
  // WriterBusy when another holds it still.
  WriterLock(const Folder& folder, double timeout);

 private:
  Descriptor file_;
};

}  // namespace vorn::typing::text::search::storage
