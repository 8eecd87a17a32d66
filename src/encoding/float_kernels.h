#pragma once
// Element conversions between float32 and the 16-bit float formats, each as
// a scalar rule and as the same rule over eight lanes (lanes.h), which must
// give the same bits. The compiler does not vectorize the scalar rules by
// itself (selects between cases, 32-to-16-bit packing), and they run over
// every element of a cast tensor.

#include <bit>
#include <cstdint>

#include "encoding/lanes.h"

namespace tarnwick::kernels {

using lanes::above;
using lanes::F32;
using lanes::I32;
using lanes::splat;
using lanes::U16;
using lanes::U32;

// bfloat16 to float32: exact, the 16 bits become the high half.
struct Bf16ToFp32 {
  using In = std::uint16_t;
  using Out = std::uint32_t;
  static Out one(In h) { return Out{h} << 16; }
  [[gnu::always_inline]] static U32 eight(U16 h) { return lanes::widen16(h) << 16; }
};

// float16 to float32: exact. Subnormal halves are their integer mantissa
// times 2^-24, which float arithmetic gives exactly; infinities and NaNs keep
// their payload, moved to the top of the single's mantissa.
struct Fp16ToFp32 {
  using In = std::uint16_t;
  using Out = std::uint32_t;
  static Out one(In h) {
    const std::uint32_t sign = std::uint32_t(h & 0x8000) << 16;
    const std::uint32_t magnitude = h & 0x7FFF;
    std::uint32_t bits = (magnitude << 13) + 0x38000000;
    if (magnitude >= 0x7C00) bits += 0x38000000;  // exponent all ones
    if (magnitude < 0x0400) {
      bits = std::bit_cast<std::uint32_t>(static_cast<float>(magnitude) * 0x1p-24f);
    }
    return sign | bits;
  }
  [[gnu::always_inline]] static U32 eight(U16 h16) {
    const U32 h = lanes::widen16(h16);
    const U32 sign = (h & 0x8000) << 16;
    const U32 magnitude = h & 0x7FFF;
    U32 bits = (magnitude << 13) + 0x38000000;
    bits = above(magnitude, 0x7BFF) ? bits + 0x38000000 : bits;
    const F32 scaled = __builtin_convertvector(reinterpret_cast<I32>(magnitude), F32) * 0x1p-24f;
    bits = above(magnitude, 0x03FF) ? bits : reinterpret_cast<U32>(scaled);
    return sign | bits;
  }
};

// float32 to bfloat16: round to nearest, ties to even (past the largest
// finite value: infinity); a NaN becomes a quiet NaN with its sign.
struct Fp32ToBf16 {
  using In = std::uint32_t;
  using Out = std::uint16_t;
  static Out one(In b) {
    if ((b & 0x7FFFFFFF) > 0x7F800000) return static_cast<Out>((b >> 16) | 0x0040);
    return static_cast<Out>((b + 0x7FFF + ((b >> 16) & 1)) >> 16);
  }
  [[gnu::always_inline]] static U16 eight(U32 b) {
    const U32 rounded = (b + 0x7FFF + ((b >> 16) & 1)) >> 16;
    const U32 bits = above(b & 0x7FFFFFFF, 0x7F800000) ? (b >> 16) | 0x0040 : rounded;
    return lanes::narrow16(bits);
  }
};

// float32 to float16: round to nearest, ties away from zero (the first
// dropped bit is added). Normal results take the float32 bits shifted into
// place, the carry running into the exponent and at the top into infinity.
// Subnormal results are |x| in units of 2^-24 rounded half up, which adding
// 0.5 and truncating gives exactly (|x| * 2^24 is below 1024 and exact).
// NaN payloads are dropped.
struct Fp32ToFp16 {
  using In = std::uint32_t;
  using Out = std::uint16_t;
  static constexpr std::uint32_t kSubnormalFrom = 102u << 23;  // 2^-25
  static constexpr std::uint32_t kNormalFrom = 113u << 23;     // 2^-14
  static constexpr std::uint32_t kOverflowFrom = 143u << 23;   // 2^16
  static Out one(In b) {
    const std::uint32_t sign = (b >> 16) & 0x8000;
    const std::uint32_t a = b & 0x7FFFFFFF;
    std::uint32_t bits = 0;
    if (a > 0x7F800000) {
      bits = 0x7E00;
    } else if (a >= kOverflowFrom) {
      bits = 0x7C00;
    } else if (a >= kNormalFrom) {
      bits = (a >> 13) - 0x1C000 + ((a >> 12) & 1);
    } else if (a >= kSubnormalFrom) {
      bits = static_cast<std::uint32_t>(std::bit_cast<float>(a) * 0x1p24f + 0.5f);
    }
    return static_cast<Out>(sign | bits);
  }
  [[gnu::always_inline]] static U16 eight(U32 b) {
    const U32 sign = (b >> 16) & 0x8000;
    const U32 a = b & 0x7FFFFFFF;
    const U32 normal = (a >> 13) - 0x1C000 + ((a >> 12) & 1);
    // Lanes below the smallest normal float (their result is 0 anyway) are
    // zeroed first: float arithmetic on subnormal values is slow on x86.
    // The clamp keeps lanes above the subnormal range convertible.
    const U32 normal_a = above(a, 0x007FFFFF) ? a : splat(0);
    F32 units = reinterpret_cast<F32>(normal_a) * 0x1p24f + 0.5f;
    units = units < 2048.0f ? units : F32{} + 2048.0f;
    const U32 subnormal = reinterpret_cast<U32>(__builtin_convertvector(units, I32));
    U32 bits = above(a, kSubnormalFrom - 1) ? subnormal : splat(0);
    bits = above(a, kNormalFrom - 1) ? normal : bits;
    bits = above(a, kOverflowFrom - 1) ? splat(0x7C00) : bits;
    bits = above(a, 0x7F800000) ? splat(0x7E00) : bits;
    return lanes::narrow16(sign | bits);
  }
};

}  // namespace tarnwick::kernels

