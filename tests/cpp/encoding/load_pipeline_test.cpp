#include "encoding/load_pipeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>

#include "encoding/hash.h"
#include "encoding/pipeline_fixtures.h"

namespace tarnwick {
namespace {

using pipeline_test::floats;
using pipeline_test::nudged;
using pipeline_test::random_bytes;
using pipeline_test::store_rank;
using pipeline_test::tensor;
using pipeline_test::weights;

const DTypePolicy kNoRules{};

Uuid uuid(std::uint8_t n) {
  Uuid id;
  id.bytes[15] = n;
  return id;
}

// A few snapshots of one rank in memory, saved through the save pipeline
// and loaded back the way the load path does it.
class MiniStore {
 public:
  struct Snapshot {
    std::optional<Uuid> base;
    CompressionAlgo compression;
    std::string pack;
    std::vector<TensorEntry> records;
  };

  std::shared_ptr<MemoryStorage> storage = std::make_shared<MemoryStorage>();
  std::map<Uuid, Snapshot> snapshots;

  const std::vector<TensorEntry>& save(const Uuid& id, const std::vector<TensorData>& tensors,
                                       std::optional<Uuid> base = std::nullopt,
                                       const DTypePolicy& policy = kNoRules,
                                       CompressionAlgo algo = CompressionAlgo::zstd(3)) {
    std::optional<BaseCache> cache;
    if (base) {
      const Snapshot& b = snapshots.at(*base);
      cache = pipeline_test::base_cache(storage, b.pack, b.records, b.compression);
    }
    EncodedRank rank =
        encode_rank(tensors, cache ? &*cache : nullptr, SaveSettings{policy, algo, 0.95}).value();
    const std::string pack = "snapshots/" + id.to_string() + "/rank_0.pack";
    Snapshot& s = snapshots[id];
    s = {base, algo, pack, store_rank(*storage, pack, std::move(rank))};
    return s.records;
  }

  BaseLookup lookup() {
    return [this](const Uuid& id, const std::string& name) -> Result<BaseRecord> {
      auto found = snapshots.find(id);
      if (found == snapshots.end()) {
        return Err(TarnwickError::checkpoint_not_found("Base snapshot " + id.to_string()));
      }
      for (const TensorEntry& record : found->second.records) {
        if (record.name == name) return BaseRecord{record, found->second.compression, found->second.pack};
      }
      return Err(TarnwickError::checkpoint_not_found("Tensor '" + name + "' not in base snapshot " +
                                                     id.to_string()));
    };
  }

  BaseView view_of(const Uuid& id) {
    const Snapshot& s = snapshots.at(id);
    BaseView view{id, {}, s.compression, s.pack};
    for (const TensorEntry& record : s.records) view.entries.emplace(record.name, record);
    return view;
  }

