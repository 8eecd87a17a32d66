#include "python/manager.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "coordinator/config.h"
#include "python/convert.h"
#include "python/errors.h"
#include "storage/filesystem.h"

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

// One manager per training process. Methods of later milestones raise
// NotImplementedError until they land.
class Manager {
 public:
  Manager(std::string storage_root, CoordinatorConfig config)
      : storage_root_(std::move(storage_root)), config_(std::move(config)) {}

 private:
  std::string storage_root_;
  CoordinatorConfig config_;
};

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
  return std::make_unique<Manager>(root, std::move(config));
}

}  // namespace

void bind_manager(py::module_& m) {
  py::class_<Manager>(m, "TarnwickManager", kClassDoc)
      .def(py::init(&construct), py::arg("storage_root") = py::str("./checkpoints"),
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
           py::arg("async_save") = true, py::arg("keep_base_in_memory") = true);
}

}  // namespace tarnwick::python
