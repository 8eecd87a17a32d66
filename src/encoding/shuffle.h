#pragma once
// Byte shuffle: a buffer of elements of n bytes regrouped into n planes,
// plane k holding byte k of every element in element order, followed by the
// bytes of an incomplete last element unchanged. Bytes of equal significance
// (and their runs of zeros) then lie together, which zstd rewards.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "format/bytes.h"
#include "format/error.h"

namespace tarnwick {

// Bytes per element of a dtype text (exact, case-sensitive): 8, 4, 2 or 16
// for the wide numeric types, 1 for everything else.
std::size_t element_size(std::string_view dtype);

// The shuffled copy of data for elements of n bytes; a plain copy when n is
// below 2 or data holds no whole element. Fails only when the output cannot
// be allocated.
Result<Bytes> shuffle(ByteSpan data, std::size_t n);

// The inverse: unshuffle(shuffle(x, n), n) == x for every x and n.
Result<Bytes> unshuffle(ByteSpan data, std::size_t n);

// Elements [begin, end) of a shuffled buffer of `count` whole elements of n
// bytes (planes at data, data + count, ...) written to out, element begin
// first: (end - begin) * n bytes, with ordinary stores so that a small out
// stays in cache. Infallible; runs on the calling thread.
void unshuffle_range(const std::uint8_t* data, std::size_t count, std::size_t n,
                     std::size_t begin, std::size_t end, std::uint8_t* out);

}  // namespace tarnwick
