// The single-rank save path:
// 1. Under the manifest lock, choose the base (the newest finalized full
//    snapshot unless the step gap, the delta count or a pending merge call
//    for a new full one) and pin it.
// 2. Encode the tensors against it while their payloads stream into the
//    rank's pack, which is published atomically once complete.
// 3. Only then, under the manifest lock, append the snapshot, apply
//    retention and replace manifest.json atomically.
// A crash before 3 leaves a complete, unrecorded pack for start-up recovery.

#include <chrono>
#include <cstdio>
#include <string>

#include "coordinator/core.h"
#include "coordinator/pack_stream.h"
#include "format/pack.h"
#include "merger/unlink.h"
#include "runtime/profile.h"

namespace tarnwick {
namespace {

// The base a new snapshot may be stored against: the last finalized full
// snapshot, unless too many steps or deltas separate it from this save.
const Snapshot* choose_base(const Manifest& manifest, std::uint64_t step, InFlight& inflight) {
  const Snapshot* candidate = nullptr;
  for (auto it = manifest.snapshots.rbegin(); it != manifest.snapshots.rend(); ++it) {
    if (it->finalized && !it->base_snapshot_id) {
      candidate = &*it;
      break;
    }
  }
  if (candidate == nullptr) return nullptr;
  const std::uint64_t gap = step > candidate->step ? step - candidate->step : 0;
  if (gap >= manifest.retention.full_snapshot_every_steps) return nullptr;
  std::uint64_t deltas = 0;
  for (auto it = manifest.snapshots.rbegin(); it != manifest.snapshots.rend() && it->base_snapshot_id;
       ++it) {
    ++deltas;
  }
  if (deltas >= manifest.retention.max_deltas_per_full) return nullptr;
  if (inflight.is_doomed(candidate->id)) return nullptr;
  return candidate;
}

void warn_unmatched_patterns(const DTypePolicy& policy, const std::vector<TensorData>& tensors) {
  std::string unmatched;
  for (const DTypeRule& rule : policy.rules) {
    bool matched = false;
    for (const TensorData& tensor : tensors) {
      if (glob_match(rule.pattern, tensor.name)) {
        matched = true;
        break;
      }
    }
    if (matched) continue;
    if (!unmatched.empty()) unmatched += ", ";
    unmatched += rule.pattern;
  }
  if (unmatched.empty()) return;
  const std::string example = tensors.empty() ? "model/weight" : tensors.front().name;
  std::fprintf(stderr,
               "[Tarnwick] save_dtype pattern(s) %s matched none of this rank's %zu tensors, so "
               "they cast nothing. Patterns are globs over the full tensor name (e.g. '%s'); '*' "
               "matches any run of characters.\n",
               unmatched.c_str(), tensors.size(), example.c_str());
}

}  // namespace

Result<void> Core::save_sync(const Uuid& id, std::uint64_t step, std::vector<TensorData> tensors,
                             Metadata metadata) {
  const auto started = std::chrono::steady_clock::now();
  std::uint64_t raw = 0;
  for (const TensorData& tensor : tensors) raw += tensor.data.size();
  const std::string directory = snapshot_directory(id);
  std::optional<Snapshot> base;
  std::optional<PinGuard> base_pin;
  {
    std::lock_guard lock(manifest_mutex);
    if (const Snapshot* chosen = choose_base(manifest, step, *inflight)) {
      base = *chosen;
      base_pin.emplace(inflight->pin({chosen->id}));
    }
  }
  const Timestamp created_at = now_utc();
  TRY(RankEntry entry, save_rank_tensors(id, directory, base, std::move(tensors), metadata, step,
                                         created_at));

  Snapshot snapshot;
  snapshot.id = id;
  snapshot.step = step;
  snapshot.created_at = created_at;
  snapshot.ranks.emplace(config.rank, std::move(entry));
  if (base) snapshot.base_snapshot_id = base->id;
  snapshot.metadata = std::move(metadata);
  snapshot.compression = config.compression;
  snapshot.finalized = true;

  std::vector<Snapshot> dropped;
  {
    std::lock_guard lock(manifest_mutex);
    manifest.snapshots.push_back(std::move(snapshot));
    TRY(dropped, apply_retention());
  }
  base_pin.reset();
  unlink_snapshots(*storage, *pending_deletes, *inflight, dropped, save_unlink_budget);
  // The merger and the syncer are told about the save here.
  print_save_report("step " + std::to_string(step), std::chrono::steady_clock::now() - started, raw);
  return {};
}

Result<RankEntry> Core::save_rank_tensors(const Uuid& id, const std::string& directory,
                                          const std::optional<Snapshot>& base,
                                          std::vector<TensorData> tensors, const Metadata& metadata,
                                          std::uint64_t step, Timestamp created_at) {
  std::optional<BaseCache> base_cache;
  if (base) {
    const auto rank_entry = base->ranks.find(config.rank);
    if (rank_entry != base->ranks.end()) {
      BaseCache cache;
      cache.pack_file = rank_entry->second.pack_file;
      cache.compression = base->compression;
      cache.storage = storage;
      for (const TensorEntry& record : rank_entry->second.tensors) {
        cache.entries.emplace(record.name, record);
      }
      {
        std::lock_guard lock(retained_mutex_);
        if (retained_base_ && retained_base_->snapshot_id == base->id) {
          cache.retained = retained_base_->base;
        }
      }
      base_cache = std::move(cache);
    }
  }

  if (!save_dtype_warned_.exchange(true) && !config.save_dtype.empty()) {
    warn_unmatched_patterns(config.save_dtype, tensors);
  }

  TRY(std::unique_ptr<PackStream> stream, PackStream::start(*storage, pack_key(directory, config.rank)));
  Result<PackLayout> pack = [&]() -> Result<PackLayout> {
    const SaveSettings settings{config.save_dtype, config.compression, config.delta_max_ratio};
    TRY(std::vector<TensorEntry> records,
        encode_rank(tensors, base_cache ? &*base_cache : nullptr, settings,
                    [&](std::size_t record, Bytes payload) { return stream->deliver(record, std::move(payload)); }));

    if (!base && config.keep_base_in_memory) {
      std::shared_ptr<const RetainedBase> retained = retain_base(tensors, records);
      std::lock_guard lock(retained_mutex_);
      retained_base_ = RetainedSlot{id, std::move(retained)};
    }
    tensors.clear();
    tensors.shrink_to_fit();

    PackDescriptor descriptor;
    descriptor.snapshot_id = id;
    descriptor.step = step;
    descriptor.created_at = created_at;
    if (base) descriptor.base_snapshot_id = base->id;
    descriptor.metadata = metadata;
    descriptor.compression = config.compression;
    descriptor.world_size = config.world_size;
    descriptor.rank.rank = config.rank;
    descriptor.rank.tensors = std::move(records);
    // Most payloads are on disk by now: what is timed is the tail of the
    // write, the descriptor, the header and the sync.
    return timed(Phase::PackWrite, [&] { return stream->finish(std::move(descriptor)); });
  }();
  if (!pack) {
    // The stream created the snapshot's directory; a failed save leaves
    // neither its pack nor an empty directory behind.
    stream.reset();
    (void)storage->remove_dir(directory);
    return Err(std::move(pack.error()));
  }
  return std::move(pack->descriptor.rank);
}

}  // namespace tarnwick
