#include "encoding/cast.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "encoding/blocks.h"
#include "encoding/buffer.h"
#include "encoding/float_kernels.h"
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

TarnwickError no_quant_scale(std::string_view dtype, const std::string& original) {
  return TarnwickError::invalid_config("tensor stored as " + std::string(dtype) +
                                       " carries no quant_scale; its bytes cannot be turned back "
                                       "into " + original + " without it");
}

bool is_float_dtype(std::string_view dtype) {
  return dtype == "float32" || dtype == "float16" || dtype == "bfloat16" || dtype == "float64";
}

template <class T>
using LanesOf = std::conditional_t<sizeof(T) == 2, lanes::U16, lanes::U32>;

// Elements [begin, end) of src converted into dst, eight at a time where the
// kernel has a lane form (with streaming stores if stream). The pointers are
// parameters, not captures: stores through a byte pointer could otherwise
// alias them.
template <class Kernel>
void convert_block(const std::uint8_t* src, std::uint8_t* dst, std::size_t begin, std::size_t end,
                   bool stream) {
  using In = typename Kernel::In;
  using Out = typename Kernel::Out;
  std::size_t i = begin;
  if constexpr (requires { Kernel::eight(LanesOf<In>{}); }) {
    for (; i + lanes::kLanes <= end; i += lanes::kLanes) {
      lanes::store(dst + i * sizeof(Out), Kernel::eight(lanes::load<LanesOf<In>>(src + i * sizeof(In))),
                   stream);
    }
  }
  for (; i < end; ++i) {
    In x;
    std::memcpy(&x, src + i * sizeof(In), sizeof(In));
    const Out y = Kernel::one(x);
    std::memcpy(dst + i * sizeof(Out), &y, sizeof(Out));
  }
  if (stream) _mm_sfence();
}

// Every element of data converted by Kernel, in parallel blocks, into out,
// which holds as many Out elements. A trailing partial element is ignored;
// callers check lengths first.
template <class Kernel>
void convert_into(ByteSpan data, std::uint8_t* out) {
  using In = typename Kernel::In;
  using Out = typename Kernel::Out;
  const std::size_t count = data.size() / sizeof(In);
  constexpr std::size_t block = kBlockBytes / std::max(sizeof(In), sizeof(Out));
  const bool stream = lanes::streams(out, count * sizeof(Out));
  for_each_block(count, block, [&](std::size_t begin, std::size_t end) {
    lanes::vectorized([&] { convert_block<Kernel>(data.data(), out, begin, end, stream); });
  });
}

// The processor's conversions, which the compiler vectorizes.
struct Fp64ToFp32 {
  using In = double;
  using Out = float;
  static Out one(In x) { return static_cast<float>(x); }
};
struct Fp32ToFp64 {
  using In = float;
  using Out = double;
  static Out one(In x) { return static_cast<double>(x); }
};

Result<Bytes> fp8_from_fp32(ByteSpan fp32, const Fp8Format& format, float& scale) {
  scale = fp8_scale(finite_amax(fp32), format);
  return fp32_to_fp8(fp32, format, scale);
}

// Bytes per element of the float dtypes this build casts; 0 for others.
std::size_t float_width(std::string_view dtype) {
  if (dtype == "float32") return 4;
  if (dtype == "bfloat16" || dtype == "float16") return 2;
  if (dtype == "float64") return 8;
  return 0;
}

std::string_view short_name(std::string_view dtype) {
  if (dtype == "bfloat16") return "bf16";
  if (dtype == "float16") return "fp16";
  if (dtype == "float64") return "fp64";
  return "fp32";
}

// The length widen_to_fp32 gives `length` bytes of dtype, or its error.
Result<std::size_t> widened_length(std::size_t length, std::string_view dtype) {
  if (dtype == "float32") return length;
  const std::size_t width = float_width(dtype);
  if (width == 0) return Err(not_castable(dtype));
  if (length % width != 0) return Err(bad_length(short_name(dtype), length, static_cast<int>(width)));
  return length / width * 4;
}

// The length narrow_from_fp32 gives `length` float32 bytes, or its error.
Result<std::size_t> narrowed_length(std::size_t length, std::string_view dtype) {
  if (dtype == "float32") return length;
  const std::size_t width = float_width(dtype);
  if (width == 0) return Err(not_castable(dtype));
  if (length % 4 != 0) return Err(bad_length("fp32", length, 4));
  return length / 4 * width;
}

