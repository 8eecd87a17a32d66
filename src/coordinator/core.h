#pragma once
// The shared heart of one store: configuration, the local store, the
// in-memory manifest behind its lock, the pin registry and the retained
// base. Shared by the caller's threads, the saver thread and the pool; it
// lives until its last holder lets go.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "coordinator/config.h"
#include "coordinator/inflight.h"
#include "encoding/load_pipeline.h"
#include "encoding/save_pipeline.h"
#include "format/bytes.h"
#include "format/error.h"
#include "format/manifest.h"
#include "format/tensor.h"
#include "format/uuid.h"
#include "storage/storage.h"
#include "sync/pending_deletes.h"

namespace tarnwick {

// One finalized snapshot as list_snapshots reports it.
struct SnapshotInfo {
  std::uint64_t step = 0;
  Uuid id;
  bool is_delta = false;
  std::uint64_t total_compressed = 0;
  std::uint64_t total_raw = 0;
  std::uint64_t skipped_tensors = 0;
  std::uint64_t delta_tensors = 0;
  std::uint64_t full_tensors = 0;
  std::uint64_t ranks = 0;
  Metadata metadata;
};

// Tensor name -> bytes in the caller's dtype.
using LoadedTensors = std::map<std::string, Bytes>;

// The store's manifest.json, or a new manifest (format 2, the config's
// retention, lineage and world size) when there is none yet. A damaged
// manifest is an error: it is never replaced automatically.
Result<Manifest> load_manifest(StorageBackend& storage, const CoordinatorConfig& config);

class Core {
 public:
  Core(CoordinatorConfig config, std::shared_ptr<StorageBackend> storage, Manifest manifest);

  const CoordinatorConfig config;
  const std::shared_ptr<StorageBackend> storage;
  const std::shared_ptr<InFlight> inflight = InFlight::create();
  // Enabled exactly when a bucket mirrors the store.
  const std::shared_ptr<PendingDeletes> pending_deletes;

  // How long a save waits for readers of the snapshots its retention
  // dropped before leaving their files in place. Tests shorten it.
  std::chrono::nanoseconds save_unlink_budget = std::chrono::seconds(30);

  std::mutex manifest_mutex;
  Manifest manifest;  // guarded by manifest_mutex

  // One single-rank save: base choice, encode, pack write, manifest update.
  // Runs inside the pool. Consumes the tensors.
  Result<void> save_sync(const Uuid& id, std::uint64_t step, std::vector<TensorData> tensors,
                         Metadata metadata);

  // Encodes this rank's tensors against base (if any) and writes its pack
  // under directory; touches neither the manifest nor the merger.
  Result<RankEntry> save_rank_tensors(const Uuid& id, const std::string& directory,
                                      const std::optional<Snapshot>& base,
                                      std::vector<TensorData> tensors, const Metadata& metadata,
                                      std::uint64_t step, Timestamp created_at);

  // Writes manifest as manifest.json. Call with manifest_mutex held when
  // manifest is the shared one.
  Result<void> persist_manifest(const Manifest& manifest);

  // Trims the manifest by its retention settings, persists it (even when
  // nothing was removed) and returns the removed records, whose files the
  // caller then unlinks. manifest_mutex held.
  Result<std::vector<Snapshot>> apply_retention();

  // This rank's tensors of snapshot id, in their original dtypes, decoded
  // straight into the buffers sink hands out (see TensorSink). The sink is
  // called on the calling thread, which may be any thread, before anything
  // is decoded; the decoding runs on the pool. The snapshot and its base
  // stay pinned until the call returns.
  Result<void> load(const Uuid& id, const TensorSink& sink);
  // The same into buffers of its own.
  Result<LoadedTensors> load(const Uuid& id);

  // The id of the last finalized snapshot in manifest order.
  Result<Uuid> latest_finalized();

  std::vector<SnapshotInfo> list_snapshots();

 private:
  struct RetainedSlot {
    Uuid snapshot_id;
    std::shared_ptr<const RetainedBase> base;
  };

  std::mutex retained_mutex_;
  std::optional<RetainedSlot> retained_base_;  // guarded by retained_mutex_
  std::atomic<bool> save_dtype_warned_{false};
};

}  // namespace tarnwick
