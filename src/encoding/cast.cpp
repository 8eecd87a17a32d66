#include "encoding/cast.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "encoding/blocks.h"
#include "encoding/buffer.h"
#include "encoding/fp8.h"

namespace tarnwick {
namespace {

TarnwickError not_castable(std::string_view dtype) {
  std::string text = "'";
  text.append(dtype).append("' is not a float dtype this build can cast");
  return TarnwickError::invalid_config(std::move(text));
}

TarnwickError bad_length(std::string_view what, std::size_t length, int multiple) {
  return TarnwickError::invalid_config(std::string(what) + " data length " + std::to_string(length) +
                                       " is not a multiple of " + std::to_string(multiple));
}

bool is_float_dtype(std::string_view dtype) {
  return dtype == "float32" || dtype == "float16" || dtype == "bfloat16" || dtype == "float64";
}

// Every element of data (In) converted to Out by convert, in parallel
// blocks, into one new buffer. A trailing partial element is ignored;
// callers check lengths first.
template <class In, class Out, class Convert>
Result<Bytes> convert_elements(ByteSpan data, Convert convert) {
  const std::size_t count = data.size() / sizeof(In);
  TRY(Bytes out, allocate_output(count * sizeof(Out)));
  const std::uint8_t* src = data.data();
  std::uint8_t* dst = out.data();
  constexpr std::size_t block = kBlockBytes / std::max(sizeof(In), sizeof(Out));
  for_each_block(count, block, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      In x;
      std::memcpy(&x, src + i * sizeof(In), sizeof(In));
      const Out y = convert(x);
      std::memcpy(dst + i * sizeof(Out), &y, sizeof(Out));
    }
  });
  return out;
}

std::uint32_t bf16_to_fp32(std::uint16_t h) { return std::uint32_t{h} << 16; }

// Exact. Subnormal halves are their integer mantissa times 2^-24, which
// float arithmetic gives exactly; NaN payloads move to the top of the
// single's mantissa.
std::uint32_t fp16_to_fp32(std::uint16_t h) {
  const std::uint32_t sign = std::uint32_t(h & 0x8000) << 16;
  const std::uint32_t magnitude = h & 0x7FFF;
  const std::uint32_t special = 0x7F800000 | ((magnitude & 0x03FF) << 13);
  const std::uint32_t normal = (magnitude << 13) + 0x38000000;
  const std::uint32_t subnormal =
      std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(magnitude)) * 0x1p-24f);
  const std::uint32_t bits = magnitude >= 0x7C00 ? special : magnitude >= 0x0400 ? normal : subnormal;
  return sign | bits;
}

// Round to nearest, ties to even; NaN becomes a quiet NaN with its sign.
std::uint16_t fp32_to_bf16(std::uint32_t b) {
  const bool nan = (b & 0x7FFFFFFF) > 0x7F800000;
  const std::uint32_t rounded = (b + 0x7FFF + ((b >> 16) & 1)) >> 16;
  return static_cast<std::uint16_t>(nan ? (b >> 16) | 0x0040 : rounded);
}

// Round to nearest, ties away from zero: the first dropped bit is added.
// Normal results take the float32 bits shifted into place, the carry
// running into the exponent (and at the top into infinity); subnormal
// results are |x| in units of 2^-24 rounded half up, which adding 0.5 and
// truncating gives exactly (|x| * 2^24 is below 1024 and exact).
std::uint16_t fp32_to_fp16(std::uint32_t b) {
  const std::uint32_t sign = (b >> 16) & 0x8000;
  const std::uint32_t a = b & 0x7FFFFFFF;
  const std::uint32_t normal = (a >> 13) - 0x1C000 + ((a >> 12) & 1);
  const float units = std::bit_cast<float>(a) * 0x1p24f + 0.5f;
  const std::uint32_t subnormal = static_cast<std::uint32_t>(static_cast<std::int32_t>(units));
  std::uint32_t bits = a >= (102u << 23) ? subnormal : 0;
  bits = a >= (113u << 23) ? normal : bits;
  bits = a >= (143u << 23) ? 0x7C00 : bits;  // overflow and infinity
  bits = a > 0x7F800000 ? 0x7E00 : bits;      // NaN, payload dropped
  return static_cast<std::uint16_t>(sign | bits);
}