  // Every tensor of the snapshot by name, aliases resolved from their
  // targets; with_view decides whether base records come from a BaseView
  // or from the lookup.
  Result<std::map<std::string, Bytes>> load(const Uuid& id, bool with_view = true) {
    const Snapshot& s = snapshots.at(id);
    std::optional<BaseView> view;
    if (with_view && s.base) view = view_of(*s.base);
    LoadContext context{s.base, s.compression, s.pack, view ? &*view : nullptr, lookup(), *storage};
    std::map<std::string, Bytes> tensors;
    std::vector<LoadTarget> targets;
    for (const TensorEntry& record : s.records) {
      if (record.storage == TensorStorage::Alias) continue;
      TRY(std::uint64_t size, loaded_size(record));
      Bytes& bytes = tensors[record.name];
      bytes.resize(size);
      targets.push_back({&record, bytes});
    }
    TRY_VOID(load_in_pool(targets, context));
    for (const TensorEntry& record : s.records) {
      if (record.storage == TensorStorage::Alias) tensors[record.name] = tensors.at(*record.alias_of);
    }
    return tensors;
  }
};

std::map<std::string, Bytes> by_name(const std::vector<TensorData>& tensors) {
  std::map<std::string, Bytes> out;
  for (const TensorData& t : tensors) out[t.name] = t.data;
  return out;
}

std::map<std::string, TensorStorage> storage_of(const std::vector<TensorEntry>& records) {
  std::map<std::string, TensorStorage> out;
  for (const TensorEntry& r : records) out[r.name] = r.storage;
  return out;
}

TEST(LoadPipeline, RoundTripsThroughEveryKindOfRecord) {
  MiniStore store;
  const std::vector<TensorData> first = {
      tensor("w", "float32", weights(65536, 1)),     tensor("twin", "float32", weights(65536, 1)),
      tensor("mask", "bool", random_bytes(5000, 2)), tensor("b", "float32", weights(16, 3)),
      tensor("h", "bfloat16", random_bytes(9000, 4)), tensor("empty", "int64", Bytes{}),
      tensor("big", "float32", weights(1200000, 5)),  // more than one 4 MiB frame
  };
  store.save(uuid(1), first);
  const std::vector<TensorData> second = {
      tensor("w", "float32", nudged(first[0].data)),
      tensor("twin", "float32", first[1].data),  // its base record is an alias of w
      tensor("mask", "bool", nudged(first[2].data)),
      tensor("b", "float32", first[3].data),
      tensor("h", "bfloat16", random_bytes(9000, 9)),
      tensor("empty", "int64", Bytes{}),
      tensor("big", "float32", nudged(first[6].data, 4096)),
  };
  const auto& records = store.save(uuid(2), second, uuid(1));
  const std::map<std::string, TensorStorage> expected = {
      {"w", TensorStorage::DeltaXor},   {"twin", TensorStorage::Skipped},
      {"mask", TensorStorage::DeltaXor}, {"b", TensorStorage::Skipped},
      {"h", TensorStorage::Full},        {"empty", TensorStorage::Skipped},
      {"big", TensorStorage::DeltaXor}};
  ASSERT_EQ(storage_of(records), expected);
  EXPECT_EQ(storage_of(store.snapshots.at(uuid(1)).records).at("twin"), TensorStorage::Alias);

  EXPECT_EQ(store.load(uuid(1)).value(), by_name(first));
  EXPECT_EQ(store.load(uuid(2), true).value(), by_name(second));
  EXPECT_EQ(store.load(uuid(2), false).value(), by_name(second));
}

TEST(LoadPipeline, CastTensorsComeBackInTheCallersDtype) {
  const float tie_below = 1.0f + std::ldexp(1.0f, -8);      // halfway, even below
  const float tie_above = 1.0f + 3.0f * std::ldexp(1.0f, -8);  // halfway, even above
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::uint16_t half_in[] = {0x3C00, 0xC300, 0x3800};  // 1.0, -3.5, 0.5
  Bytes half(sizeof half_in);
  std::memcpy(half.data(), half_in, sizeof half_in);

  struct Case {
    const char* rule;
    TensorData tensor;
    Bytes expected;
  };
  const Case cases[] = {
      {"bf16", tensor("t", "float32", floats({1.0f, tie_below, tie_above, -2.5f})),
       floats({1.0f, 1.0f, 1.0f + std::ldexp(1.0f, -6), -2.5f})},
      // The scale is 896 / 448 = 2; infinity has no e4m3 code and turns NaN.
      {"fp8", tensor("t", "float32", floats({1.0f, -896.0f, nan, inf})),
       floats({1.0f, -896.0f, nan, nan})},
      // A power-of-two scale (3.5 / 448 = 2^-7) keeps every value exact.
      {"fp8", tensor("t", "float16", half), half},
      {"fp8_e5m2", tensor("t", "float32", floats({0.5f, -3.5f, 1.5f})),
       floats({0.5f, -3.5f, 1.5f})},
  };
  for (const Case& c : cases) {
    MiniStore store;
    DTypePolicy policy = DTypePolicy::from_name(c.rule).value();
    const TensorEntry record = store.save(uuid(1), {c.tensor}, std::nullopt, policy)[0];
    EXPECT_EQ(record.original_dtype, c.tensor.dtype) << c.rule;
    Bytes loaded = store.load(uuid(1)).value().at("t");
    // Byte comparison: NaN payloads matter and NaN != NaN as floats.
    EXPECT_EQ(loaded, c.expected) << c.rule << " " << c.tensor.dtype;
  }
}

// A base whose "a0" is Full and whose "a1" ... "a9" each alias the one
// before, and a snapshot that skips all of them.
class BaseChains : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<TensorEntry>& base = store.save(uuid(1), {tensor("a0", "int8", payload)});
    std::vector<TensorEntry> records = base;
    for (int i = 1; i <= 9; ++i) {
      TensorEntry alias = base[0];
      alias.name = "a" + std::to_string(i);
      alias.storage = TensorStorage::Alias;
      alias.alias_of = "a" + std::to_string(i - 1);
      alias.offset = alias.compressed_size = 0;
      alias.hash_compressed.reset();
      records.push_back(alias);
    }
    store.snapshots.at(uuid(1)).records = records;
  }

