#include "python/intake.h"

#include <cstring>
#include <new>
#include <string_view>

#include "python/convert.h"
#include "runtime/pool.h"

namespace py = pybind11;

namespace tarnwick::python {
namespace {

[[noreturn]] void raise_str_as_list() {
  throw py::type_error("a str cannot be taken as a list");
}

[[noreturn]] void raise_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  throw py::error_already_set();
}

std::uint64_t to_u64_element(py::handle value) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(value.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

std::vector<std::uint64_t> to_shape(py::handle value) {
  if (PyUnicode_Check(value.ptr())) raise_str_as_list();
  if (!PySequence_Check(value.ptr())) {
    throw py::type_error("'" + type_name(value) + "' object cannot be converted to 'Sequence'");
  }
  std::vector<std::uint64_t> shape;
  for (py::handle item : py::reinterpret_borrow<py::sequence>(value)) {
    if (!PyLong_Check(item.ptr())) {
      throw py::type_error("'" + type_name(item) + "' object cannot be interpreted as an integer");
    }
    shape.push_back(to_u64_element(item));
  }
  return shape;
}

// A sequence of ints 0..255 (a list, a memoryview, ...) as owned bytes.
Bytes bytes_from_sequence(py::handle value) {
  if (PyObject_CheckBuffer(value.ptr())) {
    // A byte buffer iterates as its bytes; take them in one go.
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0) {
      const bool plain_bytes = view.itemsize == 1 &&
                               (view.format == nullptr || std::string_view(view.format) == "B");
      Bytes out;
      if (plain_bytes) out.assign(static_cast<const std::uint8_t*>(view.buf),
                                  static_cast<const std::uint8_t*>(view.buf) + view.len);
      PyBuffer_Release(&view);
      if (plain_bytes) return out;
    } else {
      PyErr_Clear();
    }
  }
  Bytes out;
  for (py::handle item : py::reinterpret_borrow<py::sequence>(value)) {
    PyObject* index = PyNumber_Index(item.ptr());
    if (index == nullptr) throw py::error_already_set();
    const long long v = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (v < 0 || v > 255) raise_out_of_range();
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

PendingTensor collect_tuple(std::string name, py::handle value) {
  const Py_ssize_t size = PyTuple_GET_SIZE(value.ptr());
  auto item = [&](Py_ssize_t i) -> py::handle {
    if (i >= size) throw py::index_error("tuple index out of range");
    return PyTuple_GET_ITEM(value.ptr(), i);
  };
  PendingTensor tensor;
  tensor.name = std::move(name);
  tensor.shape = to_shape(item(0));
  tensor.dtype = to_str(item(1), "dtype");
  const py::handle data = item(2);
  if (PyBytes_Check(data.ptr())) {
    tensor.data = BorrowedBytes{reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.ptr())),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
  } else if (PyByteArray_Check(data.ptr())) {
    // Copied now: the buffer may change once the lock is released.
    const auto* start = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(data.ptr()));
    tensor.data = Bytes(start, start + PyByteArray_GET_SIZE(data.ptr()));
  } else if (PyUnicode_Check(data.ptr())) {
    raise_str_as_list();
  } else if (PySequence_Check(data.ptr())) {
    tensor.data = bytes_from_sequence(data);
  } else {
    throw py::type_error("'" + type_name(data) + "' object cannot be converted to 'Sequence'");
  }
  return tensor;
}

std::size_t element_size_of(std::string_view torch_dtype) {
  struct Size {
    std::string_view dtype;
    std::size_t bytes;
  };
  static constexpr Size sizes[] = {
      {"torch.bool", 1},          {"torch.int8", 1},
      {"torch.uint8", 1},         {"torch.float8_e5m2", 1},
      {"torch.float8_e4m3fn", 1}, {"torch.float8_e8m0fnu", 1},
      {"torch.float8_e4m3fnuz", 1}, {"torch.float8_e5m2fnuz", 1},
      {"torch.float8_e4m3b11fnuz", 1},
      {"torch.int16", 2},         {"torch.uint16", 2},
      {"torch.float16", 2},       {"torch.bfloat16", 2},
      {"torch.int32", 4},         {"torch.uint32", 4},
      {"torch.float32", 4},       {"torch.complex32", 4},
      {"torch.int64", 8},         {"torch.uint64", 8},
      {"torch.float64", 8},       {"torch.complex64", 8},
      {"torch.complex128", 16},
  };
  for (const Size& s : sizes) {
    if (s.dtype == torch_dtype) return s.bytes;
  }
  return 0;
}

PendingTensor collect_torch(std::string name, py::handle value) {
  PendingTensor tensor;
  tensor.name = std::move(name);
  tensor.shape = to_shape(value.attr("shape"));
  std::string dtype = py::str(value.attr("dtype"));
  if (dtype.size() >= 6 && dtype.rfind("torch.", 0) == 0) dtype.erase(0, 6);
  tensor.dtype = dtype;
  const std::string device = to_str(value.attr("device").attr("type"), "device.type");
  if (device != "cpu") {
    throw py::value_error("tensor '" + tensor.name + "' is on device '" + device +
                          "'; move it to CPU first (t.detach().cpu()) — Tarnwick reads host "
                          "memory directly");
  }
  const py::object contiguous = value.attr("is_contiguous")();
  if (!PyBool_Check(contiguous.ptr())) {
    throw py::type_error("is_contiguous() returned " + type_name(contiguous) + ", not bool");
  }
  if (contiguous.ptr() != Py_True) {
    throw py::value_error("tensor '" + tensor.name +
                          "' is not contiguous; call .contiguous() first — Tarnwick reads the "
                          "bytes that follow data_ptr()");
  }
  const std::uint64_t numel = to_u64_element(value.attr("numel")());
  const std::uint64_t address = to_u64_element(value.attr("data_ptr")());
  const std::size_t element_size = element_size_of("torch." + dtype);
  if (element_size == 0) throw py::value_error("unsupported dtype torch." + dtype);
  tensor.data = BorrowedBytes{reinterpret_cast<const std::uint8_t*>(address), numel * element_size};
  return tensor;
}

bool has_data_ptr(py::handle value) {
  PyObject* attr = PyObject_GetAttrString(value.ptr(), "data_ptr");
  if (attr != nullptr) {
    Py_DECREF(attr);
    return true;
  }
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return false;
  }
  throw py::error_already_set();
}

