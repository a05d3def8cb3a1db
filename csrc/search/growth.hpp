#pragma once
// Growing the index's large arrays by an eighth at a time rather than
// doubling: the copies add up to a few times the final size, and at most an
// eighth of an array (on average a sixteenth) is room not yet used, where
// doubling leaves a quarter on average, tens of megabytes for a large index.

#include <algorithm>
#include <cstddef>

namespace vorn::typing::text::search {

// Room for `size` elements; a push_back up to it cannot throw.
template <class Vector>
void make_room(Vector& vector, std::size_t size) {
  if (vector.capacity() >= size) return;
  vector.reserve(std::max({size, vector.capacity() + vector.capacity() / 8, std::size_t{16}}));
}

}  // namespace vorn::typing::text::search