  Result<Bytes> load_skipped(const std::string& name, bool with_view) {
    TensorEntry skipped = store.snapshots.at(uuid(1)).records[0];
    skipped.name = name;
    skipped.storage = TensorStorage::Skipped;
    std::optional<BaseView> view;
    if (with_view) view = store.view_of(uuid(1));
    LoadContext context{uuid(1), CompressionAlgo::zstd(3), std::nullopt, view ? &*view : nullptr,
                        store.lookup(), *store.storage};
    return load_tensor_raw(skipped, uuid(1), context.compression, std::nullopt, context);
  }

  MiniStore store;
  const Bytes payload = random_bytes(5000, 1);
};

TEST_F(BaseChains, SevenHopsResolveAndEightDoNot) {
  for (bool with_view : {true, false}) {
    for (int hops = 0; hops <= 8; ++hops) {
      const std::string name = "a" + std::to_string(hops);
      Result<Bytes> loaded = load_skipped(name, with_view);
      if (hops <= 7) {
        ASSERT_TRUE(loaded) << hops << " " << loaded.error().display();
        EXPECT_EQ(*loaded, payload);
      } else {
        ASSERT_FALSE(loaded);
        EXPECT_EQ(loaded.error().display(),
                  "Delta error: Alias chain starting at '" + name + "' in base snapshot " +
                      uuid(1).to_string() + " does not end");
      }
    }
  }
}

// Loads one hand-made record of a snapshot (id 2, based on id 1) and
// returns the error display text, or "ok".
class LoadErrors : public ::testing::Test {
 protected:
  void SetUp() override {
    store.save(uuid(1), {tensor("w", "int8", old_bytes), tensor("short", "int8", random_bytes(5000, 3))},
               std::nullopt, kNoRules, CompressionAlgo::none());
    store.save(uuid(2), {tensor("w", "int8", nudged(old_bytes))}, uuid(1), kNoRules,
               CompressionAlgo::none());
    full = store.snapshots.at(uuid(1)).records[0];
    delta = store.snapshots.at(uuid(2)).records[0];
    ASSERT_EQ(delta.storage, TensorStorage::DeltaXor);
  }

  std::string outcome(const TensorEntry& record, const Uuid& snapshot,
                      std::optional<Uuid> base_id, bool with_view = true) {
    const std::string& pack = store.snapshots.at(snapshot).pack;
    std::optional<BaseView> view;
    if (with_view && base_id && store.snapshots.contains(*base_id)) view = store.view_of(*base_id);
    LoadContext context{base_id, CompressionAlgo::none(), pack, view ? &*view : nullptr,
                        store.lookup(), *store.storage};
    Result<Bytes> loaded = load_tensor_raw(record, base_id, context.compression, pack, context);
    return loaded ? "ok" : loaded.error().display();
  }

  void damage(const Uuid& snapshot, std::uint64_t at) {
    store.storage->object(store.snapshots.at(snapshot).pack)[at] ^= 0x10;
  }

  MiniStore store;
  const Bytes old_bytes = random_bytes(6000, 1);
  TensorEntry full, delta;
};

TEST_F(LoadErrors, DamagedPayloadsFailTheirHashChecks) {
  damage(uuid(1), full.offset + 7);
  EXPECT_EQ(outcome(full, uuid(1), std::nullopt),
            "Integrity check failed: expected " + *full.hash_compressed + ", got " +
                hash_hex(store.storage->get_range(store.snapshots.at(uuid(1)).pack, full.offset,
                                                   full.compressed_size).value()));
  damage(uuid(1), full.offset + 7);  // repaired: the delta's base must be sound

  damage(uuid(2), delta.offset + 7);
  const std::string text = outcome(delta, uuid(2), uuid(1));
  EXPECT_TRUE(text.starts_with("Integrity check failed: expected " + delta.hash_raw + ", got "))
      << text;
}

