#include "python/manager.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "coordinator/config.h"
#include "coordinator/coordinator.h"
#include "format/large_buffers.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/intake.h"
#include "storage/filesystem.h"
#include "storage/local_storage.h"

namespace py = pybind11;

namespace tarnwick::python {
namespace {

constexpr const char* kClassDoc =
    "TarnwickManager(storage_root=\"./checkpoints\", compression_level=3, max_full_snapshots=5, "
    "max_deltas_per_full=10, full_every_steps=5000, delta_max_ratio=0.95, world_size=1, rank=0, "
    "merge_stride=0, merge_max_chain=10, rollback_interval_steps=10000, max_rollback_snapshots=3, "
    "max_total_snapshots=None, s3_bucket=None, s3_region=\"us-east-1\", s3_prefix=\"\", "
    "s3_endpoint=None, s3_access_key=None, s3_secret_key=None, s3_path_style=False, "
    "sync_every_n_saves=100, save_dtype=None, async_save=True, keep_base_in_memory=True)\n--\n\n"
    "High-performance checkpoint manager for ML training.";

// The save_dtype argument: None, a dtype name, or a dict of glob pattern
// to dtype name, in the dict's order.
DTypePolicy convert_save_dtype(py::handle value) {
  if (value.is_none()) return {};
  if (PyUnicode_Check(value.ptr())) return unwrap(DTypePolicy::from_name(to_str(value, "save_dtype")));
  if (!PyDict_Check(value.ptr())) {
    throw py::type_error(
        "save_dtype must be a string ('bf16') or a dict of glob pattern to dtype "
        "({'optimizer/*': 'bf16'}), not " + type_name(value));
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  for (auto [key, dtype] : py::reinterpret_borrow<py::dict>(value)) {
    if (!PyUnicode_Check(key.ptr())) {
      throw py::type_error(
          "save_dtype keys must be strings: they are glob patterns matched against tensor names, "
          "e.g. 'optimizer/*'");
    }
    const std::string pattern = to_str(key, "save_dtype");
    if (!PyUnicode_Check(dtype.ptr())) {
      throw py::type_error("save_dtype['" + pattern +
                           "'] must be a string such as 'bf16' or 'none', not a torch.dtype");
    }
    pairs.emplace_back(pattern, to_str(dtype, "save_dtype"));
  }
  return unwrap(DTypePolicy::from_rules(pairs));
}

constexpr const char* kSaveTensorsDoc =
    "Save a checkpoint (single-rank mode).\n\nValues may be `(shape, dtype, bytes)` tuples or "
    "`torch.Tensor` objects.\nA tensor is read through `data_ptr()` with the GIL released, so "
    "its\nstorage must not be mutated, resized or freed for the duration of this\ncall — the "
    "calling thread is blocked inside it, so only another Python\nthread can do that. See the "
    "stub in `tarnwick.pyi` for the contract as\nusers see it.";
constexpr const char* kFlushDoc =
    "Block until any in-flight background save completes.\nRaises if the background save failed.";
constexpr const char* kLastQueueWaitDoc =
    "Seconds the last `save_tensors` spent waiting for the previous save.\n\nCall it straight "
    "after `save_tensors`, on the same thread, and it\ndescribes that call. See "
    "`Coordinator::last_queue_wait` for what the\nnumber is and why it is worth having apart: a "
    "caller timing its own\nsave sees the shadow copy and this wait as one duration, and they "
    "have\ndifferent causes and different remedies. `TARNWICK_PROFILE=1` prints it\ntoo, but a "
    "log line is not available to a program.";
constexpr const char* kLoadDoc =
    "Load one snapshot: tensor name to its bytes, in the dtype it was saved in.";
constexpr const char* kLoadLatestDoc =
    "Load the newest finalized snapshot: (its id, tensor name to bytes).";
constexpr const char* kListSnapshotsDoc =
    "The finalized snapshots, oldest first, with their sizes and metadata.";

Uuid to_uuid(py::handle value, const char* name) {
  const std::string text = to_str(value, name);
  Result<Uuid> id = Uuid::parse(text);
  if (!id) throw py::value_error(id.error().text());
  return *id;
}

// Advice to back a new buffer's whole huge pages with huge pages, before
// anything touches them: first touches of fresh 4 KiB pages made filling a
// 1 GiB snapshot take about 3 s on this kind of virtual machine.
void advise_huge_pages(char* data, std::size_t size) {
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  const auto start = (first + 4095) & ~std::uintptr_t{4095};
  const auto end = (first + size) & ~std::uintptr_t{4095};
  if (end >= start + kHugePageBytes) {
    madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);  // advice only
  }
}

// The bytearrays of one load. The core asks for each tensor's buffer before
// it decodes anything, from a thread that does not hold the GIL, and then
// decodes straight into them with the GIL released: each tensor's bytes are
// written once, into the memory the caller keeps.
class LoadedArrays {
 public:
  // Creates each bytearray under the GIL and keeps it; the returned span is
  // its content. Never throws: failures are errors of the load.
  TensorSink sink() {
    return [this](const std::string& name, std::uint64_t size) -> Result<MutableByteSpan> {
      if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return Err(TarnwickError::io(ENOMEM));
      char* data = nullptr;
      {
        py::gil_scoped_acquire gil;
        auto array = py::reinterpret_steal<py::object>(
            PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!array) {
          PyErr_Clear();
          return Err(TarnwickError::io(ENOMEM));
        }
        data = PyByteArray_AS_STRING(array.ptr());
        try {
          arrays_.emplace_back(name, std::move(array));
        } catch (const std::bad_alloc&) {
          return Err(TarnwickError::io(ENOMEM));
        }
      }
      advise_huge_pages(data, size);
      return MutableByteSpan(reinterpret_cast<std::uint8_t*>(data), size);
    };
  }

