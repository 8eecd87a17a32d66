#include "encoding/cast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "encoding/float_kernels.h"
#include "test_data.h"

namespace tarnwick {
namespace {

using test::as_float;
using test::bits_of;
using test::bytes_of_values;
using test::value_at;

std::uint16_t narrow_one(float x, const char* dtype) {
  return value_at<std::uint16_t>(*narrow_from_fp32(bytes_of_values<float>({x}), dtype), 0);
}

float widen_one(std::uint16_t h, const char* dtype) {
  return value_at<float>(*widen_to_fp32(bytes_of_values<std::uint16_t>({h}), dtype), 0);
}

// The float16 rounding rule written out step by step.
std::uint16_t reference_fp16(std::uint32_t b) {
  const std::uint16_t s = static_cast<std::uint16_t>((b >> 16) & 0x8000);
  const std::uint32_t e = (b >> 23) & 0xFF;
  const std::uint32_t m = b & 0x7FFFFF;
  if (e == 255) return s | (m != 0 ? 0x7E00 : 0x7C00);
  if (e >= 143) return s | 0x7C00;
  if (e >= 113) return s | static_cast<std::uint16_t>(((e - 112) << 10) + (m >> 13) + ((m >> 12) & 1));
  if (e >= 102) {
    const std::uint32_t t = (m | 0x800000) >> (113 - e);
    return s | static_cast<std::uint16_t>((t >> 13) + ((t >> 12) & 1));
  }
  return s;
}

TEST(Cast, Bf16RoundsToNearestEven) {
  const std::pair<float, std::uint16_t> cases[] = {
      {1.0f + 0x1p-8f, 0x3F80},  // halfway, even below
      {1.0f + 3 * 0x1p-8f, 0x3F82},
      {1.0f + 0x1p-8f + 0x1p-20f, 0x3F81},
      {-2.0f, 0xC000},
      {as_float(0x7F7FFFFF), 0x7F80},  // past the largest finite: infinity
      {as_float(0x7F800001), 0x7FC0},  // signalling NaN comes back quiet
      {as_float(0xFF812345), 0xFFC1},
      {-0.0f, 0x8000},
  };
  for (const auto& [x, bits] : cases) EXPECT_EQ(narrow_one(x, "bfloat16"), bits) << std::hex << bits_of(x);
}

TEST(Cast, Fp16RoundsTiesAwayFromZero) {
  const std::pair<float, std::uint16_t> cases[] = {
      {1.0f + 0x1p-11f, 0x3C01},  {0x1p-25f, 0x0001},        {-0x1p-25f, 0x8001},
      {0x1p-26f, 0x0000},         {0x1p-24f, 0x0001},        {0x1p-14f, 0x0400},
      {65504.0f, 0x7BFF},         {65520.0f, 0x7C00},        {65519.0f, 0x7BFF},
      {1e10f, 0x7C00},            {-INFINITY, 0xFC00},       {as_float(0x7F800123), 0x7E00},
      {-0.0f, 0x8000},            {0x1.ffcp-15f, 0x0400},    {1.0f + 3 * 0x1p-11f, 0x3C02},
  };
  for (const auto& [x, bits] : cases) EXPECT_EQ(narrow_one(x, "float16"), bits) << std::hex << bits_of(x);
}

// Also checks that the lanes and the scalar rules agree, bf16 included.
TEST(Cast, Fp16MatchesTheStepwiseRuleAcrossFloat32) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    Bytes in;
    std::vector<std::uint32_t> patterns;
    for (std::uint64_t b = 0; b <= 0xFFFFFFFFu; b += 4099) {
      for (std::uint32_t d : {0u, 0x1000u, 0x0FFFu, 0x1FFFu}) patterns.push_back(static_cast<std::uint32_t>(b) ^ d);
    }
    in.resize(patterns.size() * 4);
    std::memcpy(in.data(), patterns.data(), in.size());
    const Bytes out = *narrow_from_fp32(in, "float16");
    const Bytes bf16 = *narrow_from_fp32(in, "bfloat16");
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      const std::uint16_t expected = reference_fp16(patterns[i]);
      const bool same = value_at<std::uint16_t>(out, i) == expected &&
                        kernels::Fp32ToFp16::one(patterns[i]) == expected &&
                        kernels::Fp32ToBf16::one(patterns[i]) == value_at<std::uint16_t>(bf16, i);
      if (!same && ++mismatches < 5) {
        ADD_FAILURE() << std::hex << patterns[i];
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

// Widening is exact: every 16-bit value comes back from float32 unchanged
// (NaNs as the narrowing rules make them).
TEST(Cast, EveryHalfAndBfloatValueWidensExactly) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    Bytes all(65536 * 2);
    for (std::uint32_t h = 0; h < 65536; ++h) std::memcpy(all.data() + 2 * h, &h, 2);
    for (const char* dtype : {"float16", "bfloat16"}) {
      const Bytes wide = *widen_to_fp32(all, dtype);
      const Bytes back = *narrow_from_fp32(wide, dtype);
      for (std::uint32_t h = 0; h < 65536; ++h) {
        const std::uint16_t got = value_at<std::uint16_t>(back, h);
        const float value = value_at<float>(wide, h);
        const std::uint32_t one = std::string(dtype) == "float16" ? kernels::Fp16ToFp32::one(h)
                                                                   : kernels::Bf16ToFp32::one(h);
        ASSERT_EQ(bits_of(value), one) << dtype << " " << h << ": lanes and scalar rule differ";
        if (std::isnan(value)) {
          const std::uint16_t quiet = std::string(dtype) == "float16" ? (h & 0x8000) | 0x7E00 : h | 0x0040;
          EXPECT_EQ(got, quiet) << dtype << " " << h;
        } else {
          ASSERT_EQ(got, h) << dtype << " " << h;
        }
      }
    }
    EXPECT_EQ(widen_one(0x0001, "float16"), 0x1p-24f);
    EXPECT_EQ(widen_one(0x3C01, "float16"), 1.0f + 0x1p-10f);
    EXPECT_EQ(bits_of(widen_one(0xFE01, "float16")), 0xFFC02000u);  // NaN payload on top
    EXPECT_EQ(widen_one(0x3F80, "bfloat16"), 1.0f);
  }
}

TEST(Cast, Fp64ConvertsWithTheProcessorRounding) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    const Bytes doubles = bytes_of_values<double>({1.0 + 0x1p-24, 1.0 + 3 * 0x1p-24, 1e300, -0.1});
    const Bytes singles = *widen_to_fp32(doubles, "float64");
    EXPECT_EQ(value_at<float>(singles, 0), 1.0f);
    EXPECT_EQ(value_at<float>(singles, 1), 1.0f + 0x1p-22f);
    EXPECT_EQ(value_at<float>(singles, 2), INFINITY);
    EXPECT_EQ(value_at<float>(singles, 3), -0.1f);
    const Bytes back = *narrow_from_fp32(singles, "float64");
    EXPECT_EQ(value_at<double>(back, 3), static_cast<double>(-0.1f));
  }
}

