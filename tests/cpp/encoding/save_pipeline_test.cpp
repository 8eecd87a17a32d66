#include "encoding/save_pipeline.h"

#include <gtest/gtest.h>

#include "encoding/hash.h"
#include "encoding/pipeline_fixtures.h"

namespace tarnwick {
namespace {

using pipeline_test::base_cache;
using pipeline_test::nudged;
using pipeline_test::random_bytes;
using pipeline_test::store_rank;
using pipeline_test::tensor;
using pipeline_test::weights;

const DTypePolicy kNoRules{};
const CompressionAlgo kZstd = CompressionAlgo::zstd(3);
const std::string kBasePack = "snapshots/base/rank_0.pack";

SaveSettings settings(const DTypePolicy& policy = kNoRules, CompressionAlgo algo = kZstd,
                      double ratio = 0.95) {
  return SaveSettings{policy, algo, ratio};
}

// A first (full) save of tensors, stored as the base pack of later saves.
struct Base {
  std::shared_ptr<MemoryStorage> storage = std::make_shared<MemoryStorage>();
  std::vector<TensorEntry> records;
  BaseCache cache;

  explicit Base(const std::vector<TensorData>& tensors, CompressionAlgo algo = kZstd) {
    EncodedRank rank = encode_rank(tensors, nullptr, settings(kNoRules, algo)).value();
    records = store_rank(*storage, kBasePack, std::move(rank));
    cache = base_cache(storage, kBasePack, records, algo);
  }
};

TEST(SavePipeline, FirstSaveIsFullWithHashesOfStoredBytes) {
  std::vector<TensorData> tensors = {tensor("w", "float32", weights(4096, 1)),
                                     tensor("tiny", "int64", random_bytes(16, 2)),
                                     tensor("empty", "float32", Bytes{})};
  EncodedRank rank = encode_rank(tensors, nullptr, settings()).value();
  ASSERT_EQ(rank.records.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const TensorEntry& r = rank.records[i];
    EXPECT_EQ(r.name, tensors[i].name);
    EXPECT_EQ(r.storage, TensorStorage::Full);
    EXPECT_EQ(r.raw_size, tensors[i].data.size());
    EXPECT_EQ(r.hash_raw, hash_hex(tensors[i].data));
    EXPECT_EQ(r.compressed_size, rank.payloads[i].size());
    EXPECT_EQ(r.hash_compressed, hash_hex(rank.payloads[i]));
    EXPECT_FALSE(r.shuffled);
    EXPECT_FALSE(r.original_dtype);
  }
}

TEST(SavePipeline, UnchangedTensorsAreAllSkippedWithoutPayloads) {
  std::vector<TensorData> tensors = {tensor("w", "float32", weights(65536, 1)),
                                     tensor("b", "float32", weights(16, 2)),
                                     tensor("step", "int64", random_bytes(8, 3)),
                                     tensor("mask", "bool", random_bytes(5000, 4))};
  Base base(tensors);
  EncodedRank rank = encode_rank(tensors, &base.cache, settings()).value();
  ASSERT_EQ(rank.records.size(), tensors.size());
  for (std::size_t i = 0; i < rank.records.size(); ++i) {
    const TensorEntry& r = rank.records[i];
    EXPECT_EQ(r.storage, TensorStorage::Skipped) << r.name;
    EXPECT_TRUE(rank.payloads[i].empty());
    EXPECT_EQ(r.compressed_size, 0u);
    EXPECT_FALSE(r.hash_compressed);
    EXPECT_EQ(r.raw_size, tensors[i].data.size());
  }
}

TEST(SavePipeline, SameBytesUnderAnotherDtypeOrShapeAreStillSkipped) {
  Base base({tensor("w", "float32", weights(2048, 1))});
  TensorData changed = tensor("w", "int32", weights(2048, 1));
  changed.shape = {32, 64};
  EncodedRank rank = encode_rank({changed}, &base.cache, settings()).value();
  EXPECT_EQ(rank.records[0].storage, TensorStorage::Skipped);
  EXPECT_EQ(rank.records[0].dtype, "int32");
  EXPECT_EQ(rank.records[0].shape, (std::vector<std::uint64_t>{32, 64}));
}

TEST(DedupPlan, AliasesOnlyLargeTwinsOfTheSameDtypeAndCast) {
  DTypePolicy half_a = DTypePolicy::from_rules({{"a*", "bf16"}}).value();
  const Bytes big = random_bytes(8192, 1);
  const Bytes small = random_bytes(4095, 2);
  const Bytes edge = random_bytes(4096, 3);
  struct Case {
    const char* what;
    std::vector<TensorData> tensors;
    const DTypePolicy* policy;
    std::vector<std::optional<std::string>> alias_of;
  };
  const std::vector<Case> cases = {
      {"three twins alias the first, not each other",
       {tensor("x", "float32", big), tensor("y", "float32", big), tensor("z", "float32", big)},
       &kNoRules, {std::nullopt, "x", "x"}},
      {"different dtype texts do not alias",
       {tensor("x", "float32", big), tensor("y", "int32", big), tensor("z", "uint8", big)},
       &kNoRules, {std::nullopt, std::nullopt, std::nullopt}},
      {"below 4096 bytes nothing aliases",
       {tensor("x", "int8", small), tensor("y", "int8", small)},
       &kNoRules, {std::nullopt, std::nullopt}},
      {"4096 bytes alias",
       {tensor("x", "int8", edge), tensor("y", "int8", edge)},
       &kNoRules, {std::nullopt, "x"}},
      {"different bytes do not alias",
       {tensor("x", "int8", big), tensor("y", "int8", random_bytes(8192, 9))},
       &kNoRules, {std::nullopt, std::nullopt}},
      // b would come back with a's bf16 rounding if it aliased a.
      {"twins cast differently do not alias",
       {tensor("a1", "float32", big), tensor("b", "float32", big), tensor("a2", "float32", big)},
       &half_a, {std::nullopt, std::nullopt, "a1"}},
  };
  for (const Case& c : cases) {
    DedupPlan plan = dedup_plan(c.tensors, *c.policy).value();
    EXPECT_EQ(plan.alias_of, c.alias_of) << c.what;
    ASSERT_EQ(plan.hashes.size(), c.tensors.size());
    EXPECT_EQ(plan.hashes[0], hash_hex(c.tensors[0].data)) << c.what;
  }
}

TEST(SavePipeline, AliasRecordsFollowTheProcessedOnesAndCopyTheirTarget) {
  DTypePolicy bf16 = DTypePolicy::from_name("bf16").value();
  const Bytes big = weights(4096, 1);
  std::vector<TensorData> tensors = {tensor("a", "float32", big), tensor("b", "float32", big),
                                     tensor("c", "float32", weights(4096, 2))};
  tensors[1].shape = {64, 64};
  EncodedRank rank = encode_rank(tensors, nullptr, settings(bf16)).value();
  ASSERT_EQ(rank.records.size(), 3u);
  EXPECT_EQ(rank.records[0].name, "a");
  EXPECT_EQ(rank.records[1].name, "c");
  const TensorEntry& alias = rank.records[2];
  const TensorEntry& target = rank.records[0];
  EXPECT_EQ(alias.name, "b");
  EXPECT_EQ(alias.storage, TensorStorage::Alias);
  EXPECT_EQ(alias.alias_of, "a");
  EXPECT_EQ(alias.shape, (std::vector<std::uint64_t>{64, 64}));
  EXPECT_EQ(alias.dtype, "bfloat16");
  EXPECT_EQ(alias.original_dtype, "float32");
  EXPECT_EQ(alias.raw_size, target.raw_size);
  EXPECT_EQ(alias.hash_raw, target.hash_raw);
  EXPECT_EQ(alias.compressed_size, 0u);
  EXPECT_FALSE(alias.hash_compressed);
  EXPECT_TRUE(rank.payloads[2].empty());
}

TEST(SavePipeline, ChangedTensorsBecomeDeltasShuffledByElementSize) {
  struct Case {
    const char* dtype;
    Bytes data;
    bool shuffled;
  };
  const Case cases[] = {
      {"float32", weights(65536, 1), true},
      {"bfloat16", random_bytes(131072, 2), true},
      {"int8", random_bytes(131072, 3), false},
      {"float8_e4m3fn", random_bytes(131072, 4), false},
      // Too small for a real probe: any change of a Full base is a delta.
      {"float32", weights(1024, 5), true},
  };
  for (const Case& c : cases) {
    Base base({tensor("t", c.dtype, c.data)});
    EncodedRank rank =
        encode_rank({tensor("t", c.dtype, nudged(c.data))}, &base.cache, settings()).value();
    const TensorEntry& r = rank.records[0];
    EXPECT_EQ(r.storage, TensorStorage::DeltaXor) << c.dtype << " " << c.data.size();
    EXPECT_EQ(r.shuffled, c.shuffled) << c.dtype;
    EXPECT_EQ(r.hash_raw, hash_hex(nudged(c.data)));
    EXPECT_EQ(r.hash_compressed, hash_hex(rank.payloads[0]));
    EXPECT_LT(r.compressed_size, base.records[0].compressed_size / 4) << c.dtype;
  }
}

TEST(SavePipeline, UnrelatedNewContentIsStoredFull) {
  Base base({tensor("t", "int8", random_bytes(131072, 1))});
  EncodedRank rank =
      encode_rank({tensor("t", "int8", random_bytes(131072, 2))}, &base.cache, settings()).value();
  EXPECT_EQ(rank.records[0].storage, TensorStorage::Full);
  EXPECT_FALSE(rank.records[0].shuffled);
}

TEST(SavePipeline, OnlyFullBaseRecordsServeAsDeltaBases) {
  const Bytes old_bytes = weights(4096, 1);
  const Bytes new_bytes = nudged(old_bytes);
  struct Case {
    TensorStorage base_storage;
    const Bytes* new_data;
    TensorStorage expected;
  };
  const Case cases[] = {
      {TensorStorage::Full, &new_bytes, TensorStorage::DeltaXor},
      {TensorStorage::DeltaXor, &new_bytes, TensorStorage::Full},
      {TensorStorage::Skipped, &new_bytes, TensorStorage::Full},
      {TensorStorage::Alias, &new_bytes, TensorStorage::Full},
      // Unchanged: an alias in the base leads to Full bytes, a delta or a
      // skip there would need a base of its own that the load cannot follow.
      {TensorStorage::Alias, &old_bytes, TensorStorage::Skipped},
      {TensorStorage::DeltaXor, &old_bytes, TensorStorage::Full},
      {TensorStorage::Skipped, &old_bytes, TensorStorage::Full},
  };
  for (const Case& c : cases) {
    Base base({tensor("t", "float32", old_bytes)});
    base.cache.entries["t"].storage = c.base_storage;
    EncodedRank rank =
        encode_rank({tensor("t", "float32", *c.new_data)}, &base.cache, settings()).value();
    EXPECT_EQ(rank.records[0].storage, c.expected)
        << tensor_storage_name(c.base_storage) << " " << (c.new_data == &old_bytes);
  }
}

TEST(SavePipeline, WithoutCompressionProbedDeltasNeverPayOff) {
  struct Case {
    std::size_t size;
    double ratio;
    TensorStorage expected;
  };
  const Case cases[] = {
      {8192, 0.95, TensorStorage::Full},
      {65536, 1.0, TensorStorage::Full},
      {8188, 0.95, TensorStorage::DeltaXor},  // below the probe's minimum
      {65536, 1.5, TensorStorage::DeltaXor},
  };
  for (const Case& c : cases) {
    const Bytes old_bytes = random_bytes(c.size, 1);
    Base base({tensor("t", "int8", old_bytes)}, CompressionAlgo::none());
    EncodedRank rank = encode_rank({tensor("t", "int8", nudged(old_bytes))}, &base.cache,
                                   settings(kNoRules, CompressionAlgo::none(), c.ratio))
                           .value();
    EXPECT_EQ(rank.records[0].storage, c.expected) << c.size << " " << c.ratio;
  }
}

TEST(SavePipeline, MissingBasePackFailsOnlyWhenATensorNeedsTheBase) {
  const Bytes kept = weights(4096, 1);
  const Bytes changed = weights(4096, 2);
  const Bytes small = weights(100, 3);
  Base base({tensor("kept", "float32", kept), tensor("changed", "float32", changed),
             tensor("small", "float32", small), tensor("resized", "float32", changed)});
  ASSERT_TRUE(base.storage->remove(kBasePack));

  std::vector<TensorData> harmless = {tensor("kept", "float32", kept),
                                      tensor("small", "float32", nudged(small, 8)),
                                      tensor("resized", "float32", weights(2048, 4)),
                                      tensor("new", "float32", weights(4096, 5))};
  EncodedRank rank = encode_rank(harmless, &base.cache, settings()).value();
  EXPECT_EQ(rank.records[0].storage, TensorStorage::Skipped);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(rank.records[i].storage, TensorStorage::Full);
  EXPECT_EQ(base.storage->reads(), 0u);

  Result<EncodedRank> failed =
      encode_rank({tensor("changed", "float32", nudged(changed))}, &base.cache, settings());
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), TarnwickError::Kind::CheckpointNotFound);
  EXPECT_EQ(failed.error().text(), kBasePack);

