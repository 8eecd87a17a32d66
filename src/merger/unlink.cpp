#include "merger/unlink.h"

#include <cstdio>

#include "format/pack.h"

namespace tarnwick {

void unlink_snapshots(StorageBackend& storage, PendingDeletes& pending, InFlight& inflight,
                      const std::vector<Snapshot>& snapshots, std::chrono::nanoseconds budget) {
  if (snapshots.empty()) return;
  std::vector<Uuid> ids;
  ids.reserve(snapshots.size());
  for (const Snapshot& s : snapshots) ids.push_back(s.id);

  const auto deadline = std::chrono::steady_clock::now() + budget;
  if (!inflight.wait_unpinned(ids, deadline)) {
    std::fprintf(stderr,
                 "[Tarnwick] %zu dropped snapshot(s) are still being read after %llds; leaving "
                 "their files rather than unlinking under the reader\n",
                 snapshots.size(),
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(budget).count()));
    return;
  }

  for (const Snapshot& s : snapshots) {
    for (const auto& [rank, entry] : s.ranks) {
      if (entry.pack_file) {
        (void)storage.remove(*entry.pack_file);
        pending.push(*entry.pack_file);
      }
      for (const TensorEntry& record : entry.tensors) {
        if (!record.filename) continue;
        (void)storage.remove(*record.filename);
        pending.push(*record.filename);
      }
    }
    (void)storage.remove_dir(snapshot_directory(s.id));
  }
}

}  // namespace tarnwick
