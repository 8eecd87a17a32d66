#include "encoding/fp8.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/blocks.h"
#include "encoding/buffer.h"

namespace tarnwick {
namespace {

constexpr std::uint32_t kAbsMask = 0x7FFFFFFF;
constexpr std::uint32_t kInfBits = 0x7F800000;

// Elements of the fp32 side per task.
constexpr std::size_t kBlockElements = kBlockBytes / 4;

// One element, branch-free so that the loop vectorizes. Normal results
// round the float32 bits directly (the carry moves into the exponent);
// subnormal results are |y| in units of the smallest subnormal, rounded to
// nearest even by the float adder: below 2^23, adding 2^23 leaves exactly
// the rounded integer in the mantissa.
template <const Fp8Format& F>
inline std::uint8_t encode(float y) {
  constexpr int k = F.mantissa_bits;
  constexpr std::uint32_t smallest_normal = std::uint32_t(127 - F.exponent_bias + 1) << 23;
  constexpr std::uint32_t rebias = std::uint32_t(127 - F.exponent_bias) << k;
  constexpr float to_subnormal_units = 1.0f / F.min_subnormal;
  constexpr std::uint32_t inf_result = F.has_inf ? F.inf_code : F.nan_code;

  const std::uint32_t bits = std::bit_cast<std::uint32_t>(y);
  const std::uint32_t sign = (bits >> 24) & 0x80;
  const std::uint32_t a = bits & kAbsMask;

  const std::uint32_t rounded = a + ((1u << (22 - k)) - 1) + ((a >> (23 - k)) & 1);
  const std::uint32_t normal = std::min<std::uint32_t>((rounded >> (23 - k)) - rebias, F.max_code);
  const float units = std::bit_cast<float>(a) * to_subnormal_units + 0x1p23f;
  const std::uint32_t subnormal = std::bit_cast<std::uint32_t>(units) - 0x4B000000;

  std::uint32_t code = a >= smallest_normal ? normal : subnormal;
  code = a == kInfBits ? inf_result : code;
  code = a > kInfBits ? F.nan_code : code;
  return static_cast<std::uint8_t>(sign | code);
}

template <const Fp8Format& F>
void encode_block(const std::uint8_t* in, std::uint8_t* out, float inverse, std::size_t begin,
                  std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    float x;
    std::memcpy(&x, in + 4 * i, 4);
    out[i] = encode<F>(x * inverse);
  }
}

}  // namespace

const Fp8Format* fp8_format(std::string_view dtype) {
  if (dtype == E4M3FN.name) return &E4M3FN;
  if (dtype == E5M2.name) return &E5M2;
  return nullptr;
}

float finite_amax(ByteSpan fp32) {
  const std::size_t count = fp32.size() / 4;
  // Magnitudes compare as their bit patterns; non-finite ones are skipped.
  std::vector<std::uint32_t> block_max(block_count(count, kBlockElements), 0);
  for_each_block(count, kBlockElements, [&](std::size_t begin, std::size_t end) {
    std::uint32_t best = 0;
    for (std::size_t i = begin; i < end; ++i) {
      std::uint32_t bits;
      std::memcpy(&bits, fp32.data() + 4 * i, 4);
      const std::uint32_t a = bits & kAbsMask;
      best = a < kInfBits ? std::max(best, a) : best;
    }
    block_max[begin / kBlockElements] = best;
  });
  std::uint32_t best = 0;
  for (const std::uint32_t m : block_max) best = std::max(best, m);
  return std::bit_cast<float>(best);
}

float fp8_scale(float amax, const Fp8Format& format) {
  const float scale = amax / format.max_finite;
  return std::isnormal(scale) ? scale : 1.0f;
}

Result<Bytes> fp32_to_fp8(ByteSpan fp32, const Fp8Format& format, float scale) {
  if (fp32.size() % 4 != 0) {
    return Err(TarnwickError::invalid_config("fp32 data length " + std::to_string(fp32.size()) +
                                             " is not a multiple of 4"));
  }
  const std::size_t count = fp32.size() / 4;
  TRY(Bytes out, allocate_output(count));
  const float inverse = 1.0f / scale;
  const bool e5m2 = format.name == E5M2.name;
  for_each_block(count, kBlockElements, [&](std::size_t begin, std::size_t end) {
    if (e5m2) {
      encode_block<E5M2>(fp32.data(), out.data(), inverse, begin, end);
    } else {
      encode_block<E4M3FN>(fp32.data(), out.data(), inverse, begin, end);
    }
  });
  return out;
}

std::array<float, 256> fp8_decode_table(const Fp8Format& format, float scale) {
  std::array<float, 256> table{};
  const int k = format.mantissa_bits;
  const int all_exponent = (1 << format.exponent_bits) - 1;
  const int all_mantissa = (1 << k) - 1;
  for (int v = 0; v < 256; ++v) {
    const int e = (v >> k) & all_exponent;
    const int f = v & all_mantissa;
    float value;
    if (format.has_inf && e == all_exponent) {
      value = f == 0 ? INFINITY : NAN;
    } else if (!format.has_inf && e == all_exponent && f == all_mantissa) {
      value = NAN;
    } else if (e != 0) {
      value = std::ldexp(1.0f + static_cast<float>(f) / static_cast<float>(1 << k),
                         e - format.exponent_bias);
    } else {
      value = static_cast<float>(f) * format.min_subnormal;
    }
    if (v & 0x80) value = -value;
    table[v] = value * scale;
  }
  return table;
}

Result<Bytes> fp8_to_fp32(ByteSpan data, const Fp8Format& format, float scale) {
  const std::array<float, 256> table = fp8_decode_table(format, scale);
  TRY(Bytes out, allocate_output(data.size() * 4));
  for_each_block(data.size(), kBlockElements, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      std::memcpy(out.data() + 4 * i, &table[data[i]], 4);
    }
  });
  return out;
}

}  // namespace tarnwick
