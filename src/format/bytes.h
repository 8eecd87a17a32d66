#pragma once
// The byte buffer of the library. resize(n) leaves new bytes uninitialised
// (resize(n, 0) zeroes them): tensor buffers are written whole right after
// allocation, so zero-filling them first would only cost a pass over memory.
//
// Buffers of 2 MiB and more come from the process's recycled large buffers
// (format/large_buffers.h): aligned to huge pages, and warm when a buffer of
// the same size was freed before.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "format/large_buffers.h"

namespace tarnwick {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;

  T* allocate(std::size_t n) {
    if (n < kHugePageBytes / sizeof(T)) return std::allocator<T>::allocate(n);
    return static_cast<T*>(take_large_buffer(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (n < kHugePageBytes / sizeof(T)) return std::allocator<T>::deallocate(p, n);
    give_back_large_buffer(p, n * sizeof(T));
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
};

using Bytes = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;
using ByteSpan = std::span<const std::uint8_t>;
using MutableByteSpan = std::span<std::uint8_t>;

inline Bytes bytes_of(ByteSpan data) { return Bytes(data.begin(), data.end()); }

}  // namespace tarnwick
