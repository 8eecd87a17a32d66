#include "coordinator/retention.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

Uuid id_for(std::uint64_t n) {
  Uuid id;
  for (int i = 0; i < 8; ++i) id.bytes[8 + i] = static_cast<std::uint8_t>(n >> (8 * (7 - i)));
  id.bytes[0] = 1;
  return id;
}

// A manifest from a compact description: each entry is a step, a base index
// (-1 for a full snapshot) and whether it is finalized. Snapshot i gets id
// id_for(i).
struct Entry {
  std::uint64_t step;
  int base = -1;
  bool finalized = true;
};

Manifest manifest_of(const std::vector<Entry>& entries, RetentionPolicy retention,
                     LineageConfig lineage) {
  Manifest manifest;
  manifest.retention = retention;
  manifest.lineage = lineage;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    Snapshot s;
    s.id = id_for(i);
    s.step = entries[i].step;
    if (entries[i].base >= 0) s.base_snapshot_id = id_for(static_cast<std::uint64_t>(entries[i].base));
    s.finalized = entries[i].finalized;
    manifest.snapshots.push_back(s);
  }
  return manifest;
}

std::vector<std::uint64_t> indexes(const std::vector<Snapshot>& snapshots) {
  std::vector<std::uint64_t> out;
  for (const Snapshot& s : snapshots) {
    std::uint64_t n = 0;
    for (int i = 0; i < 8; ++i) n = (n << 8) | s.id.bytes[8 + i];
    out.push_back(n);
  }
  return out;
}

std::vector<Entry> fulls_with_deltas(std::vector<std::uint64_t> steps, int deltas_each,
                                     int deltas_after_last) {
  std::vector<Entry> entries;
  for (std::size_t f = 0; f < steps.size(); ++f) {
    const int base = static_cast<int>(entries.size());
    entries.push_back({steps[f]});
    const int n = f + 1 == steps.size() ? deltas_after_last : deltas_each;
    for (int d = 1; d <= n; ++d) entries.push_back({steps[f] + 100 * d, base});
  }
  return entries;
}

std::vector<std::uint64_t> range(std::uint64_t from, std::uint64_t to) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = from; i < to; ++i) out.push_back(i);
  return out;
}

TEST(Retention, TrimsByTheCapsWhileSparingTheLineage) {
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    RetentionPolicy retention;
    LineageConfig lineage;
    std::vector<std::uint64_t> removed;
  };
  const RetentionPolicy defaults;
  const LineageConfig default_lineage;
  auto total_cap = [](std::uint64_t cap) {
    RetentionPolicy r;
    r.max_total_snapshots = cap;
    return r;
  };
  auto full_cap = [](std::uint64_t cap) {
    RetentionPolicy r;
    r.max_full_snapshots = cap;
    return r;
  };
  const LineageConfig no_lineage{.rollback_interval_steps = 0, .max_rollback_snapshots = 3};
  const Case cases[] = {
      {"defaults: the sixth full drops the oldest full outside the lineage with its deltas",
       fulls_with_deltas({0, 5000, 10000, 15000, 20000, 25000}, 9, 0), defaults, default_lineage,
       range(10, 20)},
      {"lineage of one keeps the newest rollback point",
       {{100}, {150}, {200}, {250}},
       full_cap(2),
       LineageConfig{.rollback_interval_steps = 100, .max_rollback_snapshots = 1},
       {0, 1}},
      {"total cap 3 takes the oldest deltas one at a time",
       fulls_with_deltas({1}, 0, 4), total_cap(3), default_lineage, {1, 2}},
      {"total cap 1 takes the older full", {{1}, {2}}, total_cap(1), default_lineage, {0}},
      {"total cap 1 keeps a lone full", {{1}}, total_cap(1), default_lineage, {}},
      {"total cap 0 takes everything outside the lineage",
       {{1}, {2, 0}, {3}, {10000}}, total_cap(0), default_lineage, {1, 0, 2}},
      {"an unfinalized delta leaves with its base",
       {{1}, {2, 0, false}, {3}}, full_cap(1), default_lineage,
       {0, 1}},
      {"unfinalized records are not counted",
       {{1}, {2, 0, false}, {3, -1, false}}, total_cap(1), default_lineage, {}},
      {"no lineage when the interval is 0",
       {{0}, {10000}, {20000}}, full_cap(1), no_lineage, {0, 1}},
      {"no lineage when the count is 0",
       {{0}, {10000}, {20000}}, full_cap(1),
       LineageConfig{.rollback_interval_steps = 10000, .max_rollback_snapshots = 0}, {0, 1}},
      {"everything protected: nothing goes",
       {{0}, {10000}, {20000}}, full_cap(1), default_lineage, {}},
  };
  for (const Case& c : cases) {
    Manifest manifest = manifest_of(c.entries, c.retention, c.lineage);
    const std::size_t before = manifest.snapshots.size();
    const std::vector<Snapshot> removed = trim_by_retention(manifest);
    EXPECT_EQ(indexes(removed), c.removed) << c.name;
    EXPECT_EQ(manifest.snapshots.size() + removed.size(), before) << c.name;
  }
}

}  // namespace
}  // namespace tarnwick
