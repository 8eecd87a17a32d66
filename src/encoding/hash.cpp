#include "encoding/hash.h"

#include <xxhash.h>

#include <cstdint>

namespace tarnwick {
namespace {

void put_hex64(std::uint64_t value, char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    out[i] = kDigits[value & 0xF];
    value >>= 4;
  }
}

}  // namespace

std::string hash_hex(ByteSpan data) {
  const XXH128_hash_t hash = XXH3_128bits(data.data(), data.size());
  std::string text(32, '0');
  put_hex64(hash.high64, text.data());
  put_hex64(hash.low64, text.data() + 16);
  return text;
}

}  // namespace tarnwick
