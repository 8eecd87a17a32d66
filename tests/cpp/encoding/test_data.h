#pragma once
// Deterministic tensor-like inputs for the encoding tests.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "encoding/lanes.h"
#include "format/bytes.h"

namespace tarnwick::test {

// float32 weights, normally distributed: zstd finds little to gain in them.
inline Bytes normal_floats(std::size_t count, std::uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, 0.02f);
  Bytes out(count * 4);
  for (std::size_t i = 0; i < count; ++i) {
    const float x = normal(rng);
    std::memcpy(out.data() + 4 * i, &x, 4);
  }
  return out;
}

// Bytes with some structure (small counters) so that compression matters.
inline Bytes patterned(std::size_t n, std::uint32_t seed = 7) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((i / 64) * 31 + (rng() % 4));
  return out;
}

// While alive, the element kernels run their baseline (SSE2) build instead
// of the AVX2 one, so that tests can check both on a machine with AVX2.
class KernelBuild {
 public:
  explicit KernelBuild(bool baseline) { lanes::baseline_only() = baseline; }
  ~KernelBuild() { lanes::baseline_only() = false; }
  KernelBuild(const KernelBuild&) = delete;
  KernelBuild& operator=(const KernelBuild&) = delete;
};

inline constexpr bool kBothKernelBuilds[] = {false, true};

inline float as_float(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

inline std::uint32_t bits_of(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

template <class T>
Bytes bytes_of_values(std::initializer_list<T> values) {
  Bytes out(values.size() * sizeof(T));
  std::size_t i = 0;
  for (const T& v : values) std::memcpy(out.data() + sizeof(T) * i++, &v, sizeof(T));
  return out;
}

template <class T>
T value_at(const Bytes& bytes, std::size_t i) {
  T v;
  std::memcpy(&v, bytes.data() + sizeof(T) * i, sizeof(T));
  return v;
}

}  // namespace tarnwick::test
