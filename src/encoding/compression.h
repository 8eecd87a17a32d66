#pragma once
// Payload compression: a sequence of independent zstd frames, one per 4 MiB
// of input, each recording its decompressed size, with no checksum and no
// dictionary id. Frames carry no index; readers find them by walking the
// frame headers. All functions may be called from many pool tasks at once;
// each call uses its own zstd contexts and runs its frames on the pool.

#include <cstddef>

#include "format/bytes.h"
#include "format/error.h"
#include "format/settings.h"

namespace tarnwick {

// Input bytes per zstd frame.
inline constexpr std::size_t kFrameBytes = std::size_t{1} << 22;

// None: a copy. Zstd: one frame per kFrameBytes of input (an empty input is
// one empty frame), compressed in parallel, concatenated in input order.
// A zstd failure is a Compression error with zstd's error name.
Result<Bytes> compress(ByteSpan data, CompressionAlgo algo);

// The inverse of compress for any concatenation of zstd frames. Frames whose
// sizes are recorded decode in parallel straight into one output; a stream
// with a frame lacking its size decodes on one thread with the streaming
// decoder. Empty data gives empty output. Corrupt or hostile input (a
// truncated frame, a header claiming more than the frame can hold or than
// memory allows) is a Compression error, never a crash.
Result<Bytes> decompress(ByteSpan data, CompressionAlgo algo);

// decompress written into out, which must be exactly as long as the
// decompressed data: the frame headers are checked against out before any
// frame is decoded, and no frame writes past its share of it. Another
// length is a Compression error, "payload decompresses to {n} bytes,
// expected {out.size()}"; other failures as for decompress.
Result<void> decompress_into(ByteSpan data, CompressionAlgo algo, MutableByteSpan out);

// The first at most `limit` decoded bytes of a zstd stream of which only the
// leading part `head` is at hand. Decoding stops at the limit, when the
// input runs out (also inside a frame) or at the first error, keeping what
// was decoded; empty when nothing could be decoded.
Bytes decompress_prefix(ByteSpan head, std::size_t limit);

}  // namespace tarnwick