  // The same tensor retained in memory needs no pack.
  std::vector<TensorData> originals = {tensor("changed", "float32", changed)};
  base.cache.retained = retain_base(originals, {base.records[1]});
  rank = encode_rank({tensor("changed", "float32", nudged(changed))}, &base.cache, settings())
             .value();
  EXPECT_EQ(rank.records[0].storage, TensorStorage::DeltaXor);
}

TEST(SavePipeline, RetainedBaseServesDeltasWithoutReadingStorage) {
  std::vector<TensorData> first = {tensor("w", "float32", weights(65536, 1))};
  const Bytes original = first[0].data;
  Base base(first);
  base.cache.retained = retain_base(first, base.records);
  const std::uint64_t reads = base.storage->reads();
  EncodedRank rank =
      encode_rank({tensor("w", "float32", nudged(original))}, &base.cache, settings()).value();
  EXPECT_EQ(rank.records[0].storage, TensorStorage::DeltaXor);
  EXPECT_EQ(base.storage->reads(), reads);
}

TEST(SavePipeline, DamagedBaseBytesAreNotUsedForDeltas) {
  // Uncompressed, so the damage still "decompresses".
  const Bytes old_bytes = random_bytes(6000, 1);
  Base base({tensor("t", "int8", old_bytes)}, CompressionAlgo::none());
  base.storage->object(kBasePack)[100] ^= 0xFF;
  EncodedRank rank = encode_rank({tensor("t", "int8", nudged(old_bytes))}, &base.cache,
                                 settings(kNoRules, CompressionAlgo::none()))
                         .value();
  EXPECT_EQ(rank.records[0].storage, TensorStorage::Full);
}

