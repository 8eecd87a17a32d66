#include "encoding/compression.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_data.h"

namespace tarnwick {
namespace {

using test::patterned;

const CompressionAlgo kZstd3 = CompressionAlgo::zstd(3);

struct FrameInfo {
  std::size_t compressed;
  unsigned long long content;
  std::uint8_t descriptor;  // the frame header descriptor byte
};

std::vector<FrameInfo> frames_of(const Bytes& payload) {
  std::vector<FrameInfo> frames;
  std::size_t offset = 0;
  while (offset < payload.size()) {
    const std::size_t size = ZSTD_findFrameCompressedSize(payload.data() + offset, payload.size() - offset);
    EXPECT_FALSE(ZSTD_isError(size));
    if (ZSTD_isError(size)) break;
    frames.push_back({size, ZSTD_getFrameContentSize(payload.data() + offset, size), payload[offset + 4]});
    offset += size;
  }
  return frames;
}

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out(a.begin(), a.end());
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// A frame that does not record its decompressed size, as a streaming
// compressor writes it.
Bytes frame_without_size(const Bytes& data) {
  ZSTD_CCtx* ctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(ctx, ZSTD_c_contentSizeFlag, 0);
  Bytes out(ZSTD_compressBound(data.size()));
  const std::size_t n = ZSTD_compress2(ctx, out.data(), out.size(), data.data(), data.size());
  ZSTD_freeCCtx(ctx);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n);
  return out;
}

// A frame header declaring `content` bytes (single segment, 8-byte size
// field) followed by one empty raw block that ends the frame.
Bytes frame_claiming(std::uint64_t content) {
  Bytes out = {0x28, 0xB5, 0x2F, 0xFD, 0xE0};
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(content >> (8 * i)));
  out.insert(out.end(), {0x01, 0x00, 0x00});
  return out;
}

TEST(Compression, FramesSplitAtFourMiB) {
  struct Case {
    std::size_t size;
    std::vector<unsigned long long> contents;
  };
  const Case cases[] = {
      {0, {0}},
      {1, {1}},
      {kFrameBytes, {kFrameBytes}},
      {kFrameBytes + 1, {kFrameBytes, 1}},
      {3 * kFrameBytes - 5, {kFrameBytes, kFrameBytes, kFrameBytes - 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes data = patterned(c.size);
    const Result<Bytes> payload = compress(data, kZstd3);
    ASSERT_TRUE(payload);
    const std::vector<FrameInfo> frames = frames_of(*payload);
    ASSERT_EQ(frames.size(), c.contents.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].content, c.contents[i]);
      EXPECT_EQ(frames[i].descriptor & 0x04, 0) << "checksum flag set";
      EXPECT_EQ(frames[i].descriptor & 0x03, 0) << "dictionary id written";
    }
  }
}

// Contexts are reused between frames: each frame must still be exactly what
// a fresh context at that level writes, whatever ran on the thread before.
TEST(Compression, FramesAreWhatAFreshContextWrites) {
  const Bytes data = patterned(kFrameBytes + 5000);
  for (const int level : {9, 3, -7, 3}) {
    const Result<Bytes> payload = compress(data, CompressionAlgo::zstd(level));
    ASSERT_TRUE(payload);
    Bytes expected;
    for (std::size_t offset = 0; offset < data.size(); offset += kFrameBytes) {
      const std::size_t length = std::min(kFrameBytes, data.size() - offset);
      Bytes frame(ZSTD_compressBound(length));
      frame.resize(ZSTD_compress(frame.data(), frame.size(), data.data() + offset, length, level));
      expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(*payload, expected) << "level " << level;
  }
}

TEST(Compression, RoundTripsAroundFrameBoundaries) {
  const CompressionAlgo algos[] = {kZstd3, CompressionAlgo::zstd(1), CompressionAlgo::zstd(-5),
                                   CompressionAlgo::none()};
  const std::size_t sizes[] = {0, 1, 4095, kFrameBytes - 1, kFrameBytes, kFrameBytes + 1,
                               5 * kFrameBytes + 3};
  for (const CompressionAlgo& algo : algos) {
    for (const std::size_t size : sizes) {
      SCOPED_TRACE(testing::Message() << "level " << algo.level << " size " << size);
      const Bytes data = patterned(size, static_cast<std::uint32_t>(size));
      const Result<Bytes> payload = compress(data, algo);
      ASSERT_TRUE(payload);
      if (!algo.is_zstd()) {
        EXPECT_EQ(*payload, data);
      }
      const Result<Bytes> back = decompress(*payload, algo);
      ASSERT_TRUE(back) << back.error().display();
      EXPECT_EQ(*back, data);
    }
  }
}

TEST(Compression, EmptyInputDecompressesToNothing) {
  const Result<Bytes> back = decompress({}, kZstd3);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->empty());
}

