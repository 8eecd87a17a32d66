#pragma once
// Start-up repair of a store left behind by a killed process.

#include "format/manifest.h"
#include "storage/storage.h"

namespace tarnwick {

// Looks at every directory under "snapshots/" that is named by a UUID the
// manifest does not know. One whose packs are complete and verify is added
// to manifest as a finalized snapshot (kept only when its base, if it has
// one, is in the manifest); every other one has its files deleted. When
// anything was added, the manifest is sorted by step and written to
// manifest.json. Never fails: problems are reported as single lines on
// standard error and start-up carries on.
//
// Call on rank 0 only, before manifest is shared with any other thread: it
// reads and changes manifest without a lock. Directories of snapshots the
// manifest names, finalized or not, are never read.
void recover_store(StorageBackend& storage, Manifest& manifest);

}  // namespace tarnwick
