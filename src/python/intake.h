#pragma once
// Tensor intake: a dict of name -> tensor becomes TensorData records in two
// phases. collect_tensors runs with the interpreter lock held and only
// records where each tensor's bytes are; materialize_tensors copies them
// with the lock released, on the pool.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "format/bytes.h"
#include "format/error.h"
#include "format/tensor.h"

namespace tarnwick::python {

// Bytes owned by a Python object that stays alive for the whole call.
struct BorrowedBytes {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

struct PendingTensor {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::string dtype;
  std::variant<BorrowedBytes, Bytes> data;
};

// Walks the dict in its order; raises the Python exception of the first
// value that cannot be taken. Interpreter lock held.
std::vector<PendingTensor> collect_tensors(pybind11::handle tensors);

// Copies every tensor's bytes into owned memory, in parallel, keeping the
// order. Interpreter lock released; fails only when memory runs out.
Result<std::vector<TensorData>> materialize_tensors(std::vector<PendingTensor> pending);

// None gives an empty map; otherwise a dict of str to str.
std::map<std::string, std::string> extract_metadata(pybind11::handle metadata);

}  // namespace tarnwick::python
