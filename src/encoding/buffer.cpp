#include "encoding/buffer.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "encoding/blocks.h"

namespace tarnwick {

std::optional<Bytes> try_allocate(std::size_t n) {
  try {
    Bytes buffer;
    buffer.resize(n);
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

void copy_into(ByteSpan data, std::uint8_t* out) {
  for_each_block(data.size(), kBlockBytes, [&](std::size_t begin, std::size_t end) {
    std::memcpy(out + begin, data.data() + begin, end - begin);
  });
}

Result<Bytes> copy_bytes(ByteSpan data) {
  TRY(Bytes out, allocate_output(data.size()));
  copy_into(data, out.data());
  return out;
}

}  // namespace tarnwick