TEST(Cast, LengthAndDtypeErrors) {
  struct Case {
    Result<Bytes> result;
    std::string text;
  };
  const Case cases[] = {
      {widen_to_fp32(Bytes(3), "bfloat16"), "bf16 data length 3 is not a multiple of 2"},
      {widen_to_fp32(Bytes(5), "float16"), "fp16 data length 5 is not a multiple of 2"},
      {widen_to_fp32(Bytes(12), "float64"), "fp64 data length 12 is not a multiple of 8"},
      {widen_to_fp32(Bytes(4), "int32"), "'int32' is not a float dtype this build can cast"},
      {narrow_from_fp32(Bytes(6), "bfloat16"), "fp32 data length 6 is not a multiple of 4"},
      {narrow_from_fp32(Bytes(6), "float16"), "fp32 data length 6 is not a multiple of 4"},
      {narrow_from_fp32(Bytes(6), "float64"), "fp32 data length 6 is not a multiple of 4"},
      {narrow_from_fp32(Bytes(6), "half"), "'half' is not a float dtype this build can cast"},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(c.result) << c.text;
    EXPECT_EQ(c.result.error().display(), "Invalid configuration: " + c.text);
  }
}

TEST(CastForSave, WhichTensorsAreCast) {
  const DType bf16{DType::Bf16}, fp32{DType::Fp32}, fp64{DType::Fp64}, none{DType::None};
  const Bytes four = Bytes(8, 0);
  struct Case {
    const char* dtype;
    DType target;
    bool cast;
    const char* stored;
  };
  const Case cases[] = {
      {"int64", bf16, false, "int64"},         {"float32", fp32, false, "float32"},
      {"float32", none, false, "float32"},     {"float8_e4m3fn", bf16, false, "float8_e4m3fn"},
      {"Float32", bf16, false, "Float32"},     {"float32", fp64, true, "float64"},
      {"float32", bf16, true, "bfloat16"},     {"bfloat16", fp32, true, "float32"},
      {"float64", bf16, true, "bfloat16"},     {"float16", bf16, true, "bfloat16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dtype << " -> " << c.stored);
    const Result<CastResult> r = cast_for_save(four, c.dtype, c.target);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->bytes.has_value(), c.cast);
    EXPECT_EQ(r->dtype, c.stored);
    EXPECT_EQ(r->original_dtype.has_value(), c.cast);
    if (c.cast) {
      EXPECT_EQ(*r->original_dtype, c.dtype);
    }
    EXPECT_FALSE(r->quant_scale);
  }
  const Result<CastResult> widened = cast_for_save(bytes_of_values<float>({1.5f}), "float32", fp64);
  EXPECT_EQ(*widened->bytes, bytes_of_values<double>({1.5}));
}