// Copies larger than this are split so one big tensor still uses every
// worker.
constexpr std::size_t kCopyChunk = 4u << 20;

}  // namespace

std::vector<PendingTensor> collect_tensors(py::handle tensors) {
  std::vector<PendingTensor> pending;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(tensors)) {
    if (!PyUnicode_Check(key.ptr())) {
      throw py::type_error("tensor names must be str, not " + type_name(key));
    }
    std::string name = to_str(key, "tensors");
    if (PyTuple_Check(value.ptr())) {
      pending.push_back(collect_tuple(std::move(name), value));
    } else if (has_data_ptr(value)) {
      pending.push_back(collect_torch(std::move(name), value));
    } else {
      throw py::type_error("Value for '" + name +
                           "' is not a supported type (must be tuple or torch.Tensor)");
    }
  }
  return pending;
}

Result<std::vector<TensorData>> materialize_tensors(std::vector<PendingTensor> pending) {
  std::vector<TensorData> tensors(pending.size());
  struct Chunk {
    const std::uint8_t* from;
    std::uint8_t* to;
    std::size_t size;
  };
  std::vector<Chunk> chunks;
  try {
    for (std::size_t i = 0; i < pending.size(); ++i) {
      PendingTensor& p = pending[i];
      TensorData& t = tensors[i];
      t.name = std::move(p.name);
      t.shape = std::move(p.shape);
      t.dtype = std::move(p.dtype);
      if (auto* owned = std::get_if<Bytes>(&p.data)) {
        t.data = std::move(*owned);
        continue;
      }
      const BorrowedBytes view = std::get<BorrowedBytes>(p.data);
      t.data.resize(view.size);
      for (std::size_t at = 0; at < view.size; at += kCopyChunk) {
        chunks.push_back({view.data + at, t.data.data() + at, std::min(kCopyChunk, view.size - at)});
      }
    }
  } catch (const std::bad_alloc&) {
    return Err(TarnwickError::io(ENOMEM));
  }
  TRY_VOID(parallel_for(chunks.size(), [&](std::size_t i) -> Result<void> {
    std::memcpy(chunks[i].to, chunks[i].from, chunks[i].size);
    return {};
  }));
  return tensors;
}

std::map<std::string, std::string> extract_metadata(py::handle metadata) {
  std::map<std::string, std::string> map;
  if (metadata.is_none()) return map;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(metadata)) {
    map.insert_or_assign(to_str(key, "metadata"), to_str(value, "metadata"));
  }
  return map;
}

}  // namespace tarnwick::python
