#include "encoding/fp8.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_data.h"

namespace tarnwick {
namespace {

using test::as_float;
using test::bits_of;

// The encoding rule written out step by step, to check the branch-free one.
std::uint8_t reference_encode(float y, const Fp8Format& f) {
  const std::uint32_t b = bits_of(y);
  const std::uint8_t s = (b >> 31) ? 0x80 : 0;
  if (std::isnan(y)) return s | f.nan_code;
  if (y == 0.0f) return s;
  if (std::isinf(y)) return s | (f.has_inf ? f.inf_code : f.nan_code);
  int e = static_cast<int>((b >> 23) & 0xFF) - 127 + f.exponent_bias;
  const std::uint32_t m = (b & 0x7FFFFF) | 0x800000;
  const int k = f.mantissa_bits;
  auto round_shift = [](std::uint32_t value, int shift) {
    const std::uint32_t q = value >> shift;
    const std::uint32_t rest = value & ((1u << shift) - 1);
    const std::uint32_t half = 1u << (shift - 1);
    return q + ((rest > half || (rest == half && (q & 1))) ? 1 : 0);
  };
  if (e >= 1) {
    std::uint32_t q = round_shift(m, 23 - k);
    std::uint32_t mantissa;
    if (q == (1u << (k + 1))) {
      ++e;
      mantissa = 0;
    } else {
      mantissa = q & ((1u << k) - 1);
    }
    if (e > f.max_exponent_field ||
        (e == f.max_exponent_field && static_cast<int>(mantissa) > f.max_mantissa_at_max_exponent)) {
      return s | f.max_code;
    }
    return static_cast<std::uint8_t>(s | (e << k) | mantissa);
  }
  const int shift = 24 - k - e;
  if (shift >= 32) return s;
  return static_cast<std::uint8_t>(s | round_shift(m, shift));
}

std::uint8_t encode_one(float x, const Fp8Format& format, float scale = 1.0f) {
  return (*fp32_to_fp8(test::bytes_of_values<float>({x}), format, scale))[0];
}

TEST(Fp8, EncodingVectors) {
  struct Case {
    const Fp8Format& format;
    float value;
    std::uint8_t code;
  };
  const Case cases[] = {
      {E4M3FN, 448.0f, 0x7E},     {E4M3FN, 480.0f, 0x7E},        {E4M3FN, 1000.0f, 0x7E},
      {E4M3FN, INFINITY, 0x7F},   {E4M3FN, -448.0f, 0xFE},       {E4M3FN, 0.5f, 0x30},
      {E4M3FN, 0x1p-10f, 0x00},   {E4M3FN, 0x1p-9f, 0x01},       {E4M3FN, -0.0f, 0x80},
      {E4M3FN, NAN, 0x7F},        {E4M3FN, 0x1.ep-7f, 0x08},     {E4M3FN, 1.0625f, 0x38},
      {E5M2, 57344.0f, 0x7B},     {E5M2, 65536.0f, 0x7B},        {E5M2, INFINITY, 0x7C},
      {E5M2, -INFINITY, 0xFC},    {E5M2, NAN, 0x7E},             {E5M2, 0x1p-16f, 0x01},
      {E5M2, 1.0f, 0x3C},         {E5M2, 1.125f, 0x3C},          {E5M2, 1.375f, 0x3E},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encode_one(c.value, c.format), c.code) << c.format.name << " " << c.value;
  }
}

TEST(Fp8, EncodingMatchesTheStepwiseRuleAcrossFloat32) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    for (const Fp8Format* format : {&E4M3FN, &E5M2}) {
      std::vector<float> values;
      for (std::uint64_t b = 0; b <= 0xFFFFFFFFu; b += 4093) {
        for (std::uint32_t d : {0u, 1u, 0x7FFFFu, 0x80000u, 0x80001u, 0xFFFFFu, 0x100000u}) {
          values.push_back(as_float(static_cast<std::uint32_t>(b) ^ d));
        }
      }
      Bytes in(values.size() * 4);
      std::memcpy(in.data(), values.data(), in.size());
      const Bytes out = *fp32_to_fp8(in, *format, 1.0f);
      std::size_t mismatches = 0;
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (out[i] != reference_encode(values[i], *format) && ++mismatches < 5) {
          ADD_FAILURE() << format->name << " bits " << std::hex << bits_of(values[i]);
        }
      }
      EXPECT_EQ(mismatches, 0u);
    }
  }
}