  // The dict of a successful load, in the order the buffers were asked for
  // (a later tensor of a name replaces an earlier one). GIL held.
  py::dict to_dict() {
    py::dict result;
    for (auto& [name, array] : arrays_) result[py::str(name)] = std::move(array);
    return result;
  }

 private:
  // Released with the GIL held: the object lives on the stack of a method
  // that holds it.
  std::vector<std::pair<std::string, py::object>> arrays_;  // guarded by the GIL
};

// One manager per training process: a thin shell over the Coordinator.
class Manager {
 public:
  explicit Manager(std::unique_ptr<Coordinator> coordinator) : coordinator_(std::move(coordinator)) {}

  ~Manager() {
    // The last background save finishes before the store goes; other
    // Python threads run meanwhile.
    py::gil_scoped_release release;
    coordinator_.reset();
  }

  std::string save_tensors(py::object step, py::object tensors, py::object metadata) {
    const std::uint64_t step_value = to_u64(step, "step");
    if (!PyDict_Check(tensors.ptr())) {
      throw py::type_error("argument 'tensors': expected dict, not " + type_name(tensors));
    }
    if (!metadata.is_none() && !PyDict_Check(metadata.ptr())) {
      throw py::type_error("argument 'metadata': expected dict, not " + type_name(metadata));
    }
    std::vector<PendingTensor> pending = collect_tensors(tensors);
    Metadata meta = extract_metadata(metadata);
    Result<Uuid> id = [&]() -> Result<Uuid> {
      py::gil_scoped_release release;
      TRY(std::vector<TensorData> copied, materialize_tensors(std::move(pending)));
      return coordinator_->save_tensors(step_value, std::move(copied), std::move(meta));
    }();
    return unwrap(std::move(id)).to_string();
  }

  void flush() {
    Result<void> result = [&] {
      py::gil_scoped_release release;
      return coordinator_->flush();
    }();
    unwrap(std::move(result));
  }

