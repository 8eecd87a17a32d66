#pragma once
// Deleting the files of snapshots that have left the manifest.

#include <chrono>
#include <vector>

#include "coordinator/inflight.h"
#include "format/manifest.h"
#include "storage/storage.h"
#include "sync/pending_deletes.h"

namespace tarnwick {

// Waits up to budget until no reader pins any of the snapshots, then
// deletes their packs (and per-tensor objects of the older layout), queues
// every key for the remote and removes their directories. If readers
// outlast the budget nothing is deleted and one line says so. Never fails:
// deletion errors are ignored. Call without the manifest lock.
void unlink_snapshots(StorageBackend& storage, PendingDeletes& pending, InFlight& inflight,
                      const std::vector<Snapshot>& snapshots, std::chrono::nanoseconds budget);

}  // namespace tarnwick
