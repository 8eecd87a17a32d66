#include "format/large_buffers.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "format/bytes.h"

namespace tarnwick {
namespace {

TEST(LargeBuffers, FreedBufferIsHandedOutAgainForTheSameSizeClass) {
  release_idle_large_buffers();
  void* first = take_large_buffer(kHugePageBytes + 1);
  give_back_large_buffer(first, kHugePageBytes + 1);
  EXPECT_EQ(idle_large_buffer_bytes(), 2 * kHugePageBytes);

  void* other_class = take_large_buffer(kHugePageBytes);
  EXPECT_NE(other_class, first);
  void* same_class = take_large_buffer(2 * kHugePageBytes);
  EXPECT_EQ(same_class, first);
  EXPECT_EQ(idle_large_buffer_bytes(), 0u);

  give_back_large_buffer(other_class, kHugePageBytes);
  give_back_large_buffer(same_class, 2 * kHugePageBytes);
  EXPECT_EQ(release_idle_large_buffers(), 3 * kHugePageBytes);
  EXPECT_EQ(idle_large_buffer_bytes(), 0u);
}

TEST(LargeBuffers, BytesRecycleTheirStorageAndKeepItsContentsUsable) {
  release_idle_large_buffers();
  const std::uint8_t* address = nullptr;
  {
    Bytes bytes(3 * kHugePageBytes);
    bytes.back() = 7;
    address = bytes.data();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(address) % kHugePageBytes, 0u);
  }
  Bytes again(3 * kHugePageBytes, 0);
  EXPECT_EQ(again.data(), address);
  EXPECT_EQ(again.back(), 0);
  again = Bytes();
  release_idle_large_buffers();
}

}  // namespace
}  // namespace tarnwick