  double last_queue_wait() const {
    if (!coordinator_->has_saver()) return 0.0;
    return static_cast<double>(coordinator_->last_queue_wait().count()) / 1e9;
  }

  py::dict load(py::object snap_id) {
    const Uuid id = to_uuid(snap_id, "snap_id");
    LoadedArrays arrays;
    Result<void> loaded = [&] {
      py::gil_scoped_release release;
      return coordinator_->load(id, arrays.sink());
    }();
    unwrap(std::move(loaded));
    return arrays.to_dict();
  }

  py::tuple load_latest() {
    LoadedArrays arrays;
    Result<Uuid> latest = [&] {
      py::gil_scoped_release release;
      return coordinator_->load_latest(arrays.sink());
    }();
    const Uuid id = unwrap(std::move(latest));
    return py::make_tuple(id.to_string(), arrays.to_dict());
  }

  py::list list_snapshots() {
    std::vector<SnapshotInfo> infos;
    {
      py::gil_scoped_release release;
      infos = coordinator_->list_snapshots();
    }
    py::list rows;
    for (const SnapshotInfo& info : infos) {
      py::dict row;
      row["step"] = info.step;
      row["id"] = info.id.to_string();
      row["is_delta"] = info.is_delta;
      row["total_compressed"] = info.total_compressed;
      row["total_raw"] = info.total_raw;
      row["skipped_tensors"] = info.skipped_tensors;
      row["delta_tensors"] = info.delta_tensors;
      row["full_tensors"] = info.full_tensors;
      row["ranks"] = info.ranks;
      py::dict metadata;
      for (const auto& [key, value] : info.metadata) metadata[py::str(key)] = py::str(value);
      row["metadata"] = metadata;
      rows.append(row);
    }
    return rows;
  }