TEST(CastForSave, Fp8CarriesItsScaleAndComesBack) {
  const Bytes tensor = bytes_of_values<float>({1.0f, -896.0f, NAN, INFINITY});
  const Result<CastResult> r = cast_for_save(tensor, "float32", DType{DType::Fp8E4m3});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->dtype, "float8_e4m3fn");
  EXPECT_EQ(r->quant_scale, 2.0f);
  EXPECT_EQ(*r->bytes, (Bytes{0x30, 0xFE, 0x7F, 0x7F}));

  const Bytes back = *cast_back(*r->bytes, r->dtype, r->original_dtype, r->quant_scale);
  ASSERT_EQ(back.size(), 16u);
  EXPECT_EQ(value_at<float>(back, 0), 1.0f);
  EXPECT_EQ(value_at<float>(back, 1), -896.0f);
  EXPECT_TRUE(std::isnan(value_at<float>(back, 2)));
  EXPECT_TRUE(std::isnan(value_at<float>(back, 3)));

  const Result<CastResult> zeros = cast_for_save(Bytes(64, 0), "float32", DType{DType::Fp8E5m2});
  EXPECT_EQ(zeros->quant_scale, 1.0f);
  EXPECT_EQ(zeros->dtype, "float8_e5m2");
}

TEST(CastForSave, Fp16ThroughFp8ComesBackAsFp16) {
  // 1, -5, 0, 448: all exact in float8_e4m3fn at scale 1.
  const Bytes halves = bytes_of_values<std::uint16_t>({0x3C00, 0xC500, 0x0000, 0x5F00});
  const Result<CastResult> r = cast_for_save(halves, "float16", DType{DType::Fp8E4m3});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->quant_scale, 1.0f);
  EXPECT_EQ(*r->bytes, (Bytes{0x38, 0xCA, 0x00, 0x7E}));
  EXPECT_EQ(*cast_back(*r->bytes, r->dtype, r->original_dtype, r->quant_scale), halves);
}

TEST(CastForSave, BadLengthFailsTheCast) {
  const Result<CastResult> r = cast_for_save(Bytes(6), "float32", DType{DType::Bf16});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "Invalid configuration: fp32 data length 6 is not a multiple of 4");
  const Result<CastResult> fp8 = cast_for_save(Bytes(6), "float32", DType{DType::Fp8E4m3});
  ASSERT_FALSE(fp8);
  EXPECT_EQ(fp8.error().display(), "Invalid configuration: fp32 data length 6 is not a multiple of 4");
}

TEST(CastBack, TurnsStoredBytesIntoTheCallersDtype) {
  const Bytes one_bf16 = bytes_of_values<std::uint16_t>({0x3F80});
  struct Case {
    const char* what;
    Bytes stored;
    const char* dtype;
    std::optional<std::string> original;
    std::optional<float> scale;
    Bytes expected;
  };
  const Case cases[] = {
      {"no original dtype", one_bf16, "bfloat16", std::nullopt, std::nullopt, one_bf16},
      {"same dtype", one_bf16, "bfloat16", "bfloat16", std::nullopt, one_bf16},
      {"bf16 back to float32", one_bf16, "bfloat16", "float32", std::nullopt, bytes_of_values<float>({1.0f})},
      {"float32 back to float16", bytes_of_values<float>({1.0f}), "float32", "float16", std::nullopt,
       bytes_of_values<std::uint16_t>({0x3C00})},
      {"bf16 back to float64", one_bf16, "bfloat16", "float64", std::nullopt, bytes_of_values<double>({1.0})},
      {"not a cast", Bytes{1, 2}, "int16", "float32", std::nullopt, Bytes{1, 2}},
      {"fp8 with scale", Bytes{0x38}, "float8_e5m2", "float32", 0.5f, bytes_of_values<float>({0.25f})},
  };
  for (const Case& c : cases) {
    const Result<Bytes> back = cast_back(c.stored, c.dtype, c.original, c.scale);
    ASSERT_TRUE(back) << c.what;
    EXPECT_EQ(*back, c.expected) << c.what;
  }
}

