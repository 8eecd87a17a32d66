#include "coordinator/recovery.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "coordinator/coordinator.h"
#include "encoding/hash.h"
#include "format/manifest_json.h"
#include "format/pack.h"
#include "storage/faulty_storage.h"
#include "storage/local_storage.h"
#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const Uuid kId = *Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8");
const Uuid kOther = *Uuid::parse("0f8fad5b-d9cb-469f-a165-70867728950e");

std::string recovered_line(int n) {
  return "[Tarnwick] Recovered " + std::to_string(n) +
         " complete checkpoint(s) a previous run wrote but was killed before recording\n";
}

std::string discarded_line(int n) {
  return "[Tarnwick] Discarded " + std::to_string(n) + " incomplete snapshot(s) left by an interrupted run\n";
}

ByteSpan span_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A store on disk and the manifest start-up would have loaded from it.
struct Store {
  ScratchDir dir;
  std::shared_ptr<LocalStorage> storage = std::make_shared<LocalStorage>(dir.path());
  Manifest manifest;

  // Writes the pack rank would write for snapshot id, into directory
  // (the snapshot's own by default): a Full record, an alias of it and,
  // for a delta, a Skipped record. Returns the descriptor as written.
  PackDescriptor write_pack(const Uuid& id, std::uint64_t step, std::optional<Uuid> base = {},
                            std::uint32_t rank = 0, std::uint32_t world_size = 1,
                            std::optional<std::string> directory = {}) {
    const std::string payload = "bytes of " + id.to_string() + " rank " + std::to_string(rank);
    TensorEntry full;
    full.name = "w";
    full.shape = {payload.size()};
    full.dtype = "uint8";
    full.raw_size = payload.size();
    full.hash_raw = full.hash_compressed.emplace(hash_hex(span_of(payload)));
    TensorEntry alias = full;
    alias.name = "tied";
    alias.storage = TensorStorage::Alias;
    alias.alias_of = "w";
    alias.hash_compressed.reset();
    PackDescriptor descriptor{.snapshot_id = id,
                              .step = step,
                              .created_at = Timestamp{std::chrono::seconds(1'700'000'000 + step)},
                              .base_snapshot_id = base,
                              .metadata = {{"step", std::to_string(step)}},
                              .compression = CompressionAlgo::none(),
                              .world_size = world_size,
                              .rank = {}};
    descriptor.rank.rank = rank;
    descriptor.rank.tensors = {full, alias};
    std::vector<ByteSpan> payloads = {span_of(payload), {}};
    if (base) {
      TensorEntry skipped = full;
      skipped.name = "b";
      skipped.storage = TensorStorage::Skipped;
      skipped.hash_compressed.reset();
      descriptor.rank.tensors.push_back(skipped);
      payloads.push_back({});
    }
    const std::string key = pack_key(directory.value_or(snapshot_directory(id)), rank);
    auto pack = build_pack(key, std::move(descriptor), payloads);
    EXPECT_TRUE(pack.has_value());
    EXPECT_TRUE(tarnwick::write_pack(*storage, *pack).has_value());
    return pack->descriptor;
  }

  // The snapshot recovery should rebuild from these descriptors.
  static Snapshot snapshot_of(std::vector<PackDescriptor> descriptors) {
    const PackDescriptor& first = descriptors.front();
    Snapshot snapshot{.id = first.snapshot_id,
                      .step = first.step,
                      .created_at = first.created_at,
                      .ranks = {},
                      .base_snapshot_id = first.base_snapshot_id,
                      .metadata = first.metadata,
                      .compression = first.compression,
                      .finalized = true};
    for (const PackDescriptor& d : descriptors) snapshot.ranks[d.rank.rank] = d.rank;
    return snapshot;
  }

  std::string recover(StorageBackend& through) {
    CaptureStderr();
    recover_store(through, manifest);
    return GetCapturedStderr();
  }
  std::string recover() { return recover(*storage); }

  std::string path(const std::string& key) const { return dir / key; }
  bool has(const std::string& key) const { return fs::exists(path(key)); }

  // Cuts the content of the file at key to size bytes.
  void truncate(const std::string& key, std::uintmax_t size) const { fs::resize_file(path(key), size); }

  void overwrite_byte(const std::string& key, std::uint64_t at, std::uint8_t value) {
    Bytes data = *storage->get(key);
    data[at] = value;
    ASSERT_TRUE(storage->put(key, data).has_value());
  }

  std::optional<Manifest> manifest_on_disk() {
    Result<Bytes> stored = storage->get("manifest.json");
    if (!stored) return std::nullopt;
    return *manifest_from_json(*stored);
  }
};

std::uint64_t descriptor_end(const PackDescriptor& written) {
  std::uint64_t end = kPackHeaderSize;
  for (const TensorEntry& t : written.rank.tensors) end += t.compressed_size;
  return end + pack_descriptor_to_json(written)->size();
}

struct OrphanCase {
  const char* name;
  // Leaves one orphan behind in the store.
  std::function<void(Store&)> leave;
  bool complete;
};

TEST(Recovery, AdoptsCompleteOrphansAndDiscardsTheRest) {
  const std::string pack0 = pack_key(kId, 0);
  const std::vector<OrphanCase> cases = {
      {"pack written, manifest not", [](Store& s) { s.write_pack(kId, 7); }, true},
      {"both ranks of two", [](Store& s) {
         s.write_pack(kId, 7, {}, 0, 2);
         s.write_pack(kId, 7, {}, 1, 2);
       }, true},
      {"delta whose base the manifest names", [](Store& s) {
         s.manifest.snapshots.push_back(Store::snapshot_of({s.write_pack(kOther, 1)}));
         s.write_pack(kId, 7, kOther);
       }, true},
      {"pack cut one byte into its descriptor", [&](Store& s) {
         s.truncate(pack0, descriptor_end(s.write_pack(kId, 7)) - 1);
       }, false},
      {"pack shorter than its header", [&](Store& s) {
         s.write_pack(kId, 7);
         s.truncate(pack0, kPackHeaderSize - 1);
       }, false},
      {"descriptor that is not JSON", [&](Store& s) {
         const PackDescriptor written = s.write_pack(kId, 7);
         s.overwrite_byte(pack0, descriptor_end(written) - 1, 'x');
       }, false},
      {"payload byte changed", [&](Store& s) {
         s.write_pack(kId, 7);
         s.overwrite_byte(pack0, kPackHeaderSize, '?');
       }, false},
      {"rank 1 of two missing", [](Store& s) { s.write_pack(kId, 7, {}, 0, 2); }, false},
      {"ranks 0 and 2 of two", [](Store& s) {
         s.write_pack(kId, 7, {}, 0, 2);
         s.write_pack(kId, 7, {}, 2, 2);
       }, false},
      {"pack of another snapshot", [](Store& s) {
         s.write_pack(kOther, 7, {}, 0, 1, snapshot_directory(kId));
       }, false},
      {"directory named by 32 plain digits", [](Store& s) {
         s.write_pack(kId, 7, {}, 0, 1, "snapshots/67e5504410b1426f9247bb680e5fe0c8");
       }, false},
      {"only the temporary file of a killed write", [](Store& s) {
         ASSERT_TRUE(s.storage->put(snapshot_directory(kId) + "/.tmpAb12Cd", span_of("half")).has_value());
       }, false},
      {"recovered delta whose base is nowhere", [](Store& s) { s.write_pack(kId, 7, kOther); }, false},
  };
  for (const OrphanCase& c : cases) {
    SCOPED_TRACE(c.name);
    Store store;
    c.leave(store);
    const Manifest before = store.manifest;

    const std::string log = store.recover();

    if (c.complete) {
      EXPECT_EQ(log, recovered_line(1));
      ASSERT_EQ(store.manifest.snapshots.size(), before.snapshots.size() + 1);
      const Snapshot& adopted = store.manifest.snapshots.back();
      EXPECT_EQ(adopted.id, kId);
      EXPECT_TRUE(adopted.finalized);
      EXPECT_EQ(store.manifest_on_disk(), store.manifest);
      EXPECT_TRUE(store.has(pack0));
    } else {
      EXPECT_EQ(log, discarded_line(1));
      EXPECT_EQ(store.manifest, before);
      EXPECT_EQ(store.manifest_on_disk(), std::nullopt) << "nothing recovered, nothing to write";
      // Known snapshots keep their directories; the orphan's is gone.
      std::vector<std::string> left;
      for (const auto& entry : fs::directory_iterator(store.path("snapshots"))) {
        left.push_back(entry.path().filename().string());
      }
      std::vector<std::string> known;
      for (const Snapshot& s : before.snapshots) known.push_back(s.id.to_string());
      EXPECT_EQ(left, known);
    }
  }
}

TEST(Recovery, RebuildsEveryRankFromItsDescriptor) {
  Store store;
  const PackDescriptor rank1 = store.write_pack(kId, 7, {}, 1, 2);
  const PackDescriptor rank0 = store.write_pack(kId, 7, {}, 0, 2);
  ASSERT_EQ(store.recover(), recovered_line(1));
  EXPECT_EQ(store.manifest.snapshots, std::vector{Store::snapshot_of({rank0, rank1})});
}

TEST(Recovery, KeepsRecoveredDeltasOnlyWithTheirBaseAndSortsByStep) {
  Store store;
  const Uuid kept = *Uuid::parse("00000000-0000-4000-8000-00000000000e");
  store.manifest.snapshots.push_back(Store::snapshot_of({store.write_pack(kept, 15)}));
  const Uuid full = *Uuid::parse("00000000-0000-4000-8000-000000000001");
  const Uuid delta1 = *Uuid::parse("00000000-0000-4000-8000-000000000002");
  const Uuid delta2 = *Uuid::parse("00000000-0000-4000-8000-000000000003");
  const Uuid on_kept = *Uuid::parse("00000000-0000-4000-8000-000000000004");
  const Uuid stray = *Uuid::parse("00000000-0000-4000-8000-000000000005");
  // Written newest first, so listing order is no help.
  store.write_pack(delta2, 30, full);
  store.write_pack(on_kept, 25, kept);
  store.write_pack(delta1, 20, full);
  store.write_pack(full, 10);
  store.write_pack(stray, 40, kOther);

  EXPECT_EQ(store.recover(), recovered_line(4) + discarded_line(1));

  std::vector<std::uint64_t> steps;
  for (const Snapshot& s : store.manifest.snapshots) steps.push_back(s.step);
  EXPECT_EQ(steps, (std::vector<std::uint64_t>{10, 15, 20, 25, 30}));
  EXPECT_EQ(store.manifest_on_disk(), store.manifest);
  EXPECT_FALSE(store.has(snapshot_directory(stray)));
}

TEST(Recovery, LeavesKnownSnapshotsAndForeignNamesAlone) {
  Store store;
  // A multi-rank snapshot in progress: recorded, not finalized, rank 1's
  // pack still missing and rank 0's cut short.
  Snapshot in_progress;
  in_progress.id = kId;
  in_progress.step = 3;
  store.manifest.snapshots.push_back(in_progress);
  store.truncate(pack_key(kId, 0), descriptor_end(store.write_pack(kId, 3, {}, 0, 2)) - 1);
  ASSERT_TRUE(store.storage->put("snapshots/tmp/rank_0.pack", span_of("junk")).has_value());
  ASSERT_TRUE(store.storage->put("snapshots/" + kOther.to_string(), span_of("a file, not a directory")).has_value());
  const Manifest before = store.manifest;

  EXPECT_EQ(store.recover(), "");

  EXPECT_EQ(store.manifest, before);
  EXPECT_TRUE(store.has(pack_key(kId, 0)));
  EXPECT_TRUE(store.has("snapshots/tmp/rank_0.pack"));
  EXPECT_TRUE(store.has("snapshots/" + kOther.to_string()));
  EXPECT_FALSE(store.has("manifest.json"));
}

struct FaultCase {
  const char* name;
  StorageOp op;
  bool complete_orphan;
  // The expected log, given the failing call's display text.
  std::function<std::string(const std::string&)> log;
};

TEST(Recovery, StorageFailuresAreLoggedAndStartUpGoesOn) {
  const std::string tmp_key = snapshot_directory(kId) + "/.tmpAb12Cd";
  const std::vector<FaultCase> cases = {
      {"listing fails", StorageOp::List, true,
       [](const std::string& e) { return "[Tarnwick] Could not list snapshots: " + e + "\n"; }},
      {"deleting an orphaned file fails", StorageOp::Remove, false,
       [&](const std::string& e) {
         return "[Tarnwick] Could not delete orphaned " + tmp_key + ": " + e + "\n" + discarded_line(1);
       }},
      {"writing the manifest fails", StorageOp::PutParts, true,
       [](const std::string& e) {
         return recovered_line(1) + "[Tarnwick] Could not persist recovered snapshots: " + e + "\n";
       }},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    Store store;
    if (c.complete_orphan) {
      store.write_pack(kId, 7);
    } else {
      ASSERT_TRUE(store.storage->put(tmp_key, span_of("half")).has_value());
    }
    FaultyStorage faulty(store.storage);
    const TarnwickError fault = TarnwickError::io(EIO);
    faulty.fail_call(c.op, 1, fault);

    EXPECT_EQ(store.recover(faulty), c.log(fault.display()));

    EXPECT_FALSE(store.has("manifest.json"));
    EXPECT_EQ(store.manifest.snapshots.size(), c.op == StorageOp::PutParts ? 1u : 0u)
        << "an adopted snapshot stays in memory for the next manifest write";
  }
}

// Through the coordinator, as a killed training process leaves the store.
CoordinatorConfig sync_config(std::uint32_t rank = 0, std::uint32_t world_size = 1) {
  CoordinatorConfig config;
  config.async_save = false;
  config.rank = rank;
  config.world_size = world_size;
  return config;
}

std::vector<TensorData> model(std::uint8_t fill) {
  Bytes w(64 * 1024);
  for (std::size_t i = 0; i < w.size(); ++i) w[i] = static_cast<std::uint8_t>(i * 31 + fill);
  return {TensorData{.name = "w", .shape = {w.size() / 4}, .dtype = "float32", .data = w}};
}

TEST(Recovery, CoordinatorAdoptsASaveKilledBeforeItsManifestWrite) {
  ScratchDir dir;
  auto storage = std::make_shared<LocalStorage>(dir.path());
  Uuid first, second;
  {
    auto coordinator = *Coordinator::create(storage, sync_config());
    first = *coordinator->save_tensors(1, model(1), {});
    second = *coordinator->save_tensors(2, model(2), {});
  }
  // Put back the manifest as it stood between the pack write and the
  // manifest write of the second save.
  Manifest manifest = *manifest_from_json(*storage->get("manifest.json"));
  ASSERT_EQ(manifest.snapshots.back().id, second);
  manifest.snapshots.pop_back();
  const std::string json = *manifest_to_json(manifest);
  ASSERT_TRUE(storage->put("manifest.json", span_of(json)).has_value());

  CaptureStderr();
  auto reopened = Coordinator::create(storage, sync_config());
  EXPECT_EQ(GetCapturedStderr(), recovered_line(1));
  ASSERT_TRUE(reopened.has_value());

  std::vector<Uuid> listed;
  for (const SnapshotInfo& info : (*reopened)->list_snapshots()) listed.push_back(info.id);
  EXPECT_EQ(listed, (std::vector{first, second}));
  auto loaded = (*reopened)->load(second);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
  EXPECT_EQ(loaded->at("w"), model(2).front().data);
  EXPECT_EQ(manifest_from_json(*storage->get("manifest.json"))->snapshots.size(), 2u);
}

TEST(Recovery, CoordinatorOfAnotherRankNeverRepairs) {
  Store store;
  store.write_pack(kId, 7);
  ASSERT_TRUE(store.storage->put(snapshot_directory(kOther) + "/.tmpAb12Cd", span_of("half")).has_value());

  CaptureStderr();
  auto coordinator = Coordinator::create(store.storage, sync_config(1, 2));
  EXPECT_EQ(GetCapturedStderr(), "");
  ASSERT_TRUE(coordinator.has_value());
  EXPECT_TRUE((*coordinator)->list_snapshots().empty());
  EXPECT_TRUE(store.has(pack_key(kId, 0)));
  EXPECT_TRUE(store.has(snapshot_directory(kOther) + "/.tmpAb12Cd"));
}

}  // namespace
}  // namespace tarnwick
