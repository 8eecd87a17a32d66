#include "encoding/delta.h"

#include <gtest/gtest.h>

#include <random>

#include "encoding/blocks.h"
#include "encoding/shuffle.h"
#include "test_data.h"

namespace tarnwick {
namespace {

TEST(Delta, ApplyingTheXorGivesTheNewBytes) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kBlockBytes - 1, kBlockBytes,
                                   3 * kBlockBytes + 7, lanes::kStreamFrom + 33}) {
      const Bytes a = test::patterned(size, 1);
      const Bytes b = test::patterned(size, 2);
      const Bytes delta = *xor_bytes(a, b);
      EXPECT_EQ(*apply_delta(a, delta), b) << size;
      EXPECT_EQ(*apply_delta(a, Bytes(delta)), b) << size;
    }
  }
}

TEST(Delta, LengthsThatDifferAreDeltaErrors) {
  const Bytes four(4), three(3);
  struct Case {
    Result<Bytes> result;
    std::string text;
  };
  const Case cases[] = {
      {apply_delta(four, three), "base length 4 != delta length 3"},
      {apply_delta(four, Bytes(3)), "base length 4 != delta length 3"},
      {xor_bytes(four, three), "xor_bytes requires equal lengths"},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(c.result);
    EXPECT_EQ(c.result.error().display(), "Delta error: " + c.text);
  }
}

TEST(Delta, AppliedInPlaceFromAShuffledDelta) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    for (const std::size_t n : {1, 2, 3, 4, 8, 16}) {
      const std::size_t block = kBlockBytes / n;
      for (const std::size_t size : {std::size_t{0}, n - 1, 33 * n + 1, block * n + 2 * n + 1,
                                     3 * block * n + 5}) {
        SCOPED_TRACE(testing::Message() << "n " << n << " size " << size);
        const Bytes base = test::patterned(size, 1);
        const Bytes wanted = test::patterned(size, 2);
        const Bytes delta = *xor_bytes(base, wanted);
        Bytes in_place = base;
        ASSERT_TRUE(apply_delta_in_place(in_place, delta));
        EXPECT_EQ(in_place, wanted);
        in_place = base;
        ASSERT_TRUE(apply_shuffled_delta_in_place(in_place, *shuffle(delta, n), n));
        EXPECT_EQ(in_place, wanted);
      }
    }
  }
}

TEST(Delta, InPlaceLengthsThatDifferLeaveTheBaseAlone) {
  Bytes base = {1, 2, 3, 4};
  const Result<void> plain = apply_delta_in_place(base, Bytes(3, 0xFF));
  const Result<void> shuffled = apply_shuffled_delta_in_place(base, Bytes(5, 0xFF), 2);
  ASSERT_FALSE(plain);
  ASSERT_FALSE(shuffled);
  EXPECT_EQ(plain.error().display(), "Delta error: base length 4 != delta length 3");
  EXPECT_EQ(shuffled.error().display(), "Delta error: base length 4 != delta length 5");
  EXPECT_EQ(base, (Bytes{1, 2, 3, 4}));
}

TEST(Delta, BuffersEqualLooksAtEveryBlock) {
  const Bytes a = test::patterned(3 << 20);
  Bytes last = a, first = a;
  last.back() ^= 1;
  first.front() ^= 1;
  EXPECT_TRUE(buffers_equal(a, Bytes(a)));
  EXPECT_FALSE(buffers_equal(a, last));
  EXPECT_FALSE(buffers_equal(a, first));
  EXPECT_TRUE(buffers_equal({}, {}));
}

TEST(PaysOff, Probe) {
  const Bytes weights = test::normal_floats(16384, 1);   // 64 KiB
  const Bytes other = test::normal_floats(16384, 2);
  Bytes nudged = weights;  // a few elements changed: the XOR is mostly zeros
  for (std::size_t i = 0; i < nudged.size(); i += 4096) nudged[i] ^= 0x5A;
  const CompressionAlgo zstd = CompressionAlgo::zstd(3);
  const CompressionAlgo none = CompressionAlgo::none();
  struct Case {
    const char* what;
    Bytes base, next;
    CompressionAlgo algo;
    std::size_t element;
    double ratio;
    bool expected;
  };
  const Case cases[] = {
      {"8191 bytes whatever they hold", Bytes(8191, 0), Bytes(8191, 0xFF), zstd, 4, 0.0, true},
      {"uncompressed, ratio 1", weights, other, none, 4, 1.0, false},
      {"uncompressed, ratio below 1", Bytes(8192, 0), Bytes(8192, 0), none, 1, 0.95, false},
      {"uncompressed, ratio above 1", weights, other, none, 4, 1.01, true},
      {"identical prefixes", weights, weights, zstd, 4, 0.95, true},
      {"a few bytes changed", weights, nudged, zstd, 4, 0.95, true},
      {"unrelated weights", weights, other, zstd, 4, 0.95, false},
      {"shorter side decides the probe length", Bytes(8191, 0), weights, zstd, 4, 0.0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pays_off(c.base, c.next, c.algo, c.element, c.ratio), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace tarnwick
