#include "storage/storage.h"

#include <cstring>
#include <new>

namespace tarnwick {

Result<void> StorageBackend::put_parts(std::string_view key, std::span<const ByteSpan> parts) {
  std::size_t total = 0;
  for (const ByteSpan& part : parts) total += part.size();
  Bytes joined;
  try {
    joined.resize(total);
  } catch (const std::bad_alloc&) {
    return Err(TarnwickError::io(ENOMEM));
  }
  std::size_t at = 0;
  for (const ByteSpan& part : parts) {
    if (!part.empty()) std::memcpy(joined.data() + at, part.data(), part.size());
    at += part.size();
  }
  return put(key, joined);
}

Result<void> StorageBackend::remove_dir(std::string_view) { return {}; }

}  // namespace tarnwick
