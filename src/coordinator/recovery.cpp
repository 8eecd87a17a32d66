// Crash recovery. A save writes its packs first and names the snapshot in
// the manifest last, so a process killed in between leaves a directory
// "snapshots/<id>/" that the manifest does not know. At start-up, on rank 0:
// 1. List "snapshots" and group the files of every directory named by a
//    UUID the manifest does not know: the orphans.
// 2. Rebuild each orphan from its packs: every ".pack" must carry a valid
//    header and a descriptor naming the directory exactly, ranks 0 to
//    world_size - 1 must each have a pack, and every stored payload must
//    hash to its record. Any failure discards the orphan.
// 3. In step order, adopt each rebuilt snapshot whose base (if any) is in
//    the manifest by then; discard the others.
// 4. Delete the discarded orphans' files and directories.
// 5. If anything was adopted, sort the manifest by step and write it.

#include "coordinator/recovery.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "encoding/hash.h"
#include "format/manifest_json.h"
#include "format/pack.h"
#include "runtime/pool.h"

namespace tarnwick {
namespace {

constexpr std::string_view kSnapshotsPrefix = "snapshots/";
constexpr std::string_view kManifestKey = "manifest.json";

// A snapshot directory the manifest does not name, with every file under
// it in listing order.
struct Orphan {
  std::string name;
  std::vector<std::string> keys;
};

struct Rebuilt {
  Snapshot snapshot;
  const Orphan* orphan;
};

void log_line(const std::string& text) { std::fprintf(stderr, "[Tarnwick] %s\n", text.c_str()); }

// Groups the listed files by their directory below "snapshots/", keeping
// only directories named by a UUID the manifest does not know. Files lying
// directly in "snapshots/" belong to no snapshot and are left alone.
std::vector<Orphan> find_orphans(const std::vector<std::string>& keys, const Manifest& manifest) {
  std::unordered_set<std::string> known;
  for (const Snapshot& snapshot : manifest.snapshots) known.insert(snapshot.id.to_string());
  std::vector<Orphan> orphans;
  // Directory name -> its index in orphans, or kNotAnOrphan.
  constexpr std::size_t kNotAnOrphan = SIZE_MAX;
  std::unordered_map<std::string, std::size_t> index;
  for (const std::string& key : keys) {
    if (!key.starts_with(kSnapshotsPrefix)) continue;
    const std::string_view rest = std::string_view(key).substr(kSnapshotsPrefix.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) continue;
    std::string name(rest.substr(0, slash));
    if (known.contains(name)) continue;
    auto [it, inserted] = index.try_emplace(name, kNotAnOrphan);
    if (inserted && Uuid::parse(name)) {
      it->second = orphans.size();
      orphans.push_back(Orphan{.name = std::move(name), .keys = {}});
    }
    if (it->second != kNotAnOrphan) orphans[it->second].keys.push_back(key);
  }
  return orphans;
}

// Reads the stored bytes of one record and checks their length and hash.
Result<void> verify_payload(StorageBackend& storage, const RankEntry& rank, const TensorEntry& tensor) {
  Bytes stored;
  if (rank.pack_file) {
    TRY(stored, storage.get_range(*rank.pack_file, tensor.offset, tensor.compressed_size));
  } else if (tensor.filename) {
    TRY(stored, storage.get(*tensor.filename));
    // The store pads objects; the payload is the front of it.
    if (stored.size() > tensor.compressed_size) stored.resize(tensor.compressed_size);
  } else {
    return Err(TarnwickError::storage("'" + tensor.name + "' has neither a pack nor a file"));
  }
  if (stored.size() != tensor.compressed_size) {
    return Err(TarnwickError::storage("'" + tensor.name + "' is short: " + std::to_string(stored.size()) +
                                      " of " + std::to_string(tensor.compressed_size) + " bytes"));
  }
  std::string got = hash_hex(stored);
  if (got != *tensor.hash_compressed) {
    return Err(TarnwickError::integrity_check(*tensor.hash_compressed, std::move(got)));
  }
  return {};
}

// Every payload of every rank, read once and checked in parallel.
Result<void> verify_payloads(StorageBackend& storage, const Snapshot& snapshot) {
  struct Stored {
    const RankEntry* rank;
    const TensorEntry* tensor;
  };
  std::vector<Stored> payloads;
  for (const auto& [number, rank] : snapshot.ranks) {
    for (const TensorEntry& tensor : rank.tensors) {
      if (tensor.hash_compressed) payloads.push_back({&rank, &tensor});
    }
  }
  return parallel_for(payloads.size(), [&](std::size_t i) {
    return verify_payload(storage, *payloads[i].rank, *payloads[i].tensor);
  });
}

// The finalized snapshot an orphan's packs describe, or why they do not
// make a complete one.
Result<Snapshot> rebuild_snapshot(StorageBackend& storage, const Orphan& orphan) {
  TRY(const Uuid id, Uuid::parse(orphan.name));
  // Packs name their snapshot in the one text form; a directory spelled
  // otherwise was not written by a save.
  if (id.to_string() != orphan.name) {
    return Err(TarnwickError::storage("snapshots/" + orphan.name + " is not named in the hyphenated form"));
  }
  std::vector<PackDescriptor> descriptors;
  for (const std::string& key : orphan.keys) {
    if (!key.ends_with(".pack")) continue;
    TRY(PackDescriptor descriptor, check_pack(storage, key, id));
    descriptors.push_back(std::move(descriptor));
  }
  if (descriptors.empty()) return Err(TarnwickError::storage("snapshots/" + orphan.name + " holds no pack"));

  const PackDescriptor& first = descriptors.front();
  Snapshot snapshot{.id = first.snapshot_id,
                    .step = first.step,
                    .created_at = first.created_at,
                    .ranks = {},
                    .base_snapshot_id = first.base_snapshot_id,
                    .metadata = first.metadata,
                    .compression = first.compression,
                    .finalized = true};
  const std::uint32_t world_size = first.world_size;
  for (PackDescriptor& descriptor : descriptors) {
    snapshot.ranks.insert_or_assign(descriptor.rank.rank, std::move(descriptor.rank));
  }
  // As many ranks as the world has is not enough: a stray rank number would
  // stand in for a missing one.
  if (snapshot.ranks.size() != world_size || snapshot.ranks.rbegin()->first >= world_size) {
    return Err(TarnwickError::storage("snapshots/" + orphan.name + " holds " +
                                      std::to_string(snapshot.ranks.size()) + " of " +
                                      std::to_string(world_size) + " ranks"));
  }
  TRY_VOID(verify_payloads(storage, snapshot));
  return snapshot;
}

void delete_orphan(StorageBackend& storage, const Orphan& orphan) {
  for (const std::string& key : orphan.keys) {
    if (Result<void> removed = storage.remove(key); !removed) {
      log_line("Could not delete orphaned " + key + ": " + removed.error().display());
    }
  }
  (void)storage.remove_dir(std::string(kSnapshotsPrefix) + orphan.name);
}

Result<void> write_manifest(StorageBackend& storage, const Manifest& manifest) {
  TRY(const std::string json, manifest_to_json(manifest));
  const ByteSpan part(reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
  return storage.put_parts(kManifestKey, std::span(&part, 1));
}

}  // namespace

void recover_store(StorageBackend& storage, Manifest& manifest) {
  Result<std::vector<std::string>> keys = storage.list("snapshots");
  if (!keys) {
    log_line("Could not list snapshots: " + keys.error().display());
    return;
  }
  const std::vector<Orphan> orphans = find_orphans(*keys, manifest);
  if (orphans.empty()) return;

  std::vector<Rebuilt> rebuilt;
  std::vector<const Orphan*> discards;
  for (const Orphan& orphan : orphans) {
    Result<Snapshot> snapshot = rebuild_snapshot(storage, orphan);
    if (snapshot) {
      rebuilt.push_back({std::move(*snapshot), &orphan});
    } else {
      discards.push_back(&orphan);
    }
  }

  // A delta is only as good as its base: in step order, each one needs its
  // base in the manifest, counting the snapshots adopted before it.
  std::ranges::stable_sort(rebuilt, {}, [](const Rebuilt& r) { return r.snapshot.step; });
  std::unordered_set<Uuid> present;
  for (const Snapshot& snapshot : manifest.snapshots) present.insert(snapshot.id);
  std::size_t recovered = 0;
  for (Rebuilt& candidate : rebuilt) {
    const std::optional<Uuid>& base = candidate.snapshot.base_snapshot_id;
    if (base && !present.contains(*base)) {
      discards.push_back(candidate.orphan);
      continue;
    }
    present.insert(candidate.snapshot.id);
    manifest.snapshots.push_back(std::move(candidate.snapshot));
    ++recovered;
  }

  for (const Orphan* orphan : discards) delete_orphan(storage, *orphan);
  if (recovered > 0) {
    std::ranges::stable_sort(manifest.snapshots, {}, &Snapshot::step);
    log_line("Recovered " + std::to_string(recovered) +
             " complete checkpoint(s) a previous run wrote but was killed before recording");
  }
  if (!discards.empty()) {
    log_line("Discarded " + std::to_string(discards.size()) +
             " incomplete snapshot(s) left by an interrupted run");
  }
  if (recovered > 0) {
    // On failure the adopted snapshots stay in memory and go out with the
    // next manifest write; a crash before then simply recovers them again.
    if (Result<void> written = write_manifest(storage, manifest); !written) {
      log_line("Could not persist recovered snapshots: " + written.error().display());
    }
  }
}

}  // namespace tarnwick
