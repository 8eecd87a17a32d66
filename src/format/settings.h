#pragma once
// Settings records the constructor builds, the coordinator keeps and the
// manifest stores. Plain values.

#include <cstdint>
#include <optional>

namespace tarnwick {

struct RetentionPolicy {
  std::uint64_t max_full_snapshots = 5;
  // Deltas after a full snapshot before a save starts a new full one.
  std::uint64_t max_deltas_per_full = 10;
  // Step distance after which a save starts a new full snapshot.
  std::uint64_t full_snapshot_every_steps = 5000;
  // None means max_full_snapshots * (max_deltas_per_full + 1).
  std::optional<std::uint64_t> max_total_snapshots;

  bool operator==(const RetentionPolicy&) const = default;
};

struct LineageConfig {
  // Full snapshots whose step is a multiple of this are rollback points;
  // 0 turns the lineage off.
  std::uint64_t rollback_interval_steps = 10000;
  // How many of the newest rollback points retention protects; 0 turns the
  // lineage off.
  std::uint64_t max_rollback_snapshots = 3;

  bool operator==(const LineageConfig&) const = default;
};

// How payloads are compressed: stored as they are, or zstd at a level
// (negative levels are passed to zstd unchanged).
struct CompressionAlgo {
  enum class Kind { None, Zstd };
  Kind kind = Kind::Zstd;
  std::int32_t level = 3;  // meaningful only for Zstd

  static CompressionAlgo none() { return {Kind::None, 0}; }
  static CompressionAlgo zstd(std::int32_t level) { return {Kind::Zstd, level}; }
  // The constructor's mapping: 0 means uncompressed.
  static CompressionAlgo from_level(std::int32_t level) {
    return level == 0 ? none() : zstd(level);
  }
  bool is_zstd() const { return kind == Kind::Zstd; }

  bool operator==(const CompressionAlgo& other) const {
    return kind == other.kind && (kind == Kind::None || level == other.level);
  }
};

}  // namespace tarnwick
