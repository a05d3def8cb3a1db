#include "mapping.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <limits>

namespace vorn::typing::text::search::storage {

Mapping::Mapping(const Descriptor& file, const std::string& name) {
  const std::uint64_t size = file_size(file, name);
  if (size == 0) return;  // nothing to map; read as a file too short
  if (size > std::numeric_limits<std::size_t>::max()) fail("too large to map:", name, EFBIG);
  void* data = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE, file.get(), 0);
  if (data == MAP_FAILED) fail("cannot map", name, errno);
  data_ = static_cast<std::uint8_t*>(data);
  size_ = static_cast<std::size_t>(size);
}

Mapping::~Mapping() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

}  // namespace vorn::typing::text::search::storage