 private:
  std::unique_ptr<Coordinator> coordinator_;
};

[[noreturn]] void not_available(const char* method) {
  PyErr_SetString(PyExc_NotImplementedError,
                  (std::string(method) + " is not available in this build yet").c_str());
  throw py::error_already_set();
}

std::unique_ptr<Manager> construct(
    py::object storage_root, py::object compression_level, py::object max_full_snapshots,
    py::object max_deltas_per_full, py::object full_every_steps, py::object delta_max_ratio,
    py::object world_size, py::object rank, py::object merge_stride, py::object merge_max_chain,
    py::object rollback_interval_steps, py::object max_rollback_snapshots,
    py::object max_total_snapshots, py::object s3_bucket, py::object s3_region,
    py::object s3_prefix, py::object s3_endpoint, py::object s3_access_key,
    py::object s3_secret_key, py::object s3_path_style, py::object sync_every_n_saves,
    py::object save_dtype, py::object async_save, py::object keep_base_in_memory) {
  // Converted in parameter order: the first failure is the one raised.
  const std::string root = to_str(storage_root, "storage_root");
  CoordinatorConfig config;
  config.compression = CompressionAlgo::from_level(to_i32(compression_level, "compression_level"));
  config.retention.max_full_snapshots = to_u64(max_full_snapshots, "max_full_snapshots");
  config.retention.max_deltas_per_full = to_u64(max_deltas_per_full, "max_deltas_per_full");
  config.retention.full_snapshot_every_steps = to_u64(full_every_steps, "full_every_steps");
  config.delta_max_ratio = to_f64(delta_max_ratio, "delta_max_ratio");
  config.world_size = to_u32(world_size, "world_size");
  config.rank = to_u32(rank, "rank");
  const std::uint64_t stride = to_u64(merge_stride, "merge_stride");
  if (stride != 0) config.merge_stride = stride;
  config.merge_max_chain = to_u64(merge_max_chain, "merge_max_chain");
  config.lineage.rollback_interval_steps = to_u64(rollback_interval_steps, "rollback_interval_steps");
  config.lineage.max_rollback_snapshots = to_u64(max_rollback_snapshots, "max_rollback_snapshots");
  config.retention.max_total_snapshots = to_optional_u64(max_total_snapshots, "max_total_snapshots");
  const auto bucket = to_optional_str(s3_bucket, "s3_bucket");
  std::string region = to_str(s3_region, "s3_region");
  std::string prefix = to_str(s3_prefix, "s3_prefix");
  auto endpoint = to_optional_str(s3_endpoint, "s3_endpoint");
  auto access_key = to_optional_str(s3_access_key, "s3_access_key");
  auto secret_key = to_optional_str(s3_secret_key, "s3_secret_key");
  const bool path_style = to_bool(s3_path_style, "s3_path_style");
  const std::uint64_t sync_every = to_u64(sync_every_n_saves, "sync_every_n_saves");
  config.save_dtype = convert_save_dtype(save_dtype);
  config.async_save = to_bool(async_save, "async_save");
  config.keep_base_in_memory = to_bool(keep_base_in_memory, "keep_base_in_memory");

  if (bucket) {
    if (!access_key) throw py::value_error("s3_access_key required when s3_bucket is set");
    if (!secret_key) throw py::value_error("s3_secret_key required when s3_bucket is set");
    const bool has_endpoint = endpoint.has_value();
    config.s3 = S3Config{
        .bucket = *bucket,
        .prefix = std::move(prefix),
        .region = std::move(region),
        .access_key = std::move(*access_key),
        .secret_key = std::move(*secret_key),
        .endpoint = std::move(endpoint),
        .path_style = path_style || has_endpoint,
    };
    config.sync_every_n_saves = sync_every;
  }

  unwrap(create_directories(root));
  auto storage = std::make_shared<LocalStorage>(root, LocalStorage::kAlignment);
  return std::make_unique<Manager>(unwrap(Coordinator::create(std::move(storage), std::move(config))));
}

}  // namespace

void bind_manager(py::module_& m) {
  py::class_<Manager> cls(m, "TarnwickManager", kClassDoc);
  cls.def(py::init(&construct), py::arg("storage_root") = py::str("./checkpoints"),
           py::arg("compression_level") = 3, py::arg("max_full_snapshots") = 5,
           py::arg("max_deltas_per_full") = 10, py::arg("full_every_steps") = 5000,
           py::arg("delta_max_ratio") = 0.95, py::arg("world_size") = 1, py::arg("rank") = 0,
           py::arg("merge_stride") = 0, py::arg("merge_max_chain") = 10,
           py::arg("rollback_interval_steps") = 10000, py::arg("max_rollback_snapshots") = 3,
           py::arg("max_total_snapshots") = py::none(), py::arg("s3_bucket") = py::none(),
           py::arg("s3_region") = py::str("us-east-1"), py::arg("s3_prefix") = py::str(""),
           py::arg("s3_endpoint") = py::none(), py::arg("s3_access_key") = py::none(),
           py::arg("s3_secret_key") = py::none(), py::arg("s3_path_style") = false,
           py::arg("sync_every_n_saves") = 100, py::arg("save_dtype") = py::none(),
           py::arg("async_save") = true, py::arg("keep_base_in_memory") = true)
      .def("save_tensors", &Manager::save_tensors, py::arg("step"), py::arg("tensors"),
           py::arg("metadata") = py::none(), kSaveTensorsDoc)
      .def("flush", &Manager::flush, kFlushDoc)
      .def("last_queue_wait", &Manager::last_queue_wait, kLastQueueWaitDoc)
      .def("load", &Manager::load, py::arg("snap_id"), kLoadDoc)
      .def("load_latest", &Manager::load_latest, kLoadLatestDoc)
      .def("list_snapshots", &Manager::list_snapshots, kListSnapshotsDoc);
  for (const char* method : {"create_snapshot", "save_rank", "finalize_snapshot", "merge_now",
                             "sync_now", "restore_from_remote"}) {
    cls.def(method, [method](Manager&, py::args, py::kwargs) { not_available(method); });
  }
}

}  // namespace tarnwick::python
