// Checked element access and sized buffers. Every bounds check that must
// surface as a fault goes through checked_index, and every working buffer is
// made through Buffer, which applies the size limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <source_location>
#include <utility>

#include "support/fault.h"

namespace tarnwick {

// a × b, or nullopt when the product does not fit in a size_t.
constexpr std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) noexcept {
  std::size_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

inline std::size_t checked_index(std::size_t len, std::size_t index,
                                 std::source_location where = std::source_location::current()) {
  if (index >= len) [[unlikely]] index_fault(len, index, where);
  return index;
}

// Largest admissible buffer in bytes: the signed size limit, rounded down to
// the element alignment.
template <class T>
constexpr std::uint64_t max_buffer_bytes() {
  return static_cast<std::uint64_t>(PTRDIFF_MAX) - (alignof(T) - 1);
}

template <class T>
std::size_t checked_buffer_bytes(std::size_t count,
                                 std::source_location where = std::source_location::current()) {
  const std::optional<std::size_t> bytes = checked_mul(count, sizeof(T));
  if (!bytes || *bytes > max_buffer_bytes<T>()) [[unlikely]] capacity_fault(where);
  return *bytes;
}

// An owned heap buffer from the C allocator, so that a result buffer can be
// handed to a container that frees it with free(). An empty buffer holds an
// aligned non-null placeholder and owns nothing. An admissible size that
// cannot be allocated throws std::bad_alloc (MemoryError at the boundary).
template <class T>
class Buffer {
 public:
  Buffer() noexcept = default;

  static Buffer zeroed(std::size_t count,
                       std::source_location where = std::source_location::current()) {
    static_assert(alignof(T) <= alignof(std::max_align_t), "calloc does not over-align");
    checked_buffer_bytes<T>(count, where);
    Buffer b;
    if (count == 0) return b;
    b.data_ = static_cast<T*>(std::calloc(count, sizeof(T)));
    if (b.data_ == nullptr) throw std::bad_alloc();
    b.size_ = count;
    return b;
  }

  static Buffer uninitialized(std::size_t count,
                              std::source_location where = std::source_location::current()) {
    std::size_t bytes = checked_buffer_bytes<T>(count, where);
    Buffer b;
    if (count == 0) return b;
    if constexpr (alignof(T) > alignof(std::max_align_t)) {
      // bytes is a multiple of sizeof(T), hence of the alignment, as aligned_alloc requires.
      b.data_ = static_cast<T*>(std::aligned_alloc(alignof(T), bytes));
    } else {
      b.data_ = static_cast<T*>(std::malloc(bytes));
    }
    if (b.data_ == nullptr) throw std::bad_alloc();
    b.size_ = count;
    return b;
  }

  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, placeholder())), size_(std::exchange(other.size_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, placeholder());
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { reset(); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }

  // Gives up ownership; the caller frees the pointer with free() when the
  // count was non-zero.
  T* release() noexcept {
    size_ = 0;
    return std::exchange(data_, placeholder());
  }

 private:
  static T* placeholder() noexcept { return reinterpret_cast<T*>(alignof(T)); }
  void reset() noexcept {
    if (size_ != 0) std::free(data_);
    data_ = placeholder();
    size_ = 0;
  }

  T* data_ = placeholder();
  std::size_t size_ = 0;
};

}  // namespace tarnwick