TEST(Compression, ConcatenatedPayloadsDecompressToConcatenatedContents) {
  const Bytes a = patterned(kFrameBytes + 100, 1);
  const Bytes b = patterned(777, 2);
  const Result<Bytes> back = decompress(concat(*compress(a, kZstd3), *compress(b, kZstd3)), kZstd3);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, concat(a, b));
}

TEST(Compression, FramesWithoutRecordedSizeDecodeByStreaming) {
  const Bytes a = patterned(300000, 3);
  const Bytes b = patterned(5000, 4);
  // Alone, and after a frame that records its size.
  const Result<Bytes> alone = decompress(frame_without_size(a), kZstd3);
  ASSERT_TRUE(alone) << alone.error().display();
  EXPECT_EQ(*alone, a);
  const Result<Bytes> mixed = decompress(concat(*compress(b, kZstd3), frame_without_size(a)), kZstd3);
  ASSERT_TRUE(mixed) << mixed.error().display();
  EXPECT_EQ(*mixed, concat(b, a));
}

TEST(Compression, DamagedOrHostileInputIsACompressionError) {
  const Bytes data = patterned(2 * kFrameBytes + 10);
  const Bytes payload = *compress(data, kZstd3);
  Bytes cut_last(payload.begin(), payload.end() - 7);
  Bytes cut_streamed = frame_without_size(patterned(100000));
  cut_streamed.resize(cut_streamed.size() / 2);
  Bytes bad_magic = payload;
  bad_magic[0] ^= 0xFF;
  Bytes garbage(10000);
  std::mt19937 rng(5);
  for (auto& byte : garbage) byte = static_cast<std::uint8_t>(rng());

  struct Case {
    const char* what;
    Bytes input;
    std::string text;  // empty: any text
  };
  const Case cases[] = {
      {"last frame cut short", cut_last, "incomplete frame"},
      {"streamed frame cut short", cut_streamed, "incomplete frame"},
      {"bad magic number", bad_magic, ""},
      {"random bytes", garbage, ""},
      {"header claiming 2^60 bytes", frame_claiming(std::uint64_t{1} << 60),
       "frame header claims 1152921504606846976 bytes, more than a frame of 16 bytes can hold"},
      {"header claiming more than the block holds", frame_claiming(1000), ""},
      {"claims that overflow when added up",
       concat(frame_claiming(~std::uint64_t{0} - 2), frame_claiming(~std::uint64_t{0} - 2)), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Result<Bytes> back = decompress(c.input, kZstd3);
    ASSERT_FALSE(back);
    EXPECT_EQ(back.error().kind(), TarnwickError::Kind::Compression);
    if (!c.text.empty()) {
      EXPECT_EQ(back.error().text(), c.text);
    }
  }
}

TEST(Compression, DecompressesIntoABufferOfExactlyItsLength) {
  struct Case {
    const char* what;
    CompressionAlgo algo;
    Bytes data;
    Bytes payload;
  };
  const Bytes frames = patterned(2 * kFrameBytes + 10);
  const Bytes streamed = patterned(300000, 3);
  const Case cases[] = {
      {"several frames", kZstd3, frames, *compress(frames, kZstd3)},
      {"one empty frame", kZstd3, {}, *compress({}, kZstd3)},
      {"no frames", kZstd3, {}, {}},
      {"frame without its size", kZstd3, streamed, frame_without_size(streamed)},
      {"uncompressed", CompressionAlgo::none(), streamed, streamed},
  };
  constexpr std::size_t kGuard = 64;
  for (const Case& c : cases) {
    for (const int change : {0, -1, 1}) {
      if (c.data.empty() && change < 0) continue;
      SCOPED_TRACE(testing::Message() << c.what << ", length change " << change);
      const std::size_t length = c.data.size() + change;
      Bytes buffer(length + 2 * kGuard, 0xA5);
      const MutableByteSpan out = MutableByteSpan(buffer).subspan(kGuard, length);
      const Result<void> done = decompress_into(c.payload, c.algo, out);
      if (change == 0) {
        ASSERT_TRUE(done) << done.error().display();
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), out.begin()));
      } else {
        ASSERT_FALSE(done);
        EXPECT_EQ(done.error().display(), "Compression error: payload decompresses to " +
                                              std::to_string(c.data.size()) + " bytes, expected " +
                                              std::to_string(length));
      }
      EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + kGuard, 0xA5), kGuard);
      EXPECT_EQ(std::count(buffer.end() - kGuard, buffer.end(), 0xA5), kGuard);
    }
  }
  Bytes small(16);
  const Result<void> hostile = decompress_into(frame_claiming(std::uint64_t{1} << 60), kZstd3, small);
  ASSERT_FALSE(hostile);
  EXPECT_EQ(hostile.error().text(),
            "frame header claims 1152921504606846976 bytes, more than a frame of 16 bytes can hold");
}

