#pragma once
// Output buffers of tensor size.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "format/bytes.h"
#include "format/error.h"

namespace tarnwick {

// n bytes, not initialised: for outputs that are written whole before they
// are read. None when the memory cannot be had (allocation failure is a
// value here, not an exception).
std::optional<Bytes> try_allocate(std::size_t n);

// try_allocate, with an IO error (out of memory) when it fails.
Result<Bytes> allocate_output(std::size_t n);

// data copied into out, which holds data.size() bytes, in parallel blocks.
void copy_into(ByteSpan data, std::uint8_t* out);

// A copy of data, made in parallel blocks.
Result<Bytes> copy_bytes(ByteSpan data);

}  // namespace tarnwick
