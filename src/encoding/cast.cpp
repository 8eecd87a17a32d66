#include "encoding/cast.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// Every element of data converted by Kernel, in parallel blocks, into one
// new buffer. A trailing partial element is ignored; callers check lengths
// first.
template <class Kernel>
Result<Bytes> convert_elements(ByteSpan data) {
  using In = typename Kernel::In;
  using Out = typename Kernel::Out;
  const std::size_t count = data.size() / sizeof(In);
  TRY(Bytes out, allocate_output(count * sizeof(Out)));
  constexpr std::size_t block = kBlockBytes / std::max(sizeof(In), sizeof(Out));
  const bool stream = lanes::streams(out.data(), out.size());
  for_each_block(count, block, [&](std::size_t begin, std::size_t end) {
    lanes::vectorized([&] { convert_block<Kernel>(data.data(), out.data(), begin, end, stream); });
  });
  return out;
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

}  // namespace

Result<Bytes> widen_to_fp32(ByteSpan bytes, std::string_view dtype) {
  if (dtype == "bfloat16") {
    if (bytes.size() % 2 != 0) return Err(bad_length("bf16", bytes.size(), 2));
    return convert_elements<kernels::Bf16ToFp32>(bytes);
  }
  if (dtype == "float16") {
    if (bytes.size() % 2 != 0) return Err(bad_length("fp16", bytes.size(), 2));
    return convert_elements<kernels::Fp16ToFp32>(bytes);
  }
  if (dtype == "float32") return copy_bytes(bytes);
  if (dtype == "float64") {
    if (bytes.size() % 8 != 0) return Err(bad_length("fp64", bytes.size(), 8));
    return convert_elements<Fp64ToFp32>(bytes);
  }
  return Err(not_castable(dtype));
}

Result<Bytes> narrow_from_fp32(ByteSpan fp32, std::string_view dtype) {
  if (dtype == "float32") return copy_bytes(fp32);
  if (dtype != "bfloat16" && dtype != "float16" && dtype != "float64") return Err(not_castable(dtype));
  if (fp32.size() % 4 != 0) return Err(bad_length("fp32", fp32.size(), 4));
  if (dtype == "bfloat16") return convert_elements<kernels::Fp32ToBf16>(fp32);
  if (dtype == "float16") return convert_elements<kernels::Fp32ToFp16>(fp32);
  return convert_elements<Fp32ToFp64>(fp32);
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