TEST_F(LoadErrors, RecordsThatCannotBeFollowedFailWithTheirMessages) {
  const std::string base = uuid(1).to_string();
  auto with = [](TensorEntry record, const std::function<void(TensorEntry&)>& change) {
    change(record);
    return record;
  };
  struct Case {
    const char* what;
    TensorEntry record;
    std::optional<Uuid> base_id;
    std::string expected;
  };
  const Case cases[] = {
      {"payload past the pack, no filename",
       with(full, [](TensorEntry& r) { r.offset = 1 << 20; }), std::nullopt,
       "Checkpoint not found: No filename for tensor 'w'"},
      {"offset that overflows",
       with(full, [](TensorEntry& r) { r.offset = std::numeric_limits<std::uint64_t>::max() - 2; }),
       std::nullopt, "Checkpoint not found: No filename for tensor 'w'"},
      {"missing filename object",
       with(full, [](TensorEntry& r) { r.offset = 1 << 20; r.filename = "gone/w.zst"; }),
       std::nullopt, "Checkpoint not found: gone/w.zst"},
      {"delta without base", delta, std::nullopt,
       "Delta error: Delta tensor 'w' has no base snapshot"},
      {"skip without base", with(delta, [](TensorEntry& r) { r.storage = TensorStorage::Skipped; }),
       std::nullopt, "Delta error: Tensor 'w' is skipped but snapshot has no base"},
      {"base tensor missing", with(full, [](TensorEntry& r) { r.name = "x"; r.storage = TensorStorage::Skipped; }),
       uuid(1), "Checkpoint not found: Tensor 'x' not in base snapshot " + base},
      {"base snapshot missing", with(delta, [](TensorEntry& r) { r.storage = TensorStorage::Skipped; }),
       uuid(9), "Checkpoint not found: Base snapshot " + uuid(9).to_string()},
      {"base of another length", with(delta, [](TensorEntry& r) { r.name = "short"; }), uuid(1),
       "Delta error: base length 5000 != delta length 6000"},
      {"alias loaded directly",
       with(full, [](TensorEntry& r) { r.name = "b"; r.storage = TensorStorage::Alias; r.alias_of = "w"; }),
       std::nullopt,
       "Checkpoint not found: Tensor 'b' is an alias of 'w' and must be resolved after the "
       "snapshot's other tensors"},
  };
  for (const Case& c : cases) {
    for (bool with_view : {true, false}) {
      EXPECT_EQ(outcome(c.record, uuid(2), c.base_id, with_view), c.expected)
          << c.what << (with_view ? " (view)" : " (lookup)");
    }
  }
}

TEST_F(LoadErrors, BaseRecordsMustBeFull) {
  // Snapshot 3 skips w of snapshot 2, where w is itself a delta; and x, an
  // alias in snapshot 2 whose target is that delta.
  MiniStore::Snapshot& second = store.snapshots.at(uuid(2));
  TensorEntry alias = delta;
  alias.name = "x";
  alias.storage = TensorStorage::Alias;
  alias.alias_of = "w";
  second.records.push_back(alias);
  TensorEntry no_target = alias;
  no_target.name = "y";
  no_target.alias_of.reset();
  second.records.push_back(no_target);
  store.snapshots[uuid(3)] = {uuid(2), CompressionAlgo::none(), second.pack, {}};

  auto skipped = [&](const std::string& name) {
    TensorEntry r = delta;
    r.name = name;
    r.storage = TensorStorage::Skipped;
    return r;
  };
  EXPECT_EQ(outcome(skipped("w"), uuid(3), uuid(2)),
            "Delta error: Delta tensor 'w' has no base snapshot");
  EXPECT_EQ(outcome(skipped("x"), uuid(3), uuid(2)),
            "Delta error: Delta tensor 'w' has no base snapshot");
  EXPECT_EQ(outcome(skipped("y"), uuid(3), uuid(2)),
            "Checkpoint not found: Alias 'y' in the base has no target");
}

TEST_F(LoadErrors, PayloadsOutsideThePackComeFromTheirOwnObject) {
  const std::string& pack = store.snapshots.at(uuid(1)).pack;
  Bytes object = store.storage->get_range(pack, full.offset, full.compressed_size).value();
  object.push_back(0xAB);  // longer than compressed_size: cut back to it
  (void)store.storage->put("old/w", object);
  TensorEntry old_layout = full;
  old_layout.filename = "old/w";
  // The pack's last byte: a range read from there comes back short.
  const std::uint64_t pack_end = store.storage->get(pack).value().size();
  struct Case {
    const char* what;
    std::optional<std::string> pack_file;
    std::uint64_t offset;
  };
  const Case cases[] = {
      {"no pack (older layout)", std::nullopt, 0},
      {"range read comes back short", pack, pack_end - 1},
      {"range starts past the pack", pack, pack_end + 10},
  };
  for (const Case& c : cases) {
    old_layout.offset = c.offset;
    LoadContext context{std::nullopt, CompressionAlgo::none(), c.pack_file, nullptr, store.lookup(),
                        *store.storage};
    const Result<Bytes> loaded =
        load_tensor_raw(old_layout, std::nullopt, CompressionAlgo::none(), c.pack_file, context);
    ASSERT_TRUE(loaded) << c.what << ": " << loaded.error().display();
    EXPECT_EQ(*loaded, old_bytes) << c.what;
  }
}

