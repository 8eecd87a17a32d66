#include "encoding/shuffle.h"

#include <emmintrin.h>

#include <cstring>

#include "encoding/blocks.h"
#include "encoding/buffer.h"

namespace tarnwick {
namespace {

// Elements one SIMD step handles: one 16-byte vector per plane.
constexpr std::size_t kVectorElements = 16;

// The even and odd bytes of the 32 bytes a:b, in order.
inline void split_bytes(__m128i a, __m128i b, __m128i& even, __m128i& odd) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  even = _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
  odd = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
}

constexpr int log2_of(std::size_t n) { return n <= 1 ? 0 : 1 + log2_of(n / 2); }

// Elements [begin, end) of in (n = N bytes each) into the N planes of out,
// each plane `count` bytes long. Splitting a run of N vectors into even and
// odd bytes log2(N) times leaves exactly one plane in each vector.
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
  for (; j < end; ++j) {
    for (std::size_t k = 0; k < N; ++k) out[k * count + j] = in[j * N + k];
  }
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
  for (; j < end; ++j) {
    for (std::size_t k = 0; k < N; ++k) out[j * N + k] = in[k * count + j];
  }
}

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

enum class Direction { Shuffle, Unshuffle };

template <Direction D, std::size_t N>
void transpose(const std::uint8_t* in, std::uint8_t* out, std::size_t count, std::size_t begin,
               std::size_t end) {
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
  // Every task reads and writes about kBlockBytes, in whole SIMD steps.
  const std::size_t block = std::max(kBlockBytes / n / kVectorElements, std::size_t{1}) * kVectorElements;
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

}  // namespace tarnwick
