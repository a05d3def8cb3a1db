#pragma once
// Writing a whole file so that a failure never costs the previous contents
// and success never changes what the file is. Where a new file can take the
// old one's place faithfully (a regular file with one name, the same owner
// and group, in a folder the caller may write) the text goes to a temporary
// file in the same folder, which is flushed and renamed over the target.
// Everywhere else the file is written in place, as a plain open would:
// devices and FIFOs, hard-linked files, files in folders the caller may not
// write, and files that a new file could not copy the owner of. A path that
// opening for writing would refuse is refused before anything is written.

#include <string>
#include <string_view>

namespace vorn::typing::text {

enum class WriteOutcome { Written, OpenFailed, WriteFailed };

WriteOutcome replace_file_contents(const std::string& path, std::string_view contents);

}  // namespace vorn::typing::text
