#pragma once
// The tensor load pipeline: one tensor record back to the bytes the caller
// saved, decoded straight into the buffer that will hold them.
//
// 1. The stored payload is read by its range in the rank's pack (or, in the
//    older layout, from its own object).
// 2. Full: checked against hash_compressed (when recorded) and decompressed
//    into the buffer. DeltaXor: the base record is decoded into the buffer,
//    the delta (decompressed, and unshuffled block by block) is XOR-ed into
//    it and the result checked against hash_raw. Skipped: the base record
//    decoded into the buffer. Base records are found by name in the base
//    snapshot, following alias chains of up to 7 hops there; they must be
//    Full (deltas are one level deep).
// 3. Bytes stored in a narrower dtype are decoded aside and cast back into
//    the buffer.
// Every length is known before decoding starts: a record's raw_size, through
// the cast back. A payload that decodes to any other length is an error and
// is never written past its buffer. The snapshot's own aliases are resolved
// by the caller.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "format/bytes.h"
#include "format/error.h"
#include "format/manifest.h"
#include "format/settings.h"
#include "format/uuid.h"
#include "storage/storage.h"

namespace tarnwick {

// Records after the 8th lookup of a base alias chain are not followed.
inline constexpr int kMaxBaseLookups = 8;

// Where a load puts each tensor: called with the tensor's name and its
// exact final length, it returns a buffer of that length, which the load
// fills and which must stay valid, and be left alone by others, until the
// load returns. Called once per tensor of the snapshot, aliases included,
// before any tensor is decoded, from one thread at a time. An error fails
// the load. After a failed load the buffers' contents are unspecified.
using TensorSink =
    std::function<Result<MutableByteSpan>(const std::string& name, std::uint64_t size)>;

// The base rank as the load path found it once: its records by name, its
// snapshot's compression and its pack's key (none for the older layout).
struct BaseView {
  Uuid snapshot_id;
  std::unordered_map<std::string, TensorEntry> entries;
  CompressionAlgo compression;
  std::optional<std::string> pack_file;
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
  std::optional<std::string> pack_file;  // the rank's pack; none in the older layout
  const BaseView* base_view;             // null when the load path built none
  BaseLookup lookup;                     // for bases the view does not cover
  StorageBackend& storage;
};

// The record's stored bytes: get_range(pack_file, offset, compressed_size)
// when all of them come back; else (no pack, or the range does not lie
// inside it) its filename object, cut to compressed_size when that fits;
// else Checkpoint not found "No filename for tensor '{name}'". Errors of
// the reads themselves are returned as they are.
Result<Bytes> extract_compressed(const TensorEntry& entry,
                                 const std::optional<std::string>& pack_file,
                                 StorageBackend& storage);

// A base record resolved through its alias chain, with the base snapshot's
// compression and the base rank's pack (none without one).
struct ResolvedBase {
  TensorEntry entry;
  CompressionAlgo compression;
  std::optional<std::string> pack_file;
};

// The non-alias record that name stands for in base snapshot base_id,
// looked up through the view when it covers base_id, else through the
// manifest. Reads no payload.
Result<ResolvedBase> resolve_base_entry(const Uuid& base_id, const std::string& name,
                                        const LoadContext& context);

// The record's bytes as stored before compression, before any cast back,
// written into out, which callers make raw_size long; a record whose bytes
// have another length fails (Compression, or Delta "base length {a} !=
// delta length {b}" between a delta and its base). base_id is the snapshot
// its Skipped and DeltaXor records refer to; base records are loaded
// without one.
Result<void> load_tensor_raw_into(const TensorEntry& entry, const std::optional<Uuid>& base_id,
                                  CompressionAlgo compression,
                                  const std::optional<std::string>& pack_file,
                                  const LoadContext& context, MutableByteSpan out);

// load_tensor_raw_into a new buffer of raw_size bytes.
Result<Bytes> load_tensor_raw(const TensorEntry& entry, const std::optional<Uuid>& base_id,
                              CompressionAlgo compression,
                              const std::optional<std::string>& pack_file,
                              const LoadContext& context);

// The length of the record's tensor once loaded (its raw_size through the
// cast back), or the error its cast back would fail with.
Result<std::uint64_t> loaded_size(const TensorEntry& entry);

// A non-alias record and the buffer of loaded_size bytes it is loaded into.
struct LoadTarget {
  const TensorEntry* record;
  MutableByteSpan bytes;
};

// Every target decoded and cast back into its buffer, in parallel on the
// pool; the first error fails the load and stops the tasks not yet started.
Result<void> load_in_pool(std::span<const LoadTarget> targets, const LoadContext& context);

}  // namespace tarnwick
