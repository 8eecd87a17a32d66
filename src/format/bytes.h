#pragma once
// The byte buffer of the library. resize(n) leaves new bytes uninitialised
// (resize(n, 0) zeroes them): tensor buffers are written whole right after
// allocation, so zero-filling them first would only cost a pass over memory.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tarnwick {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;
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
