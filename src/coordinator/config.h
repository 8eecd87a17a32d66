#pragma once
// The validated constructor settings, immutable once built.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "format/dtype.h"
#include "format/settings.h"

namespace tarnwick {

class StorageBackend;

// The S3 settings the constructor collects when a bucket is named.
struct S3Config {
  std::string bucket;
  std::string prefix;
  std::string region = "us-east-1";
  std::string access_key;
  std::string secret_key;
  std::optional<std::string> endpoint;
  std::uint64_t multipart_threshold = 4'294'967'296ULL;
  // A custom endpoint always uses path-style addressing.
  bool path_style = false;
};

struct CoordinatorConfig {
  RetentionPolicy retention;
  LineageConfig lineage;
  CompressionAlgo compression = CompressionAlgo::zstd(3);
  double delta_max_ratio = 0.95;
  // Present means the merger thread runs.
  std::optional<std::uint64_t> merge_stride;
  std::uint64_t merge_max_chain = 10;
  std::uint32_t world_size = 1;
  std::uint32_t rank = 0;
  // The bucket mirror; present only when a bucket is configured.
  std::shared_ptr<StorageBackend> remote;
  std::optional<S3Config> s3;
  // Present only when a bucket is configured.
  std::optional<std::uint64_t> sync_every_n_saves;
  DTypePolicy save_dtype;
  bool async_save = true;
  bool keep_base_in_memory = true;
};

}  // namespace tarnwick