TEST(SavePipeline, CastsRecordTheStoredAndOriginalDtype) {
  DTypePolicy policy =
      DTypePolicy::from_rules({{"*.bias", "none"}, {"half.*", "bf16"}, {"*", "fp8"}}).value();
  std::vector<TensorData> tensors = {
      tensor("layer.bias", "float32", pipeline_test::floats({1.0f, 2.0f})),
      tensor("half.w", "float32", pipeline_test::floats({1.0f, 2.0f})),
      tensor("q.w", "float32", pipeline_test::floats({1.0f, -896.0f})),
      tensor("ids", "int64", random_bytes(16, 1))};
  EncodedRank rank = encode_rank(tensors, nullptr, settings(policy)).value();
  struct Expected {
    const char* dtype;
    std::optional<std::string> original;
    std::optional<float> scale;
    std::uint64_t raw_size;
  };
  const Expected expected[] = {{"float32", std::nullopt, std::nullopt, 8},
                               {"bfloat16", "float32", std::nullopt, 4},
                               {"float8_e4m3fn", "float32", 2.0f, 2},
                               {"int64", std::nullopt, std::nullopt, 16}};
  for (std::size_t i = 0; i < 4; ++i) {
    const TensorEntry& r = rank.records[i];
    EXPECT_EQ(r.dtype, expected[i].dtype) << r.name;
    EXPECT_EQ(r.original_dtype, expected[i].original) << r.name;
    EXPECT_EQ(r.quant_scale, expected[i].scale) << r.name;
    EXPECT_EQ(r.raw_size, expected[i].raw_size) << r.name;
  }
}

