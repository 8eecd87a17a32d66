#include "encoding/shuffle.h"

#include <immintrin.h>

#include <cstring>

#include "encoding/blocks.h"
#include "encoding/buffer.h"
#include "encoding/lanes.h"

namespace tarnwick {
namespace {

// Elements one SIMD step handles: one 16-byte vector per plane.
constexpr std::size_t kVectorElements = 16;

// Elements [begin, end) of in (n bytes each) into the n planes of out, each
// plane `count` bytes long, one byte at a time.
void shuffle_any(const std::uint8_t* in, std::uint8_t* out, std::size_t n, std::size_t count,
                 std::size_t begin, std::size_t end) {
  for (std::size_t j = begin; j < end; ++j) {
    for (std::size_t k = 0; k < n; ++k) out[k * count + j] = in[j * n + k];
  }
}

void unshuffle_any(const std::uint8_t* in, std::uint8_t* out, std::size_t n, std::size_t count,
                   std::size_t begin, std::size_t end) {
  for (std::size_t j = begin; j < end; ++j) {
    for (std::size_t k = 0; k < n; ++k) out[j * n + k] = in[k * count + j];
  }
}

// The even and odd bytes of the 32 bytes a:b, in order.
inline void split_bytes(__m128i a, __m128i b, __m128i& even, __m128i& odd) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  even = _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
  odd = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
}

constexpr int log2_of(std::size_t n) { return n <= 1 ? 0 : 1 + log2_of(n / 2); }

// shuffle_any for N = 2, 4, 8, 16 in SSE2 steps of 16 elements: splitting a
// run of N vectors into even and odd bytes log2(N) times leaves exactly one
// plane in each vector.
template <std::size_t N>
void shuffle_elements(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                      std::size_t begin, std::size_t end) {
  std::size_t j = begin;
  for (; j + kVectorElements <= end; j += kVectorElements) {
    __m128i v[N];
    for (std::size_t i = 0; i < N; ++i) {
      v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + j * N + 16 * i));
    }
    for (int level = 0; level < log2_of(N); ++level) {
      __m128i w[N];
      for (std::size_t i = 0; i < N / 2; ++i) split_bytes(v[2 * i], v[2 * i + 1], w[i], w[i + N / 2]);
      for (std::size_t i = 0; i < N; ++i) v[i] = w[i];
    }
    for (std::size_t k = 0; k < N; ++k) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k * count + j), v[k]);
    }
  }
  shuffle_any(in, out, N, count, j, end);
}

// The inverse of shuffle_elements: interleaving pairs of planes undoes one
// split at a time.
template <std::size_t N>
void unshuffle_elements(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                        std::size_t begin, std::size_t end) {
  std::size_t j = begin;
  for (; j + kVectorElements <= end; j += kVectorElements) {
    __m128i v[N];
    for (std::size_t k = 0; k < N; ++k) {
      v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k * count + j));
    }
    for (int level = 0; level < log2_of(N); ++level) {
      __m128i w[N];
      for (std::size_t i = 0; i < N; ++i) w[i] = v[i];
      for (std::size_t i = 0; i < N / 2; ++i) {
        v[2 * i] = _mm_unpacklo_epi8(w[i], w[i + N / 2]);
        v[2 * i + 1] = _mm_unpackhi_epi8(w[i], w[i + N / 2]);
      }
    }
    for (std::size_t i = 0; i < N; ++i) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j * N + 16 * i), v[i]);
    }
  }
  unshuffle_any(in, out, N, count, j, end);
}

// AVX2 steps of 32 elements for element sizes 2 and 4: a byte shuffle inside
// each 16-byte lane groups the bytes of equal significance, then permutes
// across lanes gather each plane's run.
namespace avx2 {

// Within each 16-byte lane, byte k of every element together: for 4-byte
// elements a 4x4 transpose (its own inverse), for 2-byte ones evens then odds.
[[gnu::target("avx2")]] inline __m256i group_mask(std::size_t n) {
  return n == 4 ? _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5,
                                   9, 13, 2, 6, 10, 14, 3, 7, 11, 15)
                : _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15, 0, 2, 4, 6, 8, 10,
                                   12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
}