// Buffers with guard bytes on both sides, to see that nothing is written
// outside the part handed to the pipeline.
struct Guarded {
  static constexpr std::size_t kGuard = 64;
  explicit Guarded(std::size_t size) : all(size + 2 * kGuard, 0xA5) {}
  MutableByteSpan inner() { return MutableByteSpan(all).subspan(kGuard, all.size() - 2 * kGuard); }
  bool guards_intact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (all[i] != 0xA5 || all[all.size() - 1 - i] != 0xA5) return false;
    }
    return true;
  }
  Bytes all;
};

TEST(LoadInPool, DecodesIntoItsTargetsAndReportsAFailingTensor) {
  MiniStore store;
  const Bytes a = random_bytes(8192, 1);
  const Bytes c = random_bytes(10, 2);
  store.save(uuid(1), {tensor("a", "int8", a), tensor("b", "int8", a), tensor("c", "int8", c)});
  const MiniStore::Snapshot& s = store.snapshots.at(uuid(1));
  ASSERT_EQ(s.records[2].storage, TensorStorage::Alias);
  LoadContext context{std::nullopt, s.compression, s.pack, nullptr, store.lookup(), *store.storage};
  Guarded into_a(a.size()), into_c(c.size());
  const LoadTarget targets[] = {{&s.records[0], into_a.inner()}, {&s.records[1], into_c.inner()}};
  ASSERT_TRUE(load_in_pool(targets, context));
  EXPECT_TRUE(std::equal(a.begin(), a.end(), into_a.inner().begin()));
  EXPECT_TRUE(std::equal(c.begin(), c.end(), into_c.inner().begin()));

  TensorEntry damaged = s.records[1];
  damaged.hash_compressed = std::string(32, '0');
  const LoadTarget failing[] = {{&s.records[0], into_a.inner()}, {&damaged, into_c.inner()}};
  const Result<void> failed = load_in_pool(failing, context);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), TarnwickError::Kind::IntegrityCheck);
}

// A record whose raw_size disagrees with its payload gets a buffer of the
// wrong length: the load fails and writes nothing outside that buffer.
TEST(LoadInPool, RecordsWhoseBytesDoNotFillTheirBufferFail) {
  const Bytes old_bytes = weights(4096, 1);  // 16 KiB of float32
  for (const CompressionAlgo algo : {CompressionAlgo::none(), CompressionAlgo::zstd(3)}) {
    MiniStore store;
    store.save(uuid(1), {tensor("w", "float32", old_bytes)}, std::nullopt, kNoRules, algo);
    store.save(uuid(2), {tensor("w", "float32", nudged(old_bytes))}, uuid(1), kNoRules, algo);
    store.save(uuid(3), {tensor("w", "float32", old_bytes)}, uuid(1), kNoRules, algo);
    // Without compression a delta never pays off: snapshot 2 is then Full.
    struct Case {
      TensorEntry record;
      Uuid snapshot;
    };
    std::vector<Case> cases;
    for (std::uint8_t n = 1; n <= 3; ++n) cases.push_back({store.snapshots.at(uuid(n)).records[0], uuid(n)});
    ASSERT_EQ(cases[1].record.storage, algo.is_zstd() ? TensorStorage::DeltaXor : TensorStorage::Full);
    ASSERT_EQ(cases[2].record.storage, TensorStorage::Skipped);
    for (const Case& c : cases) {
      for (const std::int64_t change : {-1, 1}) {
        SCOPED_TRACE(std::string(tensor_storage_name(c.record.storage)) + " " +
                     std::to_string(change) + (algo.is_zstd() ? " zstd" : " none"));
        TensorEntry record = c.record;
        record.raw_size += change;
        const MiniStore::Snapshot& s = store.snapshots.at(c.snapshot);
        const BaseView view = store.view_of(uuid(1));
        LoadContext context{uuid(1), s.compression, s.pack, &view, store.lookup(), *store.storage};
        Guarded out(record.raw_size);
        const LoadTarget targets[] = {{&record, out.inner()}};
        const Result<void> loaded = load_in_pool(targets, context);
        ASSERT_FALSE(loaded);
        EXPECT_TRUE(loaded.error().display().starts_with("Compression error: payload decompresses to "))
            << loaded.error().display();
        EXPECT_TRUE(out.guards_intact());
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick
