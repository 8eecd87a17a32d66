#pragma once
// Which snapshots leave the manifest when it outgrows its limits. Pure
// functions on a manifest the caller holds locked; files are not touched.

#include <vector>

#include "format/manifest.h"
#include "format/uuid.h"

namespace tarnwick {

// Removes every record whose id is in ids, keeping the others in order;
// returns the removed records in list order.
std::vector<Snapshot> remove_snapshots(Manifest& manifest, const std::vector<Uuid>& ids);

// Removes the record with id and every record based on it.
std::vector<Snapshot> remove_snapshot_group(Manifest& manifest, const Uuid& id);

// Trims the manifest by its own retention and lineage settings: the
// full-snapshot cap, then the total cap, sparing the rollback lineage.
// Returns the removed records in the order they were removed.
std::vector<Snapshot> trim_by_retention(Manifest& manifest);

}  // namespace tarnwick