Result<Bytes> fp8_from_fp32(ByteSpan fp32, const Fp8Format& format, float& scale) {
  scale = fp8_scale(finite_amax(fp32), format);
  return fp32_to_fp8(fp32, format, scale);
}

}  // namespace

Result<Bytes> widen_to_fp32(ByteSpan bytes, std::string_view dtype) {
  if (dtype == "bfloat16") {
    if (bytes.size() % 2 != 0) return Err(bad_length("bf16", bytes.size(), 2));
    return convert_elements<std::uint16_t, std::uint32_t>(bytes, bf16_to_fp32);
  }
  if (dtype == "float16") {
    if (bytes.size() % 2 != 0) return Err(bad_length("fp16", bytes.size(), 2));
    return convert_elements<std::uint16_t, std::uint32_t>(bytes, fp16_to_fp32);
  }
  if (dtype == "float32") return copy_bytes(bytes);
  if (dtype == "float64") {
    if (bytes.size() % 8 != 0) return Err(bad_length("fp64", bytes.size(), 8));
    return convert_elements<double, float>(bytes, [](double x) { return static_cast<float>(x); });
  }
  return Err(not_castable(dtype));
}

Result<Bytes> narrow_from_fp32(ByteSpan fp32, std::string_view dtype) {
  if (dtype == "float32") return copy_bytes(fp32);
  if (dtype != "bfloat16" && dtype != "float16" && dtype != "float64") return Err(not_castable(dtype));
  if (fp32.size() % 4 != 0) return Err(bad_length("fp32", fp32.size(), 4));
  if (dtype == "bfloat16") return convert_elements<std::uint32_t, std::uint16_t>(fp32, fp32_to_bf16);
  if (dtype == "float16") return convert_elements<std::uint32_t, std::uint16_t>(fp32, fp32_to_fp16);
  return convert_elements<float, double>(fp32, [](float x) { return static_cast<double>(x); });
}

Result<CastResult> cast_for_save(ByteSpan data, std::string_view dtype, DType target) {
  CastResult cast{std::nullopt, std::string(dtype), std::nullopt, std::nullopt};
  if (target.is_none() || !is_float_dtype(dtype)) return cast;
  const std::string_view target_text = target.stored_text();
  if (target_text == dtype) return cast;
  cast.dtype = target_text;
  cast.original_dtype = std::string(dtype);

  if (!target.is_fp8()) {
    if (dtype == "float32") {
      TRY(cast.bytes, narrow_from_fp32(data, target_text));
    } else if (target_text == "float32") {
      TRY(cast.bytes, widen_to_fp32(data, dtype));
    } else {
      TRY(Bytes wide, widen_to_fp32(data, dtype));
      TRY(cast.bytes, narrow_from_fp32(wide, target_text));
    }
    return cast;
  }

  const Fp8Format& format = target.value == DType::Fp8E5m2 ? E5M2 : E4M3FN;
  float scale = 1.0f;
  if (dtype == "float32") {
    TRY(cast.bytes, fp8_from_fp32(data, format, scale));
  } else {
    TRY(Bytes wide, widen_to_fp32(data, dtype));
    TRY(cast.bytes, fp8_from_fp32(wide, format, scale));
  }
  cast.quant_scale = scale;
  return cast;
}

Result<Bytes> cast_back(Bytes stored, std::string_view dtype,
                        const std::optional<std::string>& original_dtype,
                        std::optional<float> quant_scale) {
  if (!original_dtype || *original_dtype == dtype) return stored;
  const std::string& original = *original_dtype;
  if (is_float_dtype(dtype) && is_float_dtype(original)) {
    if (dtype == "float32") return narrow_from_fp32(stored, original);
    if (original == "float32") return widen_to_fp32(stored, dtype);
    TRY(Bytes wide, widen_to_fp32(stored, dtype));
    return narrow_from_fp32(wide, original);
  }
  if (const Fp8Format* format = fp8_format(dtype)) {
    if (!quant_scale) {
      return Err(TarnwickError::invalid_config(
          "tensor stored as " + std::string(dtype) +
          " carries no quant_scale; its bytes cannot be turned back into " + original +
          " without it"));
    }
    TRY(Bytes wide, fp8_to_fp32(stored, *format, *quant_scale));
    if (original == "float32") return wide;
    return narrow_from_fp32(wide, original);
  }
  return stored;
}

}  // namespace tarnwick
