#pragma once
// The block loop shared by the byte-level transforms: a range of items cut
// into fixed blocks, each block one task on the pool.

#include <algorithm>
#include <cstddef>

#include "format/error.h"
#include "runtime/pool.h"

namespace tarnwick {

// Bytes of tensor data one task handles. Large enough that scheduling costs
// vanish against the work, small enough that two threads stay balanced on
// the 4 MiB tensors that make up most of a model.
inline constexpr std::size_t kBlockBytes = std::size_t{1} << 19;

inline std::size_t block_count(std::size_t total, std::size_t block) {
  return total == 0 ? 0 : (total - 1) / block + 1;
}

// Calls body(begin, end) for consecutive blocks of `block` items covering
// [0, total), in parallel on the pool; a single block runs on the caller.
// body returns void; every block runs.
template <class Body>
void for_each_block(std::size_t total, std::size_t block, Body&& body) {
  const std::size_t blocks = block_count(total, block);
  // Infallible bodies: parallel_for can only report the allocation failure
  // of a task, which a body that allocates nothing never has.
  (void)parallel_for(blocks, [&](std::size_t i) -> Result<void> {
    const std::size_t begin = i * block;
    body(begin, std::min(total, begin + block));
    return {};
  });
}

}  // namespace tarnwick
