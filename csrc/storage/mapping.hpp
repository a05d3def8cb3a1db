#pragma once
// A snapshot file mapped into memory, private to the process: its pages come
// from the page cache, shared with every process that maps the same file,
// until one writes them (then that page is copied for it alone; the file
// never changes). Unmapped with its owner.

#include <cstddef>
#include <cstdint>
#include <string>

#include "folder.hpp"

namespace vorn::typing::text::search::storage {

class Mapping {
 public:
  // Maps the whole of an open regular file; std::system_error naming it.
  Mapping(const Descriptor& file, const std::string& name);
  ~Mapping();
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vorn::typing::text::search::storage
