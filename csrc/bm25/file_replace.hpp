#pragma once
// Writing a file so that failure never costs the previous contents: a regular
// (or new) file is written to a temporary file in the same folder, flushed,
// closed and renamed over the target; every step is checked. A path that
// exists but is not a regular file (a device, a FIFO) is written in place.

#include <string>
#include <string_view>

namespace vorn::typing::text {

enum class WriteOutcome { Written, OpenFailed, WriteFailed };

WriteOutcome replace_file_contents(const std::string& path, std::string_view contents);

}  // namespace vorn::typing::text
