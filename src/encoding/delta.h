#pragma once
// XOR deltas between two versions of a tensor's bytes, and the cheap probe
// that decides whether a delta is worth storing. Pure functions; their
// parallel work runs on the pool and may be started from pool tasks.

#include <cstddef>

#include "format/bytes.h"
#include "format/error.h"
#include "format/settings.h"

namespace tarnwick {

// a XOR b, byte by byte. Callers pass equal lengths; unequal ones are a
// Delta error, "xor_bytes requires equal lengths". Also fails when the
// output cannot be allocated.
Result<Bytes> xor_bytes(ByteSpan a, ByteSpan b);

// The Delta error of a base and a delta whose lengths differ:
// "base length {base} != delta length {delta}".
TarnwickError lengths_differ(std::size_t base, std::size_t delta);

// The tensor a delta was made from: base XOR delta. Lengths that differ are
// a Delta error, "base length {a} != delta length {b}". The second form
// reuses the delta's buffer for the result.
Result<Bytes> apply_delta(ByteSpan base, ByteSpan delta);
Result<Bytes> apply_delta(ByteSpan base, Bytes&& delta);

// apply_delta where base already lies in its final buffer: the delta is
// XOR-ed into it. Lengths that differ are the same Delta error, and base
// is left untouched.
Result<void> apply_delta_in_place(MutableByteSpan base, ByteSpan delta);

// apply_delta_in_place for a delta stored shuffled for elements of n bytes.
// Each block is unshuffled into a small buffer of its thread and XOR-ed
// into base straight away: the unshuffled delta never exists whole.
Result<void> apply_shuffled_delta_in_place(MutableByteSpan base, ByteSpan shuffled_delta,
                                           std::size_t n);

// Whether a and b hold the same bytes; callers pass equal lengths (unequal
// ones are simply not equal). Stops at the first block that differs.
bool buffers_equal(ByteSpan a, ByteSpan b);

// The delta probe: whether the first 64 KiB of base XOR new, shuffled for
// elements of `element_bytes`, compress below max_ratio times the same
// prefix of new compressed as it is. Buffers shorter than 8192 bytes always
// pay off; a failed compression counts as a yes. Never fails.
bool pays_off(ByteSpan base, ByteSpan new_bytes, CompressionAlgo algo, std::size_t element_bytes,
              double max_ratio);

}  // namespace tarnwick
