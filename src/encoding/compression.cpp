#include "encoding/compression.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "encoding/buffer.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

struct CCtxFree {
  void operator()(ZSTD_CCtx* ctx) const { ZSTD_freeCCtx(ctx); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* ctx) const { ZSTD_freeDCtx(ctx); }
};
using CCtxPtr = std::unique_ptr<ZSTD_CCtx, CCtxFree>;
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

TarnwickError zstd_error(std::size_t code) {
  return TarnwickError::compression(ZSTD_getErrorName(code));
}

TarnwickError out_of_memory(std::size_t n) {
  return TarnwickError::compression("cannot allocate " + std::to_string(n) +
                                    " bytes for the decompressed data");
}

// Contexts larger than this (high levels) are freed after their frame
// rather than kept by their thread.
constexpr std::size_t kKeptContextBytes = std::size_t{16} << 20;

// One frame of src into dst (at least ZSTD_compressBound(src.size()) bytes)
// by a context reset to zstd's defaults, with the level as its only
// parameter: the frame a fresh context would write. Each thread keeps its
// context, whose tables would otherwise be allocated and first touched
// again for every frame. Returns the frame's length.
Result<std::size_t> compress_frame(ByteSpan src, std::uint8_t* dst, std::size_t capacity,
                                   int level) {
  thread_local CCtxPtr kept;
  CCtxPtr ctx = std::move(kept);
  if (!ctx) ctx.reset(ZSTD_createCCtx());
  if (!ctx) return Err(TarnwickError::compression("cannot create a compression context"));
  std::size_t rc = ZSTD_CCtx_reset(ctx.get(), ZSTD_reset_session_and_parameters);
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_compressionLevel, level);
  if (ZSTD_isError(rc)) return Err(zstd_error(rc));
  const std::size_t written = ZSTD_compress2(ctx.get(), dst, capacity, src.data(), src.size());
  if (ZSTD_isError(written)) return Err(zstd_error(written));
  if (ZSTD_sizeof_CCtx(ctx.get()) <= kKeptContextBytes) kept = std::move(ctx);
  return written;
}

// Drops the unused tail of a buffer when it is large enough to matter: a
// payload may wait in memory until its pack is written.
void trim(Bytes& buffer, std::size_t length) {
  buffer.resize(length);
  if (length < buffer.capacity() / 2) buffer.shrink_to_fit();
}

Result<Bytes> compress_zstd(ByteSpan data, int level) {
  const std::size_t frames = data.empty() ? 1 : (data.size() - 1) / kFrameBytes + 1;
  const std::size_t slot = ZSTD_compressBound(std::min(data.size(), kFrameBytes));
  TRY(Bytes out, allocate_output(frames * slot));
  if (frames == 1) {
    TRY(std::size_t length, compress_frame(data, out.data(), slot, level));
    trim(out, length);
    return out;
  }
  // Frames are taken in input order from a shared counter, each compressed
  // into its own slot of the output. Whoever completes the frame at which
  // the packed prefix ends moves it (and completed ones behind it) down to
  // close the gap while the other threads go on compressing; a move never
  // reaches a slot still being written.
  std::atomic<std::size_t> next_frame{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::vector<std::size_t> lengths(frames);  // guarded by mutex
  std::vector<char> done(frames, 0);         // guarded by mutex
  std::size_t packed = 0;                    // frames moved; guarded by mutex
  std::size_t end = 0;                       // bytes packed; guarded by mutex
  const std::size_t workers = std::min(frames, std::max<std::size_t>(pool_concurrency(), 1));
  TRY_VOID(parallel_for(workers, [&](std::size_t) -> Result<void> {
    for (std::size_t i; !failed.load() && (i = next_frame++) < frames;) {
      const ByteSpan chunk = data.subspan(i * kFrameBytes, std::min(kFrameBytes, data.size() - i * kFrameBytes));
      const Result<std::size_t> length = compress_frame(chunk, out.data() + i * slot, slot, level);
      if (!length) {
        failed = true;
        return Err(length.error());
      }
      std::lock_guard lock(mutex);
      lengths[i] = *length;
      done[i] = 1;
      for (; packed < frames && done[packed]; ++packed) {
        std::memmove(out.data() + end, out.data() + packed * slot, lengths[packed]);
        end += lengths[packed];
      }
    }
    return {};
  }));
  trim(out, end);
  return out;
}

struct Frame {
  std::size_t offset;      // in the compressed input
  std::size_t size;        // compressed
  std::size_t content;     // decompressed, from the frame header
  std::size_t out_offset;  // in the output
};

// The most a frame of `size` bytes can decode to: every block has a header
// of 3 bytes and decodes to at most 128 KiB.
std::uint64_t most_content(std::size_t size) {
  return (static_cast<std::uint64_t>(size) / 3 + 1) * ZSTD_BLOCKSIZE_MAX;
}

// The frames of data with their recorded sizes; none when some frame cannot
// be delimited or does not record its size.
std::optional<std::vector<Frame>> walk_frames(ByteSpan data) {
  std::vector<Frame> frames;
  std::size_t offset = 0;
  std::size_t out_offset = 0;
  while (offset < data.size()) {
    const std::size_t remaining = data.size() - offset;
    const std::size_t size = ZSTD_findFrameCompressedSize(data.data() + offset, remaining);
    if (ZSTD_isError(size) || size == 0 || size > remaining) return std::nullopt;
    const unsigned long long content = ZSTD_getFrameContentSize(data.data() + offset, remaining);
    if (content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR) return std::nullopt;
    frames.push_back({offset, size, static_cast<std::size_t>(content), out_offset});
    offset += size;
    out_offset += static_cast<std::size_t>(content);
  }
  return frames;
}

// The frames' total decompressed size. A header can claim anything; claims
// no frame of its size can honour are refused before anything is allocated
// or written for them.
Result<std::uint64_t> checked_total(const std::vector<Frame>& frames) {
  std::uint64_t total = 0;
  for (const Frame& frame : frames) {
    if (frame.content > most_content(frame.size)) {
      return Err(TarnwickError::compression(
          "frame header claims " + std::to_string(frame.content) + " bytes, more than a frame of " +
          std::to_string(frame.size) + " bytes can hold"));
    }
    total += frame.content;  // bounded by 2^17 times the input's length: no overflow
  }
  return total;
}

// Every frame into its place in out, which holds the frames' total.
Result<void> decode_frames(ByteSpan data, const std::vector<Frame>& frames, std::uint8_t* out) {
  return parallel_for(frames.size(), [&](std::size_t i) -> Result<void> {
    thread_local DCtxPtr ctx(ZSTD_createDCtx());
    if (!ctx) return Err(TarnwickError::compression("cannot create a decompression context"));
    const Frame& frame = frames[i];
    const std::size_t produced = ZSTD_decompressDCtx(ctx.get(), out + frame.out_offset,
                                                     frame.content, data.data() + frame.offset,
                                                     frame.size);
    if (ZSTD_isError(produced)) return Err(zstd_error(produced));
    if (produced != frame.content) {
      return Err(TarnwickError::compression("frame decompressed to " + std::to_string(produced) +
                                            " bytes, expected " + std::to_string(frame.content)));
    }
    return {};
  });
}

Result<Bytes> decompress_frames(ByteSpan data, const std::vector<Frame>& frames) {
  TRY(const std::uint64_t total, checked_total(frames));
  std::optional<Bytes> out = try_allocate(total);
  if (!out) return Err(out_of_memory(total));
  TRY_VOID(decode_frames(data, frames, out->data()));
  return std::move(*out);
}

// The fallback for frames that do not record their size: one thread, the
// streaming decoder, output grown as it comes.
Result<Bytes> decompress_streaming(ByteSpan data) {
  DCtxPtr ctx(ZSTD_createDCtx());
  if (!ctx) return Err(TarnwickError::compression("cannot create a decompression context"));
  const std::size_t step = ZSTD_DStreamOutSize();
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  Bytes out;
  std::size_t length = 0;
  for (;;) {
    try {
      out.resize(length + step);
    } catch (const std::exception&) {
      return Err(out_of_memory(length + step));
    }
    ZSTD_outBuffer chunk{out.data() + length, step, 0};
    const std::size_t rc = ZSTD_decompressStream(ctx.get(), &chunk, &in);
    if (ZSTD_isError(rc)) return Err(zstd_error(rc));
    length += chunk.pos;
    if (in.pos < in.size || chunk.pos == step) continue;
    // All input consumed and the decoder has flushed what it holds.
    if (rc == 0) break;
    if (chunk.pos == 0) return Err(TarnwickError::compression("incomplete frame"));
  }
  out.resize(length);
  out.shrink_to_fit();
  return out;
}

TarnwickError length_mismatch(std::uint64_t decoded, std::size_t expected) {
  return TarnwickError::compression("payload decompresses to " + std::to_string(decoded) +
                                    " bytes, expected " + std::to_string(expected));
}

}  // namespace

