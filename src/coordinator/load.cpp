// Loading one snapshot for this rank. The snapshot and its base are pinned
// under the manifest lock, before it is released, so no merge or unlink can
// come between finding the record and reading its files; the pins are held
// until decoding is done. Each rank's pack is read once, whole.

#include <optional>
#include <string>
#include <utility>

#include "coordinator/core.h"
#include "encoding/load_pipeline.h"

namespace tarnwick {

Result<LoadedTensors> Core::load(const Uuid& id) {
  Snapshot snapshot;
  std::optional<PinGuard> pins;
  {
    std::lock_guard lock(manifest_mutex);
    const Snapshot* found = nullptr;
    for (const Snapshot& s : manifest.snapshots) {
      if (s.id == id) {
        found = &s;
        break;
      }
    }
    if (found == nullptr) return Err(TarnwickError::checkpoint_not_found("Snapshot " + id.to_string()));
    snapshot = *found;
    std::vector<Uuid> ids{snapshot.id};
    if (snapshot.base_snapshot_id) ids.push_back(*snapshot.base_snapshot_id);
    pins.emplace(inflight->pin(std::move(ids)));
  }

  const auto rank_entry = snapshot.ranks.find(config.rank);
  if (rank_entry == snapshot.ranks.end()) {
    return Err(TarnwickError::checkpoint_not_found("Rank " + std::to_string(config.rank) +
                                                   " not found in snapshot " + id.to_string()));
  }
  const RankEntry& rank = rank_entry->second;
  std::optional<Bytes> pack_bytes;
  if (rank.pack_file) {
    TRY(pack_bytes, storage->get(*rank.pack_file));
  }

  std::optional<BaseView> base_view;
  bool needs_base = false;
  for (const TensorEntry& record : rank.tensors) {
    if (record.storage != TensorStorage::Full) {
      needs_base = true;
      break;
    }
  }
  if (needs_base && snapshot.base_snapshot_id) {
    std::optional<Snapshot> base;
    {
      std::lock_guard lock(manifest_mutex);
      for (const Snapshot& s : manifest.snapshots) {
        if (s.id == *snapshot.base_snapshot_id) {
          base = s;
          break;
        }
      }
    }
    if (base) {
      const auto base_rank = base->ranks.find(config.rank);
      if (base_rank != base->ranks.end()) {
        BaseView view;
        view.snapshot_id = base->id;
        view.compression = base->compression;
        for (const TensorEntry& record : base_rank->second.tensors) {
          view.entries.emplace(record.name, record);
        }
        if (base_rank->second.pack_file) {
          TRY(Bytes bytes, storage->get(*base_rank->second.pack_file));
          view.pack_bytes = std::make_shared<const Bytes>(std::move(bytes));
        }
        base_view = std::move(view);
      }
    }
  }

  // Bases the view does not cover are looked up afresh in the manifest.
  BaseLookup lookup = [this](const Uuid& base_id, const std::string& name) -> Result<BaseRecord> {
    std::lock_guard lock(manifest_mutex);
    for (const Snapshot& s : manifest.snapshots) {
      if (s.id != base_id) continue;
      const auto r = s.ranks.find(config.rank);
      if (r == s.ranks.end()) {
        return Err(TarnwickError::checkpoint_not_found("Rank " + std::to_string(config.rank) +
                                                       " not in base snapshot " +
                                                       base_id.to_string()));
      }
      for (const TensorEntry& record : r->second.tensors) {
        if (record.name == name) return BaseRecord{record, s.compression, r->second.pack_file};
      }
      return Err(TarnwickError::checkpoint_not_found("Tensor '" + name + "' not in base snapshot " +
                                                     base_id.to_string()));
    }
    return Err(TarnwickError::checkpoint_not_found("Base snapshot " + base_id.to_string()));
  };

  const LoadContext context{
      .base_snapshot_id = snapshot.base_snapshot_id,
      .compression = snapshot.compression,
      .pack_bytes = pack_bytes ? &*pack_bytes : nullptr,
      .base_view = base_view ? &*base_view : nullptr,
      .lookup = lookup,
      .storage = *storage,
  };
  TRY(auto decoded, load_in_pool(rank.tensors, context));

  LoadedTensors tensors;
  for (auto& [name, bytes] : decoded) tensors.insert_or_assign(std::move(name), std::move(bytes));
  for (const TensorEntry& record : rank.tensors) {
    if (record.storage != TensorStorage::Alias) continue;
    if (!record.alias_of) {
      return Err(TarnwickError::checkpoint_not_found("Alias '" + record.name + "' has no target"));
    }
    const auto target = tensors.find(*record.alias_of);
    if (target == tensors.end()) {
      return Err(TarnwickError::checkpoint_not_found("Alias '" + record.name + "' points at '" +
                                                     *record.alias_of +
                                                     "', which is not in this snapshot"));
    }
    Bytes copy = target->second;
    tensors.insert_or_assign(record.name, std::move(copy));
  }
  return tensors;
}

}  // namespace tarnwick
