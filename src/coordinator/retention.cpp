#include "coordinator/retention.h"

#include <algorithm>
#include <unordered_set>

namespace tarnwick {
namespace {

bool is_full(const Snapshot& s) { return !s.base_snapshot_id.has_value(); }

// The newest finalized full snapshots whose step is a multiple of the
// rollback interval: far-apart points a long run can still roll back to.
std::unordered_set<Uuid> rollback_lineage(const Manifest& manifest) {
  std::unordered_set<Uuid> lineage;
  const LineageConfig& config = manifest.lineage;
  if (config.rollback_interval_steps == 0 || config.max_rollback_snapshots == 0) return lineage;
  for (auto it = manifest.snapshots.rbegin(); it != manifest.snapshots.rend(); ++it) {
    if (lineage.size() >= config.max_rollback_snapshots) break;
    if (is_full(*it) && it->finalized && it->step % config.rollback_interval_steps == 0) {
      lineage.insert(it->id);
    }
  }
  return lineage;
}

std::uint64_t count_finalized(const Manifest& manifest, bool full_only) {
  return static_cast<std::uint64_t>(
      std::count_if(manifest.snapshots.begin(), manifest.snapshots.end(), [&](const Snapshot& s) {
        return s.finalized && (!full_only || is_full(s));
      }));
}

void append(std::vector<Snapshot>& to, std::vector<Snapshot> from) {
  for (Snapshot& s : from) to.push_back(std::move(s));
}

}  // namespace

std::vector<Snapshot> remove_snapshots(Manifest& manifest, const std::vector<Uuid>& ids) {
  const std::unordered_set<Uuid> doomed(ids.begin(), ids.end());
  std::vector<Snapshot> removed;
  std::vector<Snapshot> kept;
  kept.reserve(manifest.snapshots.size());
  for (Snapshot& s : manifest.snapshots) {
    (doomed.contains(s.id) ? removed : kept).push_back(std::move(s));
  }
  manifest.snapshots = std::move(kept);
  return removed;
}

std::vector<Snapshot> remove_snapshot_group(Manifest& manifest, const Uuid& id) {
  std::vector<Uuid> group;
  for (const Snapshot& s : manifest.snapshots) {
    if (s.id == id || s.base_snapshot_id == id) group.push_back(s.id);
  }
  return remove_snapshots(manifest, group);
}

std::vector<Snapshot> trim_by_retention(Manifest& manifest) {
  const RetentionPolicy& policy = manifest.retention;
  const std::unordered_set<Uuid> lineage = rollback_lineage(manifest);
  const std::uint64_t total_cap = policy.max_total_snapshots.value_or(
      policy.max_full_snapshots * (policy.max_deltas_per_full + 1));
  std::vector<Snapshot> removed;

  auto unprotected_fulls = [&] {
    std::vector<Uuid> ids;
    for (const Snapshot& s : manifest.snapshots) {
      if (is_full(s) && s.finalized && !lineage.contains(s.id)) ids.push_back(s.id);
    }
    return ids;
  };

  while (count_finalized(manifest, true) > policy.max_full_snapshots) {
    const std::vector<Uuid> candidates = unprotected_fulls();
    if (candidates.empty()) break;
    append(removed, remove_snapshot_group(manifest, candidates.front()));
  }

  while (count_finalized(manifest, false) > total_cap) {
    const auto delta = std::find_if(manifest.snapshots.begin(), manifest.snapshots.end(),
                                    [](const Snapshot& s) { return s.finalized && !is_full(s); });
    if (delta != manifest.snapshots.end()) {
      append(removed, remove_snapshots(manifest, {delta->id}));
      continue;
    }
    // With a non-zero cap the last unprotected full snapshot always stays.
    const std::vector<Uuid> candidates = unprotected_fulls();
    if (candidates.empty() || (total_cap != 0 && candidates.size() == 1)) break;
    append(removed, remove_snapshot_group(manifest, candidates.front()));
  }
  return removed;
}

}  // namespace tarnwick
