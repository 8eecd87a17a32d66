#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/bytes.h"

namespace tarnwick {

// One tensor in memory, as the caller handed it over.
struct TensorData {
  std::string name;
  std::vector<std::uint64_t> shape;
  // The dtype text as the caller gave it; for a torch tensor its dtype
  // without the "torch." prefix ("float32", "bfloat16", ...).
  std::string dtype;
  Bytes data;  // little-endian element bytes, owned
};

}  // namespace tarnwick