[[gnu::target("avx2")]] inline __m256i load(const std::uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
// With stream, p is 32-byte aligned and the store goes around the caches.
template <bool Stream>
[[gnu::target("avx2")]] inline void store(std::uint8_t* p, __m256i v) {
  if constexpr (Stream) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v);
  } else {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
}

template <std::size_t N, bool Stream>
[[gnu::target("avx2")]] void shuffle_elements(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                                              std::size_t begin, std::size_t end) {
  const __m256i mask = group_mask(N);
  std::size_t j = begin;
  for (; j + 32 <= end; j += 32) {
    const std::uint8_t* src = in + j * N;
    if constexpr (N == 4) {
      // Per vector of 8 elements: one 8-byte run per plane; then a 4x4
      // transpose of those runs across the four vectors.
      const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
      __m256i t[4];
      for (int i = 0; i < 4; ++i) {
        t[i] = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(load(src + 32 * i), mask), order);
      }
      const __m256i u0 = _mm256_unpacklo_epi64(t[0], t[1]), u1 = _mm256_unpackhi_epi64(t[0], t[1]);
      const __m256i u2 = _mm256_unpacklo_epi64(t[2], t[3]), u3 = _mm256_unpackhi_epi64(t[2], t[3]);
      store<Stream>(out + j, _mm256_permute2x128_si256(u0, u2, 0x20));
      store<Stream>(out + count + j, _mm256_permute2x128_si256(u1, u3, 0x20));
      store<Stream>(out + 2 * count + j, _mm256_permute2x128_si256(u0, u2, 0x31));
      store<Stream>(out + 3 * count + j, _mm256_permute2x128_si256(u1, u3, 0x31));
    } else {
      // Per vector of 16 elements: one 16-byte run per plane.
      const __m256i t0 = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(load(src), mask), 0xD8);
      const __m256i t1 = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(load(src + 32), mask), 0xD8);
      store<Stream>(out + j, _mm256_permute2x128_si256(t0, t1, 0x20));
      store<Stream>(out + count + j, _mm256_permute2x128_si256(t0, t1, 0x31));
    }
  }
  shuffle_any(in, out, N, count, j, end);
  if constexpr (Stream) _mm_sfence();
}

// The inverse steps, in reverse order.
template <std::size_t N, bool Stream>
[[gnu::target("avx2")]] void unshuffle_elements(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                                                std::size_t begin, std::size_t end) {
  const __m256i mask = group_mask(N);
  std::size_t j = begin;
  for (; j + 32 <= end; j += 32) {
    std::uint8_t* dst = out + j * N;
    if constexpr (N == 4) {
      const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
      const __m256i p0 = load(in + j), p1 = load(in + count + j);
      const __m256i p2 = load(in + 2 * count + j), p3 = load(in + 3 * count + j);
      const __m256i u0 = _mm256_permute2x128_si256(p0, p2, 0x20), u2 = _mm256_permute2x128_si256(p0, p2, 0x31);
      const __m256i u1 = _mm256_permute2x128_si256(p1, p3, 0x20), u3 = _mm256_permute2x128_si256(p1, p3, 0x31);
      const __m256i t[4] = {_mm256_unpacklo_epi64(u0, u1), _mm256_unpackhi_epi64(u0, u1),
                            _mm256_unpacklo_epi64(u2, u3), _mm256_unpackhi_epi64(u2, u3)};
      for (int i = 0; i < 4; ++i) {
        store<Stream>(dst + 32 * i, _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(t[i], order), mask));
      }
    } else {
      // Interleaving the planes' bytes lane by lane, once the 8-byte runs
      // sit in the lanes where their elements go.
      const __m256i x = _mm256_permute4x64_epi64(load(in + j), 0xD8);
      const __m256i y = _mm256_permute4x64_epi64(load(in + count + j), 0xD8);
      store<Stream>(dst, _mm256_unpacklo_epi8(x, y));
      store<Stream>(dst + 32, _mm256_unpackhi_epi8(x, y));
    }
  }
  unshuffle_any(in, out, N, count, j, end);
  if constexpr (Stream) _mm_sfence();
}

}  // namespace avx2

enum class Direction { Shuffle, Unshuffle };

