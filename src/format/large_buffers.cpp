#include "format/large_buffers.h"

#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnwick {
namespace {

std::size_t size_class(std::size_t bytes) {
  return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

std::size_t idle_limit() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return std::size_t{1} << 30;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page) / 4;
}

void* allocate_fresh(std::size_t bytes) {
  void* buffer = ::operator new(bytes, std::align_val_t{kHugePageBytes});
  // Advice only; nothing has touched the pages yet, so it still applies.
  ::madvise(buffer, bytes, MADV_HUGEPAGE);
  return buffer;
}

void free_now(void* buffer) { ::operator delete(buffer, std::align_val_t{kHugePageBytes}); }

struct IdleBuffers {
  std::mutex mutex;
  // Idle buffers by size class, and their total; guarded by mutex.
  std::unordered_map<std::size_t, std::vector<void*>> by_class;
  std::size_t bytes = 0;
  const std::size_t limit = idle_limit();
};

// Never destroyed: buffers may be given back from static destructors of
// other translation units after this one's would have run.
IdleBuffers& idle() {
  static IdleBuffers* buffers = new IdleBuffers;
  return *buffers;
}

}  // namespace

void* take_large_buffer(std::size_t bytes) {
  const std::size_t rounded = size_class(bytes);
  IdleBuffers& pool = idle();
  {
    std::lock_guard lock(pool.mutex);
    auto found = pool.by_class.find(rounded);
    if (found != pool.by_class.end() && !found->second.empty()) {
      void* buffer = found->second.back();
      found->second.pop_back();
      pool.bytes -= rounded;
      return buffer;
    }
  }
  return allocate_fresh(rounded);
}

void give_back_large_buffer(void* buffer, std::size_t bytes) noexcept {
  const std::size_t rounded = size_class(bytes);
  IdleBuffers& pool = idle();
  try {
    std::lock_guard lock(pool.mutex);
    if (pool.bytes + rounded <= pool.limit) {
      pool.by_class[rounded].push_back(buffer);
      pool.bytes += rounded;
      return;
    }
  } catch (const std::bad_alloc&) {
    // No room to remember it: free it instead.
  }
  free_now(buffer);
}

std::size_t release_idle_large_buffers() noexcept {
  IdleBuffers& pool = idle();
  std::unordered_map<std::size_t, std::vector<void*>> released;
  std::size_t bytes = 0;
  {
    std::lock_guard lock(pool.mutex);
    released.swap(pool.by_class);
    bytes = std::exchange(pool.bytes, 0);
  }
  for (auto& [rounded, buffers] : released) {
    for (void* buffer : buffers) free_now(buffer);
  }
  return bytes;
}

std::size_t idle_large_buffer_bytes() noexcept {
  IdleBuffers& pool = idle();
  std::lock_guard lock(pool.mutex);
  return pool.bytes;
}

}  // namespace tarnwick
