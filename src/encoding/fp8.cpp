#include "encoding/fp8.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/blocks.h"
#include "encoding/buffer.h"
#include "encoding/lanes.h"

namespace tarnwick {
namespace {

constexpr std::uint32_t kAbsMask = 0x7FFFFFFF;
constexpr std::uint32_t kInfBits = 0x7F800000;
constexpr std::uint32_t kQuietNanBits = 0x7FC00000;

// Elements of the fp32 side per task.
constexpr std::size_t kBlockElements = kBlockBytes / 4;

using lanes::above;
using lanes::as_bits;
using lanes::as_float;
using lanes::splat;

// The code of y (float32 bits in every lane, or one plain value) in the low
// byte. Branch-free, so that one rule serves lanes and scalars. Normal
// results round the float32 bits directly (the carry moves into the
// exponent) and saturate at max_code, the codes being ordered like the
// magnitudes; subnormal results are |y| in units of the smallest subnormal,
// rounded to nearest even by the float adder: below 2^23, adding 2^23 leaves
// exactly the rounded integer in the mantissa.
template <const Fp8Format& F, class U>
[[gnu::always_inline]] inline U encode(U bits) {
  constexpr int k = F.mantissa_bits;
  constexpr std::uint32_t smallest_normal = std::uint32_t(127 - F.exponent_bias + 1) << 23;
  constexpr std::uint32_t rebias = std::uint32_t(127 - F.exponent_bias) << k;
  constexpr std::uint32_t inf_code = F.has_inf ? F.inf_code : F.nan_code;

  const U sign = (bits >> 24) & 0x80;
  const U a = bits & kAbsMask;
  const U rounded = a + ((1u << (22 - k)) - 1) + ((a >> (23 - k)) & 1);
  U normal = (rounded >> (23 - k)) - rebias;
  normal = above(normal, F.max_code) ? splat<U>(F.max_code) : normal;
  // Subnormal float32 magnitudes encode as 0; zeroing them first keeps the
  // float multiply off the slow path x86 takes for subnormal operands.
  const U normal_a = above(a, 0x007FFFFF) ? a : splat<U>(0);
  const U subnormal = as_bits(as_float(normal_a) * (1.0f / F.min_subnormal) + 0x1p23f) - 0x4B000000;

  U code = above(a, smallest_normal - 1) ? normal : subnormal;
  code = a == kInfBits ? splat<U>(inf_code) : code;
  code = above(a, kInfBits) ? splat<U>(F.nan_code) : code;
  return sign | code;
}

template <const Fp8Format& F>
void encode_block(const std::uint8_t* in, std::uint8_t* out, float inverse, std::size_t begin,
                  std::size_t end) {
  std::size_t i = begin;
  for (; i + lanes::kLanes <= end; i += lanes::kLanes) {
    const lanes::F32 y = as_float(lanes::load<lanes::U32>(in + 4 * i)) * inverse;
    lanes::store(out + i, lanes::narrow8(encode<F>(as_bits(y))));
  }
  for (; i < end; ++i) {
    float x;
    std::memcpy(&x, in + 4 * i, 4);
    out[i] = static_cast<std::uint8_t>(encode<F>(as_bits(x * inverse)));
  }
}

// The float32 bits of the value of the byte v (in every lane, or one plain
// value), unscaled: the decoding table's rule.
template <const Fp8Format& F, class U>
[[gnu::always_inline]] inline U decode(U v) {
  constexpr int k = F.mantissa_bits;
  const U sign = (v & 0x80) << 24;
  const U magnitude = v & 0x7F;
  const U mantissa = magnitude & ((1u << k) - 1);
  const U normal = (magnitude << (23 - k)) + (std::uint32_t(127 - F.exponent_bias) << 23);
  const U subnormal = as_bits(lanes::to_float(mantissa) * F.min_subnormal);
  U value = above(magnitude, (1u << k) - 1) ? normal : subnormal;
  if constexpr (F.has_inf) {
    const U special = mantissa == 0 ? splat<U>(kInfBits) : splat<U>(kQuietNanBits);
    value = above(magnitude, (0x7Fu >> k << k) - 1) ? special : value;
  } else {
    value = magnitude == 0x7F ? splat<U>(kQuietNanBits) : value;
  }
  return value | sign;
}

template <const Fp8Format& F>
void decode_block(const std::uint8_t* in, std::uint8_t* out, float scale, std::size_t begin,
                  std::size_t end, bool stream) {
  std::size_t i = begin;
  for (; i + lanes::kLanes <= end; i += lanes::kLanes) {
    const lanes::U32 v = lanes::widen8(in + i);
    lanes::store(out + 4 * i, as_float(decode<F>(v)) * scale, stream);
  }
  if (stream) _mm_sfence();
  for (; i < end; ++i) {
    const float value = as_float(decode<F>(std::uint32_t{in[i]})) * scale;
    std::memcpy(out + 4 * i, &value, 4);
  }
}

// The largest finite magnitude among elements [begin, end), as float32
// bits: finite magnitudes order like their bits; others count as 0.
std::uint32_t block_amax(const std::uint8_t* in, std::size_t begin, std::size_t end) {
  constexpr std::size_t kStep = 4 * lanes::kLanes;  // four running maxima hide the latency
  lanes::U32 best[4] = {};
  std::size_t i = begin;
  for (; i + kStep <= end; i += kStep) {
    for (std::size_t j = 0; j < 4; ++j) {
      const lanes::U32 a = lanes::load<lanes::U32>(in + 4 * (i + j * lanes::kLanes)) & kAbsMask;
      const lanes::U32 finite = above(a, kInfBits - 1) ? splat(0) : a;
      best[j] = reinterpret_cast<lanes::I32>(finite) > reinterpret_cast<lanes::I32>(best[j]) ? finite : best[j];
    }
  }
  std::uint32_t result = 0;
  for (const lanes::U32& lane_max : best) {
    for (std::size_t j = 0; j < lanes::kLanes; ++j) result = std::max(result, lane_max[j]);
  }
  for (; i < end; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, in + 4 * i, 4);
    const std::uint32_t a = bits & kAbsMask;
    if (a < kInfBits) result = std::max(result, a);
  }
  return result;
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
    lanes::vectorized([&] { block_max[begin / kBlockElements] = block_amax(fp32.data(), begin, end); });
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
    lanes::vectorized([&] {
      if (e5m2) {
        encode_block<E5M2>(fp32.data(), out.data(), inverse, begin, end);
      } else {
        encode_block<E4M3FN>(fp32.data(), out.data(), inverse, begin, end);
      }
    });
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
  TRY(Bytes out, allocate_output(data.size() * 4));
  const bool e5m2 = format.name == E5M2.name;
  const bool stream = lanes::streams(out.data(), out.size());
  for_each_block(data.size(), kBlockElements, [&](std::size_t begin, std::size_t end) {
    lanes::vectorized([&] {
      if (e5m2) {
        decode_block<E5M2>(data.data(), out.data(), scale, begin, end, stream);
      } else {
        decode_block<E4M3FN>(data.data(), out.data(), scale, begin, end, stream);
      }
    });
  });
  return out;
}

}  // namespace tarnwick
