#include "encoding/buffer.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "encoding/blocks.h"

namespace tarnwick {
namespace {

constexpr std::size_t kHugePageAdviceFrom = std::size_t{4} << 20;

void advise_huge_pages(Bytes& buffer) {
  if (buffer.size() < kHugePageAdviceFrom) return;
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + buffer.size()) & ~(kPage - 1);
  // Advice only: where it is refused, the buffer works the same, slower.
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

std::optional<Bytes> try_allocate(std::size_t n) {
  try {
    Bytes buffer;
    buffer.resize(n);  // not touched yet: the advice still applies
    advise_huge_pages(buffer);
    return buffer;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}

Result<Bytes> allocate_output(std::size_t n) {
  std::optional<Bytes> buffer = try_allocate(n);
  if (!buffer) return Err(TarnwickError::io(ENOMEM));
  return std::move(*buffer);
}

Result<Bytes> copy_bytes(ByteSpan data) {
  TRY(Bytes out, allocate_output(data.size()));
  for_each_block(data.size(), kBlockBytes, [&](std::size_t begin, std::size_t end) {
    std::memcpy(out.data() + begin, data.data() + begin, end - begin);
  });
  return out;
}

}  // namespace tarnwick