TEST(SavePipeline, TheFirstFailingTensorFailsTheRank) {
  DTypePolicy bf16 = DTypePolicy::from_name("bf16").value();
  Bytes six(6, 0);
  Result<EncodedRank> rank = encode_rank(
      {tensor("ok", "float32", weights(16, 1)), tensor("odd", "float32", six)}, nullptr,
      settings(bf16));
  ASSERT_FALSE(rank);
  EXPECT_EQ(rank.error().display(),
            "Invalid configuration: fp32 data length 6 is not a multiple of 4");
}

TEST(RetainBase, MovesTheBytesOfUncastFullTensorsOnly) {
  DTypePolicy policy = DTypePolicy::from_rules({{"cast", "bf16"}}).value();
  const Bytes big = weights(2048, 1);
  std::vector<TensorData> tensors = {tensor("w", "float32", big), tensor("twin", "float32", big),
                                     tensor("cast", "float32", weights(2048, 2))};
  const std::uint8_t* w_bytes = tensors[0].data.data();
  EncodedRank rank = encode_rank(tensors, nullptr, settings(policy)).value();
  std::shared_ptr<const RetainedBase> retained = retain_base(tensors, rank.records);
  ASSERT_EQ(retained->tensors.size(), 1u);
  EXPECT_EQ(retained->tensors.at("w").data(), w_bytes);
  EXPECT_TRUE(tensors[0].data.empty());
  EXPECT_FALSE(tensors[2].data.empty());
}

}  // namespace
}  // namespace tarnwick
