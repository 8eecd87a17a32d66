#include "encoding/shuffle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "encoding/blocks.h"
#include "test_data.h"

namespace tarnwick {
namespace {

TEST(Shuffle, GroupsBytesIntoPlanesAndKeepsTheTail) {
  const Bytes data = {0, 1, 2, 3, 10, 11, 12, 13, 20, 21};
  const Bytes shuffled = {0, 10, 1, 11, 2, 12, 3, 13, 20, 21};
  EXPECT_EQ(*shuffle(data, 4), shuffled);
  EXPECT_EQ(*unshuffle(shuffled, 4), data);
}

TEST(Shuffle, WithoutWholeElementsCopies) {
  const Bytes data = {1, 2, 3};
  for (const std::size_t n : {0, 1, 4, 16}) {
    EXPECT_EQ(*shuffle(data, n), data) << n;
    EXPECT_EQ(*unshuffle(data, n), data) << n;
  }
}

// The byte at element j, position k of the input lands at plane k, slot j.
TEST(Shuffle, MatchesTheDefinitionAcrossBlocks) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    for (const std::size_t n : {2, 3, 4, 8, 16}) {
      // Across blocks; and large enough, in whole vectors, to be streamed.
      for (const std::size_t count : {2 * kBlockBytes / n + 37, lanes::kStreamFrom / n + 64}) {
        const Bytes data = test::patterned(count * n + n - 1);
        const Bytes out = *shuffle(data, n);
        bool same = true;
        for (std::size_t j = 0; j < count; ++j) {
          for (std::size_t k = 0; k < n; ++k) same &= out[k * count + j] == data[j * n + k];
        }
        for (std::size_t i = count * n; i < data.size(); ++i) same &= out[i] == data[i];
        EXPECT_TRUE(same) << n;
        EXPECT_EQ(*unshuffle(out, n), data) << n;
      }
    }
  }
}

TEST(Shuffle, RoundTripsAroundVectorAndBlockBoundaries) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    for (const std::size_t n : {1, 2, 3, 4, 8, 16}) {
      const std::size_t block = kBlockBytes / n;
      for (const std::size_t size : {std::size_t{0}, n - 1, n, 15 * n + 1, 16 * n, 16 * n + 1, 17 * n - 1,
                                     block * n - 1, block * n, block * n + 2 * n + 1, 3 * block * n + 5}) {
        const Bytes data = test::patterned(size, static_cast<std::uint32_t>(size + n));
        const Bytes shuffled = *shuffle(data, n);
        ASSERT_EQ(shuffled.size(), size);
        EXPECT_EQ(*unshuffle(shuffled, n), data) << "n " << n << " size " << size;
      }
    }
  }
}

TEST(Shuffle, AnyRangeOfElementsUnshufflesOnItsOwn) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    for (const std::size_t n : {2, 3, 4, 8, 16}) {
      const std::size_t count = 1000;
      const Bytes data = test::patterned(count * n, static_cast<std::uint32_t>(n));
      const Bytes shuffled = *shuffle(data, n);
      for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{0, count}, {0, 31}, {5, 70}, {32, 96},
                                      {999, 1000}, {7, 7}}) {
        Bytes out((end - begin) * n + 1, 0xA5);
        unshuffle_range(shuffled.data(), count, n, begin, end, out.data());
        EXPECT_TRUE(std::equal(out.begin(), out.end() - 1, data.begin() + begin * n))
            << "n " << n << " [" << begin << ", " << end << ")";
        EXPECT_EQ(out.back(), 0xA5);
      }
    }
  }
}

TEST(ElementSize, ByExactDtypeText) {
  const std::pair<const char*, std::size_t> cases[] = {
      {"float64", 8},  {"int64", 8},    {"uint64", 8},   {"complex64", 8},  {"float32", 4},
      {"int32", 4},    {"uint32", 4},   {"complex32", 4}, {"float16", 2},   {"bfloat16", 2},
      {"int16", 2},    {"uint16", 2},   {"complex128", 16}, {"int8", 1},    {"uint8", 1},
      {"bool", 1},     {"float8_e4m3fn", 1}, {"float8_e5m2", 1}, {"Float32", 1}, {"", 1},
  };
  for (const auto& [dtype, size] : cases) EXPECT_EQ(element_size(dtype), size) << dtype;
}

}  // namespace
}  // namespace tarnwick
