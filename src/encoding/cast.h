#pragma once
// Float dtype conversions and the cast steps of saving and loading: a float
// tensor may be stored narrower (bf16, fp16, or fp8 with a per-tensor scale)
// and is turned back into the caller's dtype on load. All conversions work
// on little-endian bytes and run in parallel on the pool.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "format/bytes.h"
#include "format/dtype.h"
#include "format/error.h"

namespace tarnwick {

// Exact conversion of "bfloat16", "float16" or "float64" bytes (rounded to
// nearest even) to float32; "float32" is copied. Invalid configuration
// errors: a length that is not a multiple of the element size, or another
// dtype ("'{dtype}' is not a float dtype this build can cast").
Result<Bytes> widen_to_fp32(ByteSpan bytes, std::string_view dtype);

// float32 bytes to "bfloat16" (round to nearest even, NaN kept quiet),
// "float16" (round to nearest, ties away from zero), "float64" (exact) or
// "float32" (a copy). Errors as for widen_to_fp32.
Result<Bytes> narrow_from_fp32(ByteSpan fp32, std::string_view dtype);

// What a save stores of a tensor after the cast step.
struct CastResult {
  std::optional<Bytes> bytes;  // the cast bytes; none: stored as given
  std::string dtype;           // the stored dtype text
  std::optional<std::string> original_dtype;  // the caller's, when cast
  std::optional<float> quant_scale;           // fp8 targets only
};

// The cast a save applies to a tensor of `dtype` whose rules name `target`.
// No cast (bytes none, dtype unchanged) for target none, a dtype that is not
// one of the four float types, or a target equal to the dtype.
Result<CastResult> cast_for_save(ByteSpan data, std::string_view dtype, DType target);

// The load's inverse: stored bytes of `dtype` turned back into
// `original_dtype` (none: returned as they are). fp8 bytes need their
// quant_scale; without it the load fails with an Invalid configuration
// error. Pairs that are not casts return the bytes unchanged.
// Whether cast_back changes the bytes of this dtype pair (else they are
// returned as they are).
bool cast_back_applies(std::string_view dtype, const std::optional<std::string>& original_dtype);

// The length cast_back gives stored bytes of stored_size, or the error it
// would fail with for that length (no quant_scale, a partial element, a
// dtype it cannot cast), so that the final buffer can be had before any
// byte is decoded.
Result<std::uint64_t> cast_back_size(std::uint64_t stored_size, std::string_view dtype,
                                     const std::optional<std::string>& original_dtype,
                                     std::optional<float> quant_scale);

// cast_back written into out, which must be cast_back_size long (another
// length is an Invalid configuration error and nothing is written). out
// must not overlap stored.
Result<void> cast_back_into(ByteSpan stored, std::string_view dtype,
                            const std::optional<std::string>& original_dtype,
                            std::optional<float> quant_scale, MutableByteSpan out);

Result<Bytes> cast_back(Bytes stored, std::string_view dtype,
                        const std::optional<std::string>& original_dtype,
                        std::optional<float> quant_scale);

}  // namespace tarnwick
