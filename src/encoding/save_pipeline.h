#pragma once
// The tensor save pipeline: one rank's tensors become tensor records and the
// payloads of its pack.
//
// 1. Dedup plan: tensors of at least 4096 bytes that are byte-identical to
//    an earlier tensor of the save (same dtype text, same cast target) alias
//    the first of their group and are not processed.
// 2. Every other tensor is processed by one pool task: cast by the
//    save_dtype rules, hashed, then stored as
//    - Skipped: identical to the base snapshot's tensor of the same name;
//    - DeltaXor: same size as a Full base record and a probe on the first
//      64 KiB says the XOR with the base compresses well enough; the XOR is
//      shuffled (elements of 2 bytes or more) and compressed;
//    - Full: anything else, compressed as it is.
//    Deciding against a delta reads at most a 256 KiB prefix of the base
//    payload; only a delta that passes the probe reads and decompresses the
//    whole base, unless the base's bytes are retained in memory.
// 3. Alias records copy their target's stored dtype, sizes and hash.
// The first failing tensor's error fails the whole rank; nothing is kept.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/bytes.h"
#include "format/dtype.h"
#include "format/error.h"
#include "format/manifest.h"
#include "format/settings.h"
#include "format/tensor.h"
#include "storage/storage.h"

namespace tarnwick {

// Tensors below this size are never aliased and never delta-encoded.
inline constexpr std::uint64_t kMinDedupBytes = 4096;
// How much of a base payload is read, and how much of it decoded, to probe
// whether a delta pays off without reading the whole base.
inline constexpr std::uint64_t kSampleReadBytes = 262144;
inline constexpr std::size_t kSampleDecodeBytes = 65536;
// Samples shorter than this cannot tell a delta from a full payload: the
// probe then runs on the whole base.
inline constexpr std::size_t kMinSampleBytes = 8192;

// The stored (pre-compression) bytes of the Full, uncast tensors of the last
// full snapshot, by name. Immutable once built; shared read-only by saves.
struct RetainedBase {
  std::unordered_map<std::string, Bytes> tensors;
};

// What one rank save knows of its base snapshot's rank. Read-only during the
// save and shared by all tasks.
struct BaseCache {
  std::optional<std::string> pack_file;  // none: older one-object-per-tensor layout
  CompressionAlgo compression;           // the base snapshot's
  std::shared_ptr<StorageBackend> storage;
  std::unordered_map<std::string, TensorEntry> entries;
  // The retained base, only when it belongs to the base snapshot.
  std::shared_ptr<const RetainedBase> retained;
};

struct SaveSettings {
  const DTypePolicy& save_dtype;
  CompressionAlgo compression;  // the new snapshot's
  double delta_max_ratio;
};

struct DedupPlan {
  std::vector<std::string> hashes;  // hash_hex of each tensor's input bytes
  // For each tensor, the name of the earlier tensor it aliases, if any.
  std::vector<std::optional<std::string>> alias_of;
};

// Hashes every tensor in parallel (timed as "dedup hash") and picks the
// aliases. Two tensors alias only if their bytes, dtype texts and cast
// targets under policy are the same: an alias gets its target's stored bytes
// back on load, so it must have been stored the same way.
Result<DedupPlan> dedup_plan(const std::vector<TensorData>& tensors, const DTypePolicy& policy);

// Where each payload goes as soon as its tensor is encoded: record is the
// index of the tensor's record in the rank's records. Called from pool
// tasks, concurrently and in any order, once per record that is not an
// alias (Skipped records hand over an empty payload). An error fails the
// rank.
using PayloadSink = std::function<Result<void>(std::size_t record, Bytes payload)>;

// One rank, whole: the records are the processed tensors in input order,
// then the aliases (which have no payload). Every tensor that is not an
// alias is processed on its own pool task; the first error fails the rank.
Result<std::vector<TensorEntry>> encode_rank(const std::vector<TensorData>& tensors,
                                             const BaseCache* base, const SaveSettings& settings,
                                             const PayloadSink& sink);

// The same with the payloads gathered: payloads[i] belongs to records[i]
// (empty for Skipped and Alias).
struct EncodedRank {
  std::vector<TensorEntry> records;
  std::vector<Bytes> payloads;
};

Result<EncodedRank> encode_rank(const std::vector<TensorData>& tensors, const BaseCache* base,
                                const SaveSettings& settings);

// After a save without base: moves (does not copy) the input bytes of every
// Full record without original_dtype into a new RetainedBase. Cast tensors
// and aliases are left out: their input bytes are not what was stored.
std::shared_ptr<const RetainedBase> retain_base(std::vector<TensorData>& tensors,
                                                const std::vector<TensorEntry>& records);

}  // namespace tarnwick