// widen_to_fp32 into out, of widened_length; dtype is a float dtype.
void widen_into(ByteSpan bytes, std::string_view dtype, std::uint8_t* out) {
  if (dtype == "bfloat16") return convert_into<kernels::Bf16ToFp32>(bytes, out);
  if (dtype == "float16") return convert_into<kernels::Fp16ToFp32>(bytes, out);
  if (dtype == "float64") return convert_into<Fp64ToFp32>(bytes, out);
  copy_into(bytes, out);
}

// narrow_from_fp32 into out, of narrowed_length; dtype is a float dtype.
void narrow_into(ByteSpan fp32, std::string_view dtype, std::uint8_t* out) {
  if (dtype == "bfloat16") return convert_into<kernels::Fp32ToBf16>(fp32, out);
  if (dtype == "float16") return convert_into<kernels::Fp32ToFp16>(fp32, out);
  if (dtype == "float64") return convert_into<Fp32ToFp64>(fp32, out);
  copy_into(fp32, out);
}

}  // namespace

Result<Bytes> widen_to_fp32(ByteSpan bytes, std::string_view dtype) {
  TRY(const std::size_t length, widened_length(bytes.size(), dtype));
  TRY(Bytes out, allocate_output(length));
  widen_into(bytes, dtype, out.data());
  return out;
}

Result<Bytes> narrow_from_fp32(ByteSpan fp32, std::string_view dtype) {
  TRY(const std::size_t length, narrowed_length(fp32.size(), dtype));
  TRY(Bytes out, allocate_output(length));
  narrow_into(fp32, dtype, out.data());
  return out;
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

bool cast_back_applies(std::string_view dtype, const std::optional<std::string>& original_dtype) {
  if (!original_dtype || *original_dtype == dtype) return false;
  return (is_float_dtype(dtype) && is_float_dtype(*original_dtype)) || fp8_format(dtype) != nullptr;
}

Result<std::uint64_t> cast_back_size(std::uint64_t stored_size, std::string_view dtype,
                                     const std::optional<std::string>& original_dtype,
                                     std::optional<float> quant_scale) {
  if (!cast_back_applies(dtype, original_dtype)) return stored_size;
  // A record claiming more than memory can hold fails here rather than
  // wrapping around in the arithmetic below.
  if (stored_size > std::numeric_limits<std::size_t>::max() / 8) return Err(TarnwickError::io(ENOMEM));
  const std::string& original = *original_dtype;
  if (fp8_format(dtype) != nullptr) {
    if (!quant_scale) return Err(no_quant_scale(dtype, original));
    return narrowed_length(stored_size * 4, original);
  }
  if (dtype == "float32") return narrowed_length(stored_size, original);
  TRY(const std::size_t wide, widened_length(stored_size, dtype));
  return narrowed_length(wide, original);
}

Result<void> cast_back_into(ByteSpan stored, std::string_view dtype,
                            const std::optional<std::string>& original_dtype,
                            std::optional<float> quant_scale, MutableByteSpan out) {
  TRY(const std::uint64_t size, cast_back_size(stored.size(), dtype, original_dtype, quant_scale));
  if (size != out.size()) {
    return Err(TarnwickError::invalid_config(
        "cast back of " + std::to_string(stored.size()) + " stored bytes needs " +
        std::to_string(size) + " bytes, not " + std::to_string(out.size())));
  }
  if (!cast_back_applies(dtype, original_dtype)) {
    copy_into(stored, out.data());
    return {};
  }
  const std::string& original = *original_dtype;
  if (const Fp8Format* format = fp8_format(dtype)) {
    TRY(Bytes wide, fp8_to_fp32(stored, *format, *quant_scale));
    narrow_into(wide, original, out.data());
  } else if (dtype == "float32") {
    narrow_into(stored, original, out.data());
  } else if (original == "float32") {
    widen_into(stored, dtype, out.data());
  } else {
    TRY(Bytes wide, widen_to_fp32(stored, dtype));
    narrow_into(wide, original, out.data());
  }
  return {};
}

Result<Bytes> cast_back(Bytes stored, std::string_view dtype,
                        const std::optional<std::string>& original_dtype,
                        std::optional<float> quant_scale) {
  if (!cast_back_applies(dtype, original_dtype)) return stored;
  TRY(const std::uint64_t size, cast_back_size(stored.size(), dtype, original_dtype, quant_scale));
  TRY(Bytes out, allocate_output(size));
  TRY_VOID(cast_back_into(stored, dtype, original_dtype, quant_scale, out));
  return out;
}

}  // namespace tarnwick