TEST(Compression, FlippedBytesNeverCrash) {
  const Bytes data = patterned(200000);
  const Bytes payload = *compress(data, kZstd3);
  std::mt19937 rng(11);
  for (int trial = 0; trial < 300; ++trial) {
    Bytes damaged = payload;
    damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    const Result<Bytes> back = decompress(damaged, kZstd3);
    if (!back) {
      EXPECT_EQ(back.error().kind(), TarnwickError::Kind::Compression);
    }
  }
}

TEST(Compression, PrefixDecodingIsBounded) {
  const Bytes tensor = patterned(1 << 20);
  const Bytes payload = *compress(tensor, kZstd3);
  const Bytes small = patterned(10);
  const Bytes small_payload = *compress(small, kZstd3);

  struct Case {
    const char* what;
    Bytes head;
    std::size_t limit;
    Bytes expected;
  };
  const Bytes head(payload.begin(), payload.begin() + std::min<std::size_t>(payload.size(), 262144));
  Bytes across = small;
  across.insert(across.end(), tensor.begin(), tensor.begin() + (65536 - small.size()));
  const Case cases[] = {
      {"a frame of 10 bytes", small_payload, 65536, small},
      {"1 MiB tensor", head, 65536, Bytes(tensor.begin(), tensor.begin() + 65536)},
      {"on across frames", concat(small_payload, payload), 65536, across},
      {"garbage", Bytes(100, 0x55), 65536, {}},
      {"nothing", {}, 65536, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decompress_prefix(c.head, c.limit), c.expected);
  }
}

TEST(Compression, PrefixDecodingKeepsWhatPrecedesTheCut) {
  const Bytes tensor = patterned(1 << 20);
  const Bytes payload = *compress(tensor, kZstd3);
  const Bytes head(payload.begin(), payload.begin() + payload.size() / 3);
  const Bytes got = decompress_prefix(head, 1 << 20);
  ASSERT_FALSE(got.empty());
  ASSERT_LT(got.size(), tensor.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), tensor.begin()));
}

}  // namespace
}  // namespace tarnwick
