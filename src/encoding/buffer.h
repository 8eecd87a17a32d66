#pragma once
// Output buffers of tensor size.

#include <cstddef>
#include <optional>

#include "format/bytes.h"
#include "format/error.h"

namespace tarnwick {

// n bytes, not initialised: for outputs that are written whole before they
// are read. Buffers of several MiB are backed by huge pages where the kernel
// allows it, since first touches of fresh 4 KiB pages cost more than the
// transforms that fill them. None when the memory cannot be had.
std::optional<Bytes> try_allocate(std::size_t n);

// try_allocate, with an IO error (out of memory) when it fails.
Result<Bytes> allocate_output(std::size_t n);

// A copy of data, made in parallel blocks.
Result<Bytes> copy_bytes(ByteSpan data);

}  // namespace tarnwick
