#pragma once
// A growable array of plain values that either owns its memory or views
// memory that another object keeps alive: a snapshot mapped into the
// process, whose pages every process shares until one writes them. A view
// may be written in place (the mapping is private, so the file never
// changes); it is copied out to memory of its own the first time it grows.
//
// Only what the index's structures use of std::vector, with the same
// meaning, and like it a failed allocation throws and leaves it as it was.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace vorn::typing::text::search {

template <class T>
class Array {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "an Array holds plain values, moved as bytes");

 public:
  using value_type = T;

  Array() noexcept = default;
  Array(std::size_t size, const T& value) { assign(size, value); }
  // Views `size` values at `data`, which must outlive the array and all its
  // copies' views.
  static Array view(T* data, std::size_t size) noexcept {
    Array out;
    out.data_ = data;
    out.size_ = out.capacity_ = size;
    return out;
  }

  Array(const Array& other) : Array() { append(other.begin(), other.end()); }
  Array(Array&& other) noexcept { swap(other); }
  Array& operator=(Array other) noexcept {
    swap(other);
    return *this;
  }
  void swap(Array& other) noexcept {
    std::swap(owned_, other.owned_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  // Whether its values are its own, rather than a view's.
  bool owned() const noexcept { return owned_ != nullptr || data_ == nullptr; }
  // The bytes it holds of its own.
  std::size_t owned_bytes() const noexcept { return owned_ ? capacity_ * sizeof(T) : 0; }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T& back() const noexcept { return data_[size_ - 1]; }

  void reserve(std::size_t capacity) {
    if (capacity > capacity_) move_to(capacity);
  }
  void shrink_to_fit() {
    if (owned_ && size_ < capacity_) move_to(size_);
  }
  void clear() noexcept {
    if (!owned_) data_ = nullptr, capacity_ = 0;  // a view is let go
    size_ = 0;
  }
  void resize(std::size_t size, const T& value = T{}) {
    reserve(size);
    if (size > size_) std::fill(data_ + size_, data_ + size, value);
    size_ = size;
  }
  void assign(std::size_t size, const T& value) {
    clear();
    resize(size, value);
  }
  void push_back(const T& value) {
    if (size_ == capacity_) reserve(std::max({size_ + 1, 2 * capacity_, std::size_t{4}}));
    data_[size_++] = value;
  }
  void append(const T* first, const T* last) {
    const auto count = static_cast<std::size_t>(last - first);
    if (count == 0) return;
    if (capacity_ - size_ < count) reserve(std::max(size_ + count, 2 * capacity_));
    std::memcpy(data_ + size_, first, count * sizeof(T));
    size_ += count;
  }
  void pop_back() noexcept { --size_; }

 private:
  struct Free {
    void operator()(T* values) const noexcept { std::free(values); }
  };
  void move_to(std::size_t capacity) {
    if (capacity > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    std::unique_ptr<T, Free> fresh(static_cast<T*>(std::malloc(std::max<std::size_t>(capacity, 1) * sizeof(T))));
    if (!fresh) throw std::bad_alloc();
    if (size_ > 0) std::memcpy(fresh.get(), data_, size_ * sizeof(T));
    owned_ = std::move(fresh);
    data_ = owned_.get();
    capacity_ = capacity;
  }

  std::unique_ptr<T, Free> owned_;
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vorn::typing::text::search
