#pragma once
// The catalogue records: the manifest of a store, its snapshots, each
// snapshot's ranks and each rank's tensor records, and the descriptor that
// ends every pack file. Plain values: copying one copies it whole.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/settings.h"
#include "format/timestamp.h"
#include "format/uuid.h"

namespace tarnwick {

// The format_version of a manifest this version creates. Readers keep
// whatever version they find.
inline constexpr std::uint32_t kManifestFormatVersion = 2;

// How a tensor's bytes are kept.
enum class TensorStorage {
  Full,      // its own bytes, compressed
  DeltaXor,  // XOR with the base snapshot's tensor of the same name, maybe shuffled, compressed
  Skipped,   // identical to the base snapshot's tensor; no bytes
  Alias,     // identical to another tensor of the same snapshot and rank (alias_of); no bytes
};

// "Full", "DeltaXor", "Skipped" or "Alias".
inline std::string_view tensor_storage_name(TensorStorage storage) {
  switch (storage) {
    case TensorStorage::Full: return "Full";
    case TensorStorage::DeltaXor: return "DeltaXor";
    case TensorStorage::Skipped: return "Skipped";
    case TensorStorage::Alias: return "Alias";
  }
  return "Full";
}

// Only Full and DeltaXor records have a payload in the pack.
inline bool has_payload(TensorStorage storage) {
  return storage == TensorStorage::Full || storage == TensorStorage::DeltaXor;
}

struct TensorEntry {
  std::string name;
  std::vector<std::uint64_t> shape;
  // The dtype of the stored bytes: the cast target's name, or the caller's
  // dtype text when the tensor was not cast.
  std::string dtype;
  // The caller's dtype when the tensor was cast on save.
  std::optional<std::string> original_dtype;
  // For fp8 storage: multiplies the decoded values back to the caller's.
  std::optional<float> quant_scale;
  TensorStorage storage = TensorStorage::Full;
  std::optional<std::string> alias_of;
  // Storage key of a separate object with the payload (older layout);
  // never written by this version.
  std::optional<std::string> filename;
  // Absolute offset of the payload in the rank's pack; 0 without payload.
  std::uint64_t offset = 0;
  std::uint64_t compressed_size = 0;
  // Bytes as stored before compression, after any cast; an alias's target's.
  std::uint64_t raw_size = 0;
  std::string hash_raw;                        // 32 lower-case hex digits
  std::optional<std::string> hash_compressed;  // none for Skipped and Alias
  bool shuffled = false;

  bool operator==(const TensorEntry&) const = default;
};

struct RankEntry {
  std::uint32_t rank = 0;
  // The processed records in the caller's order, then the aliases.
  std::vector<TensorEntry> tensors;
  // Key of the rank's pack; none for the older one-object-per-tensor layout.
  std::optional<std::string> pack_file;
  std::uint64_t total_compressed = 0;
  std::uint64_t total_raw = 0;
  std::uint64_t skipped_count = 0;  // Skipped and Alias records
  std::uint64_t delta_count = 0;
  std::uint64_t full_count = 0;

  bool operator==(const RankEntry&) const = default;
};

using Metadata = std::map<std::string, std::string>;

struct Snapshot {
  Uuid id;
  std::uint64_t step = 0;
  Timestamp created_at{};
  std::map<std::uint32_t, RankEntry> ranks;
  // The snapshot Skipped and DeltaXor records refer to; none for a full one.
  std::optional<Uuid> base_snapshot_id;
  Metadata metadata;
  CompressionAlgo compression;
  bool finalized = false;

  bool operator==(const Snapshot&) const = default;
};

struct Manifest {
  std::uint32_t format_version = kManifestFormatVersion;
  std::uint32_t world_size = 1;
  std::vector<Snapshot> snapshots;  // in the order the coordinator keeps them
  RetentionPolicy retention;
  LineageConfig lineage;

  bool operator==(const Manifest&) const = default;
};

// The self-describing record at the end of a pack: the snapshot's own
// fields, the store's world size and the complete record of the rank that
// wrote the pack.
struct PackDescriptor {
  Uuid snapshot_id;
  std::uint64_t step = 0;
  Timestamp created_at{};
  std::optional<Uuid> base_snapshot_id;
  Metadata metadata;
  CompressionAlgo compression;
  std::uint32_t world_size = 1;
  RankEntry rank;

  bool operator==(const PackDescriptor&) const = default;
};

}  // namespace tarnwick