TEST(CastBack, Fp8WithoutScaleFails) {
  const Result<Bytes> back = cast_back(Bytes{0x30}, "float8_e4m3fn", std::string("float16"), std::nullopt);
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error().display(),
            "Invalid configuration: tensor stored as float8_e4m3fn carries no quant_scale; its bytes "
            "cannot be turned back into float16 without it");
}

// A load sizes the caller's buffer with cast_back_size before decoding:
// it must agree with what cast_back produces, errors included.
TEST(CastBack, SizeKnownUpFrontMatchesTheCast) {
  struct Case {
    const char* dtype;
    std::optional<std::string> original;
    std::optional<float> scale;
    std::size_t stored;
  };
  const Case cases[] = {
      {"bfloat16", "float32", std::nullopt, 6},     {"bfloat16", "float32", std::nullopt, 3},
      {"float32", "float16", std::nullopt, 8},      {"float32", "bfloat16", std::nullopt, 6},
      {"float16", "bfloat16", std::nullopt, 4},     {"float64", "float16", std::nullopt, 12},
      {"float16", "float64", std::nullopt, 6},      {"float8_e4m3fn", "float32", 2.0f, 5},
      {"float8_e4m3fn", "float16", 2.0f, 5},        {"float8_e5m2", "float16", std::nullopt, 5},
      {"float8_e5m2", "int8", 1.0f, 3},             {"int16", "float32", std::nullopt, 3},
      {"float32", std::nullopt, std::nullopt, 7},   {"float32", "float32", std::nullopt, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dtype << " -> " << c.original.value_or("none") << ", "
                                    << c.stored << " bytes");
    const Result<std::uint64_t> size = cast_back_size(c.stored, c.dtype, c.original, c.scale);
    const Result<Bytes> cast = cast_back(test::patterned(c.stored), c.dtype, c.original, c.scale);
    ASSERT_EQ(size.has_value(), cast.has_value());
    if (cast) {
      EXPECT_EQ(*size, cast->size());
      Bytes out(*size + 1, 0xA5);
      ASSERT_TRUE(cast_back_into(test::patterned(c.stored), c.dtype, c.original, c.scale,
                                 MutableByteSpan(out).first(*size)));
      EXPECT_TRUE(std::equal(cast->begin(), cast->end(), out.begin()));
      EXPECT_EQ(out.back(), 0xA5);
    } else {
      EXPECT_EQ(size.error(), cast.error());
    }
  }
}

TEST(CastBack, IntoABufferOfAnotherLengthFails) {
  Bytes out(3, 0xA5);
  const Result<void> done =
      cast_back_into(Bytes(4), "bfloat16", std::string("float32"), std::nullopt, out);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().display(),
            "Invalid configuration: cast back of 4 stored bytes needs 8 bytes, not 3");
  EXPECT_EQ(out, Bytes(3, 0xA5));
}

TEST(CastForSave, LargeTensorsMatchElementwiseCasts) {
  for (const bool baseline : test::kBothKernelBuilds) {
    SCOPED_TRACE(baseline ? "baseline kernels" : "best kernels");
    test::KernelBuild build(baseline);
    // Several blocks, and an output large enough to be streamed.
    const Bytes weights = test::normal_floats(lanes::kStreamFrom / 2 + 13);
    const Bytes bf16 = *cast_for_save(weights, "float32", DType{DType::Bf16})->bytes;
    ASSERT_EQ(bf16.size(), weights.size() / 2);
    for (std::size_t i = 0; i < weights.size() / 4; i += 997) {
      EXPECT_EQ(value_at<std::uint16_t>(bf16, i), narrow_one(value_at<float>(weights, i), "bfloat16"));
    }
  }
}

}  // namespace
}  // namespace tarnwick