// Whether the AVX2 steps may stream: every vector they store is then
// 32-byte aligned (planes start at multiples of count, blocks at multiples
// of 32 elements).
bool streams(const std::uint8_t* out, std::size_t size, std::size_t count) {
  return lanes::streams(out, size) && count % 32 == 0;
}

template <Direction D, std::size_t N>
void transpose(const std::uint8_t* in, std::uint8_t* out, std::size_t count, std::size_t begin,
               std::size_t end) {
  if constexpr (N == 2 || N == 4) {
    if (lanes::use_avx2()) {
      const bool stream = streams(out, count * N, count);
      if constexpr (D == Direction::Shuffle) {
        return stream ? avx2::shuffle_elements<N, true>(in, out, count, begin, end)
                      : avx2::shuffle_elements<N, false>(in, out, count, begin, end);
      } else {
        return stream ? avx2::unshuffle_elements<N, true>(in, out, count, begin, end)
                      : avx2::unshuffle_elements<N, false>(in, out, count, begin, end);
      }
    }
  }
  if constexpr (D == Direction::Shuffle) {
    shuffle_elements<N>(in, out, count, begin, end);
  } else {
    unshuffle_elements<N>(in, out, count, begin, end);
  }
}

template <Direction D>
Result<Bytes> regroup(ByteSpan data, std::size_t n) {
  if (n < 2 || data.size() < n) return copy_bytes(data);
  TRY(Bytes out, allocate_output(data.size()));
  const std::size_t count = data.size() / n;
  const std::size_t whole = count * n;
  std::memcpy(out.data() + whole, data.data() + whole, data.size() - whole);
  // Every task reads and writes about kBlockBytes, in whole steps of 32
  // elements (the AVX2 step), so that streamed stores stay aligned.
  const std::size_t block = std::max(kBlockBytes / n / 32, std::size_t{1}) * 32;
  const std::uint8_t* in = data.data();
  std::uint8_t* dst = out.data();
  for_each_block(count, block, [&](std::size_t begin, std::size_t end) {
    switch (n) {
      case 2: return transpose<D, 2>(in, dst, count, begin, end);
      case 4: return transpose<D, 4>(in, dst, count, begin, end);
      case 8: return transpose<D, 8>(in, dst, count, begin, end);
      case 16: return transpose<D, 16>(in, dst, count, begin, end);
      default:
        if constexpr (D == Direction::Shuffle) {
          shuffle_any(in, dst, n, count, begin, end);
        } else {
          unshuffle_any(in, dst, n, count, begin, end);
        }
    }
  });
  return out;
}

}  // namespace

std::size_t element_size(std::string_view dtype) {
  if (dtype == "float64" || dtype == "int64" || dtype == "uint64" || dtype == "complex64") return 8;
  if (dtype == "float32" || dtype == "int32" || dtype == "uint32" || dtype == "complex32") return 4;
  if (dtype == "float16" || dtype == "bfloat16" || dtype == "int16" || dtype == "uint16") return 2;
  if (dtype == "complex128") return 16;
  return 1;
}

Result<Bytes> shuffle(ByteSpan data, std::size_t n) { return regroup<Direction::Shuffle>(data, n); }

Result<Bytes> unshuffle(ByteSpan data, std::size_t n) {
  return regroup<Direction::Unshuffle>(data, n);
}

void unshuffle_range(const std::uint8_t* data, std::size_t count, std::size_t n,
                     std::size_t begin, std::size_t end, std::uint8_t* out) {
  // Shifting every plane by begin makes element begin the first one.
  const std::uint8_t* in = data + begin;
  const std::size_t elements = end - begin;
  auto run = [&]<std::size_t N>() {
    if constexpr (N == 2 || N == 4) {
      if (lanes::use_avx2()) return avx2::unshuffle_elements<N, false>(in, out, count, 0, elements);
    }
    unshuffle_elements<N>(in, out, count, 0, elements);
  };
  switch (n) {
    case 2: return run.template operator()<2>();
    case 4: return run.template operator()<4>();
    case 8: return run.template operator()<8>();
    case 16: return run.template operator()<16>();
    default: unshuffle_any(in, out, n, count, 0, elements);
  }
}

}  // namespace tarnwick
