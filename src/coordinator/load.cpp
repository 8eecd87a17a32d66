// Loading one snapshot for this rank.
//
// 1. Under the manifest lock the record is found and the snapshot and its
//    base are pinned before the lock is released, so no merge or unlink can
//    come between finding the record and reading its files. The pins are
//    held until the load returns.
// 2. When some record is not Full, the base rank's records are indexed by
//    name (the base view); no pack is read whole: every task reads its own
//    payloads by their ranges.
// 3. Every tensor's final buffer is asked of the sink before anything is
//    decoded: the decoded records in order, then the aliases in order, each
//    checked against the tensors named so far.
// 4. The records are decoded into their buffers in parallel; then every
//    alias is copied from the decoded buffer its chain ends at, in parallel.

#include <cerrno>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "coordinator/core.h"
#include "encoding/buffer.h"
#include "encoding/load_pipeline.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

// The sink's buffer for one tensor, refused unless it has exactly the
// length asked for: decoding writes exactly that many bytes.
Result<MutableByteSpan> buffer_for(const TensorSink& sink, const std::string& name,
                                   std::uint64_t size) {
  TRY(const MutableByteSpan bytes, sink(name, size));
  if (bytes.size() != size) {
    return Err(TarnwickError::invalid_config("the buffer given for tensor '" + name + "' holds " +
                                             std::to_string(bytes.size()) + " bytes, not " +
                                             std::to_string(size)));
  }
  return bytes;
}

struct AliasCopy {
  ByteSpan from;
  MutableByteSpan to;
};

}  // namespace

Result<void> Core::load(const Uuid& id, const TensorSink& sink) {
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
        view.pack_file = base_rank->second.pack_file;
        for (const TensorEntry& record : base_rank->second.tensors) {
          view.entries.emplace(record.name, record);
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

  // Decoded bytes by tensor name; a later record of a name replaces an
  // earlier one, as it would in the caller's dict.
  std::unordered_map<std::string, ByteSpan> decoded;
  std::vector<LoadTarget> targets;
  for (const TensorEntry& record : rank.tensors) {
    if (record.storage == TensorStorage::Alias) continue;
    TRY(const std::uint64_t size, loaded_size(record));
    TRY(const MutableByteSpan bytes, buffer_for(sink, record.name, size));
    targets.push_back({&record, bytes});
    decoded.insert_or_assign(record.name, bytes);
  }
  // An alias of an alias resolves only when its target comes earlier.
  std::vector<AliasCopy> copies;
  for (const TensorEntry& record : rank.tensors) {
    if (record.storage != TensorStorage::Alias) continue;
    if (!record.alias_of) {
      return Err(TarnwickError::checkpoint_not_found("Alias '" + record.name + "' has no target"));
    }
    const auto target = decoded.find(*record.alias_of);
    if (target == decoded.end()) {
      return Err(TarnwickError::checkpoint_not_found("Alias '" + record.name + "' points at '" +
                                                     *record.alias_of +
                                                     "', which is not in this snapshot"));
    }
    const ByteSpan from = target->second;
    TRY(const MutableByteSpan bytes, buffer_for(sink, record.name, from.size()));
    copies.push_back({from, bytes});
    decoded.insert_or_assign(record.name, from);
  }

  const LoadContext context{
      .base_snapshot_id = snapshot.base_snapshot_id,
      .compression = snapshot.compression,
      .pack_file = rank.pack_file,
      .base_view = base_view ? &*base_view : nullptr,
      .lookup = lookup,
      .storage = *storage,
  };
  TRY_VOID(load_in_pool(targets, context));
  return parallel_for(copies.size(), [&](std::size_t i) -> Result<void> {
    copy_into(copies[i].from, copies[i].to.data());
    return {};
  });
}

Result<LoadedTensors> Core::load(const Uuid& id) {
  // A deque: its elements, and so the buffers handed out, never move.
  std::deque<std::pair<std::string, Bytes>> buffers;
  TRY_VOID(load(id, [&](const std::string& name, std::uint64_t size) -> Result<MutableByteSpan> {
    TRY(Bytes bytes, allocate_output(size));
    try {
      buffers.emplace_back(name, std::move(bytes));
    } catch (const std::bad_alloc&) {
      return Err(TarnwickError::io(ENOMEM));
    }
    return MutableByteSpan(buffers.back().second);
  }));
  LoadedTensors tensors;
  for (auto& [name, bytes] : buffers) tensors.insert_or_assign(std::move(name), std::move(bytes));
  return tensors;
}

}  // namespace tarnwick
