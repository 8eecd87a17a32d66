#include "coordinator/core.h"

#include <string_view>

#include "coordinator/retention.h"
#include "format/manifest_json.h"

namespace tarnwick {

namespace {
constexpr std::string_view kManifestKey = "manifest.json";
}  // namespace

Result<Manifest> load_manifest(StorageBackend& storage, const CoordinatorConfig& config) {
  Result<Bytes> stored = storage.get(kManifestKey);
  if (!stored) {
    if (stored.error().kind() != TarnwickError::Kind::CheckpointNotFound) return Err(stored.error());
    Manifest manifest;
    manifest.format_version = kManifestFormatVersion;
    manifest.world_size = config.world_size;
    manifest.retention = config.retention;
    manifest.lineage = config.lineage;
    return manifest;
  }
  // The local store pads objects with zeros.
  std::size_t size = stored->size();
  while (size > 0 && (*stored)[size - 1] == 0) --size;
  return manifest_from_json(ByteSpan(stored->data(), size));
}

Core::Core(CoordinatorConfig config_in, std::shared_ptr<StorageBackend> storage_in,
           Manifest manifest_in)
    : config(std::move(config_in)),
      storage(std::move(storage_in)),
      pending_deletes(std::make_shared<PendingDeletes>(config.s3.has_value())),
      manifest(std::move(manifest_in)) {}

Result<void> Core::persist_manifest(const Manifest& to_write) {
  TRY(std::string json, manifest_to_json(to_write));
  return storage->put(kManifestKey, ByteSpan(reinterpret_cast<const std::uint8_t*>(json.data()),
                                             json.size()));
}

Result<std::vector<Snapshot>> Core::apply_retention() {
  std::vector<Snapshot> removed = trim_by_retention(manifest);
  TRY_VOID(persist_manifest(manifest));
  return removed;
}

Result<Uuid> Core::latest_finalized() {
  std::lock_guard lock(manifest_mutex);
  for (auto it = manifest.snapshots.rbegin(); it != manifest.snapshots.rend(); ++it) {
    if (it->finalized) return it->id;
  }
  return Err(TarnwickError::checkpoint_not_found("No finalized snapshots"));
}

std::vector<SnapshotInfo> Core::list_snapshots() {
  std::lock_guard lock(manifest_mutex);
  std::vector<SnapshotInfo> infos;
  for (const Snapshot& snapshot : manifest.snapshots) {
    if (!snapshot.finalized) continue;
    SnapshotInfo info{.step = snapshot.step,
                      .id = snapshot.id,
                      .is_delta = snapshot.base_snapshot_id.has_value(),
                      .ranks = snapshot.ranks.size(),
                      .metadata = snapshot.metadata};
    for (const auto& [rank, entry] : snapshot.ranks) {
      info.total_compressed += entry.total_compressed;
      info.total_raw += entry.total_raw;
      info.skipped_tensors += entry.skipped_count;
      info.delta_tensors += entry.delta_count;
      info.full_tensors += entry.full_count;
    }
    infos.push_back(std::move(info));
  }
  return infos;
}

}  // namespace tarnwick
