#pragma once
// For tests that limit a child process's address space (RLIMIT_AS) to see
// what a call would cost: how much the process has mapped, and whether
// AddressSanitizer runs, which maps more than any such limit allows.

#include <unistd.h>

#include <cstddef>
#include <fstream>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DUREVARARE_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DUREVARARE_UNDER_ASAN 1
#endif

inline std::size_t address_space() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}
