#pragma once
// Tensors and stored ranks for the save and load pipeline tests.

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/memory_storage.h"
#include "encoding/save_pipeline.h"
#include "format/tensor.h"

namespace tarnwick::pipeline_test {

inline TensorData tensor(std::string name, std::string dtype, Bytes data) {
  return TensorData{std::move(name), {data.size()}, std::move(dtype), std::move(data)};
}

// Incompressible bytes, different for every seed.
inline Bytes random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

// float32 values like trained weights: small, normally distributed.
inline Bytes weights(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> dist(0.0f, 0.02f);
  Bytes bytes(count * 4);
  for (std::size_t i = 0; i < count; ++i) {
    const float value = dist(rng);
    std::memcpy(bytes.data() + 4 * i, &value, 4);
  }
  return bytes;
}

inline Bytes floats(std::initializer_list<float> values) {
  Bytes bytes(values.size() * 4);
  std::size_t at = 0;
  for (float v : values) {
    std::memcpy(bytes.data() + at, &v, 4);
    at += 4;
  }
  return bytes;
}

// A training step's worth of change: one byte in every `stride` flipped in
// its low bits.
inline Bytes nudged(Bytes bytes, std::size_t stride = 64) {
  for (std::size_t i = 0; i < bytes.size(); i += stride) bytes[i] ^= 0x01;
  return bytes;
}

// Stores a rank the way a pack holds it: payloads back to back from byte
// 32, records' offsets set to match. Returns the records.
inline std::vector<TensorEntry> store_rank(MemoryStorage& storage, const std::string& key,
                                           EncodedRank rank) {
  Bytes object(32, 0);
  for (std::size_t i = 0; i < rank.records.size(); ++i) {
    if (rank.payloads[i].empty()) continue;
    rank.records[i].offset = object.size();
    object.insert(object.end(), rank.payloads[i].begin(), rank.payloads[i].end());
  }
  (void)storage.put(key, object);
  return rank.records;
}

inline BaseCache base_cache(std::shared_ptr<MemoryStorage> storage, const std::string& pack_file,
                            const std::vector<TensorEntry>& records, CompressionAlgo compression) {
  BaseCache base{pack_file, compression, std::move(storage), {}, nullptr};
  for (const TensorEntry& record : records) base.entries.emplace(record.name, record);
  return base;
}

}  // namespace tarnwick::pipeline_test
