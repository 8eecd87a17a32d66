#include "encoding/hash.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstdint>
#include <cstdio>

namespace tarnwick {
namespace {

TEST(HashHex, EmptyInputHasTheKnownDigest) {
  EXPECT_EQ(hash_hex({}), "99aa06d3014798d86001c324468d497f");
}

TEST(HashHex, HighHalfFirstWithLeadingZerosKept) {
  // Find inputs whose halves start with zero digits: padding must keep them.
  int found = 0;
  for (std::uint32_t i = 0; found < 3 && i < 100000; ++i) {
    const ByteSpan data(reinterpret_cast<const std::uint8_t*>(&i), sizeof i);
    const XXH128_hash_t h = XXH3_128bits(data.data(), data.size());
    if (h.high64 >> 60 != 0 && h.low64 >> 60 != 0) continue;
    ++found;
    char expected[33];
    std::snprintf(expected, sizeof expected, "%016llx%016llx",
                  static_cast<unsigned long long>(h.high64), static_cast<unsigned long long>(h.low64));
    EXPECT_EQ(hash_hex(data), expected);
  }
  EXPECT_EQ(found, 3);
}

}  // namespace
}  // namespace tarnwick
