#pragma once
// Eight 32-bit lanes: the unit of the element kernels of the casts. The
// kernels are written once with the compiler's vector extensions and built
// twice through vectorized(): with AVX2, used where the processor has it, and
// with the SSE2 every x86-64 has.
//
// Helpers take and return vectors by value. That would change the calling
// convention between the two builds, which the compiler warns about (at the
// end of the file that includes this one, so the warning is off for all of
// it); they are always inlined, so no vector ever crosses a call.

#include <emmintrin.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#pragma GCC diagnostic ignored "-Wpsabi"

namespace tarnwick::lanes {

// Whether kernels run their AVX2 build: the processor's answer, unless a
// test asked for the baseline.
inline std::atomic<bool>& baseline_only() {
  static std::atomic<bool> flag{false};
  return flag;
}
inline bool use_avx2() {
  static const bool has_avx2 = [] {
    __builtin_cpu_init();  // in case this runs before the library's own initialisation
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has_avx2 && !baseline_only().load(std::memory_order_relaxed);
}

// Every call in body, inlined (flatten) and so compiled for the target.
template <class Body>
[[gnu::target("avx2"), gnu::flatten]] void run_avx2(const Body& body) {
  body();
}
template <class Body>
[[gnu::flatten]] void run_baseline(const Body& body) {
  body();
}

// Runs body, a kernel loop, in the build the processor supports best.
template <class Body>
void vectorized(const Body& body) {
  if (use_avx2()) {
    run_avx2(body);
  } else {
    run_baseline(body);
  }
}

using U32 = std::uint32_t __attribute__((vector_size(32)));
using I32 = std::int32_t __attribute__((vector_size(32)));
using F32 = float __attribute__((vector_size(32)));
using U16 = std::uint16_t __attribute__((vector_size(16)));
using U8 = std::uint8_t __attribute__((vector_size(8)));

constexpr std::size_t kLanes = 8;

// The helpers below also take plain 32-bit values, so that a rule written
// once serves both the lanes and the scalar tail of a block.

template <class U = U32>
[[gnu::always_inline]] inline U splat(std::uint32_t v) {
  if constexpr (std::is_same_v<U, std::uint32_t>) {
    return v;
  } else {
    return U{} + v;
  }
}

// a > limit, for values below 2^31 (magnitudes, small integers): compared as
// signed values, which SSE2 compares natively. A lane mask usable with ?:.
[[gnu::always_inline]] inline I32 above(U32 a, std::uint32_t limit) {
  return reinterpret_cast<I32>(a) > static_cast<std::int32_t>(limit);
}
[[gnu::always_inline]] inline bool above(std::uint32_t a, std::uint32_t limit) {
  return static_cast<std::int32_t>(a) > static_cast<std::int32_t>(limit);
}

[[gnu::always_inline]] inline F32 as_float(U32 bits) { return reinterpret_cast<F32>(bits); }
[[gnu::always_inline]] inline float as_float(std::uint32_t bits) { return std::bit_cast<float>(bits); }
[[gnu::always_inline]] inline U32 as_bits(F32 x) { return reinterpret_cast<U32>(x); }
[[gnu::always_inline]] inline std::uint32_t as_bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// The float value of small non-negative integers.
[[gnu::always_inline]] inline F32 to_float(U32 v) {
  return __builtin_convertvector(reinterpret_cast<I32>(v), F32);
}
[[gnu::always_inline]] inline float to_float(std::uint32_t v) {
  return static_cast<float>(static_cast<std::int32_t>(v));
}

// The low 16 bits of every lane. (The compiler's own conversion moves the
// lanes one by one; saturating packs of sign-extended halves do it at once.)
[[gnu::always_inline]] inline U16 narrow16(U32 v) {
  const I32 extended = reinterpret_cast<I32>(v << 16) >> 16;
  __m128i halves[2];
  std::memcpy(halves, &extended, sizeof halves);
  const __m128i packed = _mm_packs_epi32(halves[0], halves[1]);
  U16 out;
  std::memcpy(&out, &packed, sizeof out);
  return out;
}

using U32x4 = std::uint32_t __attribute__((vector_size(16)));

// Two halves as one vector, joined in registers.
[[gnu::always_inline]] inline U32 join(__m128i low, __m128i high) {
  return __builtin_shufflevector(reinterpret_cast<U32x4>(low), reinterpret_cast<U32x4>(high), 0, 1, 2, 3, 4,
                                 5, 6, 7);
}

// Eight bytes, each zero-extended into its lane (unpacking with zeros: the
// compiler's own conversion moves them one by one).
[[gnu::always_inline]] inline U32 widen8(const std::uint8_t* p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i words = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
  return join(_mm_unpacklo_epi16(words, zero), _mm_unpackhi_epi16(words, zero));
}

// Eight 16-bit values, each zero-extended into its lane.
[[gnu::always_inline]] inline U32 widen16(U16 v) {
  const __m128i words = reinterpret_cast<__m128i>(v);
  const __m128i zero = _mm_setzero_si128();
  return join(_mm_unpacklo_epi16(words, zero), _mm_unpackhi_epi16(words, zero));
}

// Every lane as a byte; lanes must hold values below 256.
[[gnu::always_inline]] inline U8 narrow8(U32 v) {
  __m128i halves[2];
  std::memcpy(halves, &v, sizeof halves);
  const __m128i words = _mm_packs_epi32(halves[0], halves[1]);
  const __m128i bytes = _mm_packus_epi16(words, words);
  U8 out;
  std::memcpy(&out, &bytes, sizeof out);
  return out;
}

template <class V>
[[gnu::always_inline]] inline V load(const std::uint8_t* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
[[gnu::always_inline]] inline void store(std::uint8_t* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

// Outputs at least this large are written around the caches: they cannot
// stay there anyway, and streaming stores skip reading each line first.
inline constexpr std::size_t kStreamFrom = std::size_t{8} << 20;

// Whether an output of n bytes at p is written with streaming stores.
inline bool streams(const std::uint8_t* p, std::size_t n) {
  return n >= kStreamFrom && reinterpret_cast<std::uintptr_t>(p) % 32 == 0;
}

// A store of v at p, a multiple of sizeof v from a streamed output's start.
// Streaming stores are weakly ordered: a loop that uses them ends with
// _mm_sfence() before another thread may read what it wrote.
template <class V>
[[gnu::always_inline]] inline void store(std::uint8_t* p, const V& v, bool stream) {
  static_assert(sizeof(V) % 16 == 0);
  if (!stream) return store(p, v);
  for (std::size_t k = 0; k < sizeof(V); k += 16) {
    __m128i part;
    std::memcpy(&part, reinterpret_cast<const std::uint8_t*>(&v) + k, 16);
    _mm_stream_si128(reinterpret_cast<__m128i*>(p + k), part);
  }
}

}  // namespace tarnwick::lanes