Result<Bytes> compress(ByteSpan data, CompressionAlgo algo) {
  if (!algo.is_zstd()) return copy_bytes(data);
  return compress_zstd(data, algo.level);
}

Result<Bytes> decompress(ByteSpan data, CompressionAlgo algo) {
  if (!algo.is_zstd()) return copy_bytes(data);
  if (data.empty()) return Bytes{};
  if (std::optional<std::vector<Frame>> frames = walk_frames(data)) {
    return decompress_frames(data, *frames);
  }
  return decompress_streaming(data);
}

Result<void> decompress_into(ByteSpan data, CompressionAlgo algo, MutableByteSpan out) {
  if (!algo.is_zstd()) {
    if (data.size() != out.size()) return Err(length_mismatch(data.size(), out.size()));
    copy_into(data, out.data());
    return {};
  }
  if (data.empty()) {
    if (!out.empty()) return Err(length_mismatch(0, out.size()));
    return {};
  }
  if (std::optional<std::vector<Frame>> frames = walk_frames(data)) {
    TRY(const std::uint64_t total, checked_total(*frames));
    if (total != out.size()) return Err(length_mismatch(total, out.size()));
    return decode_frames(data, *frames, out.data());
  }
  // Streams whose frames do not record their sizes come from older writers
  // only; they decode on the side and are copied in.
  TRY(Bytes decoded, decompress_streaming(data));
  if (decoded.size() != out.size()) return Err(length_mismatch(decoded.size(), out.size()));
  copy_into(decoded, out.data());
  return {};
}

Bytes decompress_prefix(ByteSpan head, std::size_t limit) {
  std::optional<Bytes> out = try_allocate(limit);
  DCtxPtr ctx(ZSTD_createDCtx());
  if (!out || !ctx) return {};
  ZSTD_inBuffer in{head.data(), head.size(), 0};
  std::size_t length = 0;
  while (length < limit) {
    ZSTD_outBuffer chunk{out->data() + length, limit - length, 0};
    const std::size_t consumed_before = in.pos;
    const std::size_t rc = ZSTD_decompressStream(ctx.get(), &chunk, &in);
    if (ZSTD_isError(rc)) break;
    length += chunk.pos;
    if (chunk.pos == 0 && in.pos == consumed_before) break;  // input used up
  }
  out->resize(length);
  return std::move(*out);
}

}  // namespace tarnwick
