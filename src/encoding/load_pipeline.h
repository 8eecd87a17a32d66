#pragma once
// The tensor load pipeline: one tensor record back to the bytes the caller
// saved.
//
// 1. The stored payload is cut from the rank's pack (or, in the older
//    layout, read from its own object).
// 2. Full: checked against hash_compressed (when recorded) and decompressed.
//    DeltaXor: decompressed, unshuffled, XOR-ed with the base record's bytes
//    and checked against hash_raw. Skipped: the base record's bytes.
//    Base records are found by name in the base snapshot, following alias
//    chains of up to 7 hops there; they must be Full (deltas are one level
//    deep).
// 3. Bytes stored in a narrower dtype are cast back to original_dtype.
// The snapshot's own aliases are resolved by the caller afterwards.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/bytes.h"
#include "format/error.h"
#include "format/manifest.h"
#include "format/settings.h"
#include "format/uuid.h"
#include "storage/storage.h"

namespace tarnwick {

// Records after the 8th lookup of a base alias chain are not followed.
inline constexpr int kMaxBaseLookups = 8;

// The base rank as the load path read it once: its records by name, its
// snapshot's compression and its whole pack (null for the older layout).
struct BaseView {
  Uuid snapshot_id;
  std::unordered_map<std::string, TensorEntry> entries;
  CompressionAlgo compression;
  std::shared_ptr<const Bytes> pack_bytes;
};

// A base record found in the manifest, with what is needed to read it.
struct BaseRecord {
  TensorEntry entry;
  CompressionAlgo compression;  // the base snapshot's
  std::optional<std::string> pack_file;
};

// Looks a base record up in the manifest (under the manifest lock, released
// before returning). Fails with Checkpoint not found "Base snapshot {id}",
// "Rank {rank} not in base snapshot {id}" or "Tensor '{name}' not in base
// snapshot {id}". Called from pool tasks, concurrently.
using BaseLookup = std::function<Result<BaseRecord>(const Uuid& base_id, const std::string& name)>;

// Everything one rank's load shares between its tasks, read-only.
struct LoadContext {
  std::optional<Uuid> base_snapshot_id;  // of the snapshot being loaded
  CompressionAlgo compression;           // of the snapshot being loaded
  const Bytes* pack_bytes;               // the rank's whole pack; null without one
  const BaseView* base_view;             // null when the load path built none
  BaseLookup lookup;                     // for bases the view does not cover
  StorageBackend& storage;
};

// A payload: a slice of pack bytes the caller keeps alive, or an object of
// its own read from storage.
class StoredPayload {
 public:
  explicit StoredPayload(ByteSpan slice) : slice_(slice) {}
  explicit StoredPayload(Bytes owned) : owned_(std::move(owned)) {}
  ByteSpan bytes() const { return owned_ ? ByteSpan(*owned_) : slice_; }

 private:
  ByteSpan slice_;
  std::optional<Bytes> owned_;
};

// The record's stored bytes: [offset, offset + compressed_size) of the pack
// when they lie inside it, else its filename object (cut to compressed_size
// when that fits), else Checkpoint not found "No filename for tensor
// '{name}'".
Result<StoredPayload> extract_compressed(const TensorEntry& entry, const Bytes* pack_bytes,
                                         StorageBackend& storage);

// A base record resolved through its alias chain, with the base snapshot's
// compression and the base rank's pack bytes (null without a pack).
struct ResolvedBase {
  TensorEntry entry;
  CompressionAlgo compression;
  std::shared_ptr<const Bytes> pack_bytes;
};

// The non-alias record that name stands for in base snapshot base_id,
// looked up through the view when it covers base_id, else through the
// manifest (reading the base pack once per lookup).
Result<ResolvedBase> resolve_base_entry(const Uuid& base_id, const std::string& name,
                                        const LoadContext& context);

// The record's bytes as stored before compression, before any cast back.
// base_id is the snapshot its Skipped and DeltaXor records refer to; base
// records are loaded without one.
Result<Bytes> load_tensor_raw(const TensorEntry& entry, const std::optional<Uuid>& base_id,
                              CompressionAlgo compression, const Bytes* pack_bytes,
                              const LoadContext& context);

// Every non-alias record of a rank decoded and cast back, in parallel on the
// pool, as (name, bytes) in record order; the first error fails the load.
Result<std::vector<std::pair<std::string, Bytes>>> load_in_pool(
    const std::vector<TensorEntry>& records, const LoadContext& context);

}  // namespace tarnwick
