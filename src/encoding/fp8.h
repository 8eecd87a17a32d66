#pragma once
// The two 8-bit float formats tensors may be stored in, with a per-tensor
// scale: encoding from float32 (round to nearest even, saturating) and
// decoding through a 256-entry table.

#include <array>
#include <cstdint>
#include <string_view>

#include "format/bytes.h"
#include "format/error.h"

namespace tarnwick {

// A byte is sign (bit 7), exponent field, mantissa (low bits).
struct Fp8Format {
  std::string_view name;  // the stored dtype text
  int exponent_bits;
  int mantissa_bits;
  int exponent_bias;
  float max_finite;
  float min_subnormal;
  int max_exponent_field;
  int max_mantissa_at_max_exponent;
  std::uint8_t nan_code;
  std::uint8_t inf_code;
  std::uint8_t max_code;
  bool has_inf;
};

// No infinity; exponent field 15 with mantissa 7 is NaN.
inline constexpr Fp8Format E4M3FN{"float8_e4m3fn", 4, 3, 7, 448.0f, 0x1p-9f, 15, 6,
                                  0x7F, 0x7F, 0x7E, false};
// Exponent field 31 holds infinity (mantissa 0) and NaN.
inline constexpr Fp8Format E5M2{"float8_e5m2", 5, 2, 15, 57344.0f, 0x1p-16f, 30, 3,
                                0x7E, 0x7C, 0x7B, true};

// The format stored under a dtype text; nullptr for any other text.
const Fp8Format* fp8_format(std::string_view dtype);

// The largest absolute value among the finite float32 elements (NaN and
// infinities ignored), 0 without any. A trailing partial element is ignored.
float finite_amax(ByteSpan fp32);

// The per-tensor scale that maps amax onto the format's largest finite
// value; 1 when that ratio is not a normal float (zero, subnormal, inf, NaN).
float fp8_scale(float amax, const Fp8Format& format);

// One byte per float32 element of fp32 / scale: NaN to nan_code, infinity
// to inf_code (NaN where the format has none), finite values rounded to
// nearest even and saturated at max_code, sign kept. A length that is not a
// multiple of 4 is an Invalid configuration error.
Result<Bytes> fp32_to_fp8(ByteSpan fp32, const Fp8Format& format, float scale);

// The float32 value of every byte, multiplied by scale.
std::array<float, 256> fp8_decode_table(const Fp8Format& format, float scale);

// Every byte of data mapped through fp8_decode_table(format, scale), as
// float32 bytes.
Result<Bytes> fp8_to_fp32(ByteSpan data, const Fp8Format& format, float scale);

}  // namespace tarnwick