TEST(Fp8, EveryFiniteByteRoundTrips) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    for (const Fp8Format* format : {&E4M3FN, &E5M2}) {
      const std::array<float, 256> table = fp8_decode_table(*format, 1.0f);
      Bytes codes, floats;
      for (int v = 0; v < 256; ++v) {
        if (!std::isfinite(table[v])) continue;
        codes.push_back(static_cast<std::uint8_t>(v));
      }
      floats = *fp8_to_fp32(codes, *format, 1.0f);
      EXPECT_EQ(*fp32_to_fp8(floats, *format, 1.0f), codes) << format->name;
      EXPECT_EQ(codes.size(), format->has_inf ? 248u : 254u) << format->name;
    }
  }
}

TEST(Fp8, DecodingTable) {
  const std::array<float, 256> e4m3 = fp8_decode_table(E4M3FN, 1.0f);
  const std::array<float, 256> e5m2 = fp8_decode_table(E5M2, 2.0f);
  EXPECT_EQ(e4m3[0x7E], 448.0f);
  EXPECT_EQ(e4m3[0x01], 0x1p-9f);
  EXPECT_EQ(e4m3[0xB8], -1.0f);
  EXPECT_TRUE(std::isnan(e4m3[0x7F]) && std::isnan(e4m3[0xFF]));
  EXPECT_EQ(e4m3[0x78], 256.0f);  // exponent field 15 is an ordinary exponent
  EXPECT_EQ(e5m2[0x7B], 2 * 57344.0f);
  EXPECT_EQ(e5m2[0x7C], INFINITY);
  EXPECT_EQ(e5m2[0xFC], -INFINITY);
  EXPECT_TRUE(std::isnan(e5m2[0x7D]));
  EXPECT_EQ(e5m2[0x01], 0x1p-15f);
}

// Decoding runs in vector steps with a scalar tail; both must give the
// table's bits, NaNs included.
TEST(Fp8, DecodingMatchesTheTableBitForBit) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    // Large enough for several blocks and a streamed output.
    Bytes every(lanes::kStreamFrom / 4 + 5);
    for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::uint8_t>(i * 7);
    for (const Fp8Format* format : {&E4M3FN, &E5M2}) {
      for (const float scale : {1.0f, 0.37f, 3e-20f, 65504.0f}) {
        const std::array<float, 256> table = fp8_decode_table(*format, scale);
        const Bytes decoded = *fp8_to_fp32(every, *format, scale);
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < every.size(); ++i) {
          mismatches += test::value_at<std::uint32_t>(decoded, i) != bits_of(table[every[i]]);
        }
        EXPECT_EQ(mismatches, 0u) << format->name << " scale " << scale;
      }
    }
  }
}

TEST(Fp8, FiniteAmaxIgnoresNonFiniteValues) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    EXPECT_EQ(finite_amax(test::bytes_of_values<float>({1.0f, -3.0f, NAN, INFINITY, -INFINITY})), 3.0f);
    EXPECT_EQ(finite_amax(test::bytes_of_values<float>({NAN, -INFINITY})), 0.0f);
    EXPECT_EQ(finite_amax({}), 0.0f);
    Bytes mixed = test::bytes_of_values<float>({0x1p-140f, -2.5f, NAN, 1.0f, INFINITY, -0.0f, 2.0f, 0.5f,
                                                 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, -7.0f});
    EXPECT_EQ(finite_amax(mixed), 7.0f);  // the maximum in the scalar tail
    EXPECT_EQ(finite_amax(ByteSpan(mixed).first(64)), 2.5f);
    EXPECT_EQ(finite_amax(test::bytes_of_values<float>({0x1p-140f, -0x1p-139f})), 0x1p-139f);
    Bytes large = test::normal_floats(3 << 20);
    const float big = -1234.5f;
    std::memcpy(large.data() + large.size() - 4, &big, 4);
    EXPECT_EQ(finite_amax(large), 1234.5f);
  }
}

TEST(Fp8, ScaleFallsBackToOneWhenNotNormal) {
  EXPECT_EQ(fp8_scale(896.0f, E4M3FN), 2.0f);
  EXPECT_EQ(fp8_scale(0.0f, E4M3FN), 1.0f);
  EXPECT_EQ(fp8_scale(0x1p-140f, E4M3FN), 1.0f);  // subnormal ratio
  EXPECT_EQ(fp8_scale(57344.0f, E5M2), 1.0f);
}

TEST(Fp8, LengthMustHoldWholeFloats) {
  const Result<Bytes> r = fp32_to_fp8(Bytes(6), E4M3FN, 1.0f);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "Invalid configuration: fp32 data length 6 is not a multiple of 4");
}

}  // namespace
}  // namespace tarnwick
