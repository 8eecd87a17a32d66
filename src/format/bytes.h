#pragma once
// The byte buffer of the library. resize(n) leaves new bytes uninitialised
// (resize(n, 0) zeroes them): tensor buffers are written whole right after
// allocation, so zero-filling them first would only cost a pass over memory.
//
// Buffers of 2 MiB and more are aligned to 2 MiB and advised to use huge
// pages: on this kind of virtual machine the first touch of a fresh 4 KiB
// page is so slow that filling 64 MiB of new memory took 230 ms with them
// and 11 ms with huge pages, against 5 ms for a copy into touched memory.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace tarnwick {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

namespace detail {

// Kept out of line: inlined, the aligned path leads the compiler to false
// buffer-overflow warnings at callers.
[[gnu::noinline]] inline void* allocate_huge(std::size_t bytes) {
  void* p = ::operator new(bytes, std::align_val_t{kHugePageBytes});
  // Advice only; nothing has touched the pages yet, so it still applies.
  madvise(p, bytes & ~std::size_t{4095}, MADV_HUGEPAGE);
  return p;
}

[[gnu::noinline]] inline void free_huge(void* p, std::size_t bytes) {
  ::operator delete(p, bytes, std::align_val_t{kHugePageBytes});
}

}  // namespace detail

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;

  T* allocate(std::size_t n) {
    if (n < kHugePageBytes / sizeof(T)) return std::allocator<T>::allocate(n);
    return static_cast<T*>(detail::allocate_huge(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (n < kHugePageBytes / sizeof(T)) return std::allocator<T>::deallocate(p, n);
    detail::free_huge(p, n * sizeof(T));
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
