#include "format/pack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "storage/memory_storage.h"

namespace tarnwick {
namespace {

using namespace std::chrono;

const Uuid kId = *Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8");
const Uuid kOther = *Uuid::parse("0f8fad5b-d9cb-469f-a165-70867728950e");

TensorEntry record(std::string name, TensorStorage storage, std::uint64_t raw_size) {
  TensorEntry t;
  t.name = std::move(name);
  t.shape = {raw_size / 4};
  t.dtype = "float32";
  t.storage = storage;
  t.raw_size = raw_size;
  t.hash_raw = std::string(32, 'a');
  if (has_payload(storage)) t.hash_compressed = std::string(32, 'b');
  if (storage == TensorStorage::Alias) t.alias_of = "a";
  return t;
}

PackDescriptor descriptor_of(std::vector<TensorEntry> tensors) {
  PackDescriptor d;
  d.snapshot_id = kId;
  d.step = 7;
  d.created_at = Timestamp{sys_days{2025y / March / 1}} + 123456789ns;
  d.base_snapshot_id = kOther;
  d.metadata = {{"epoch", "1"}};
  d.compression = CompressionAlgo::zstd(-5);
  d.world_size = 4;
  d.rank.rank = 3;
  d.rank.tensors = std::move(tensors);
  return d;
}

std::uint64_t le64(const Bytes& data, std::size_t at) {
  std::uint64_t value;
  std::memcpy(&value, data.data() + at, 8);
  return value;
}

TEST(Pack, KeysNameTheSnapshotDirectoryAndRank) {
  EXPECT_EQ(snapshot_directory(kId), "snapshots/67e55044-10b1-426f-9247-bb680e5fe0c8");
  EXPECT_EQ(pack_key(kId, 12), "snapshots/67e55044-10b1-426f-9247-bb680e5fe0c8/rank_12.pack");
  EXPECT_EQ(pack_key("snapshots/x", 0), "snapshots/x/rank_0.pack");
}

TEST(Pack, RoundTripsPayloadsAndDescriptorWithoutJoiningThem) {
  const Bytes full(10, 0x11), delta(5, 0x22), stale(3, 0x33);
  const std::vector<TensorEntry> tensors = {
      record("a", TensorStorage::Full, 12), record("b", TensorStorage::Skipped, 8),
      record("c", TensorStorage::DeltaXor, 16), record("d", TensorStorage::Alias, 12)};
  // The alias's buffer is ignored: aliases take no space in the pack.
  const ByteSpan payloads[] = {full, {}, delta, stale};
  const std::string key = pack_key(kId, 3);
  auto built = build_pack(key, descriptor_of(tensors), payloads);
  ASSERT_TRUE(built.has_value()) << built.error().display();

  const RankEntry& rank = built->descriptor.rank;
  EXPECT_EQ(rank.pack_file, key);
  EXPECT_EQ(rank.tensors[0].offset, 32u);
  EXPECT_EQ(rank.tensors[0].compressed_size, 10u);
  EXPECT_EQ(rank.tensors[1].offset, 0u);
  EXPECT_EQ(rank.tensors[2].offset, 42u);
  EXPECT_EQ(rank.tensors[2].compressed_size, 5u);
  EXPECT_EQ(rank.tensors[3].offset, 0u);
  EXPECT_EQ(rank.tensors[3].compressed_size, 0u);
  EXPECT_EQ(rank.total_compressed, 15u);
  EXPECT_EQ(rank.total_raw, 48u);
  EXPECT_EQ(rank.skipped_count, 2u);
  EXPECT_EQ(rank.delta_count, 1u);
  EXPECT_EQ(rank.full_count, 1u);

  MemoryStorage storage;
  ASSERT_TRUE(write_pack(storage, *built).has_value());
  const std::vector<ByteSpan>& parts = storage.last_parts();
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[1].data(), full.data());
  EXPECT_EQ(parts[2].data(), delta.data());

  const Bytes object = *storage.get(key);
  ASSERT_EQ(object.size(), 32 + 15 + built->descriptor_json.size());
  EXPECT_EQ(std::memcmp(object.data(), "TARNPACK", 8), 0);
  EXPECT_EQ(le64(object, 8), 1u);
  EXPECT_EQ(le64(object, 16), 47u);
  EXPECT_EQ(le64(object, 24), built->descriptor_json.size());

  // The store pads objects with zeros; readers go by the header.
  storage.object(key).resize(4096, 0);
  const auto read = check_pack(storage, key, kId);
  ASSERT_TRUE(read.has_value()) << read.error().display();
  EXPECT_EQ(*read, built->descriptor);
  const Bytes padded = *storage.get(key);
  EXPECT_EQ(payload_in(padded, read->rank.tensors[0])->size(), 10u);
  EXPECT_TRUE(std::ranges::equal(*payload_in(padded, read->rank.tensors[2]), delta));
}

TEST(Pack, WithoutPayloadsTheDescriptorFollowsTheHeader) {
  for (const auto& tensors : {std::vector<TensorEntry>{},
                              std::vector{record("a", TensorStorage::Skipped, 8), record("b", TensorStorage::Alias, 8)}}) {
    const std::vector<ByteSpan> payloads(tensors.size());
    auto built = build_pack(pack_key(kId, 0), descriptor_of(tensors), payloads);
    ASSERT_TRUE(built.has_value());
    MemoryStorage storage;
    ASSERT_TRUE(write_pack(storage, *built).has_value());
    const Bytes object = *storage.get(built->key());
    EXPECT_EQ(le64(object, 16), 32u);
    EXPECT_EQ(object.size(), 32 + built->descriptor_json.size());
    EXPECT_EQ(read_pack_descriptor(storage, built->key()), built->descriptor);
  }
}

TEST(Pack, RefusesAPayloadCountThatDiffersFromTheRecords) {
  const Bytes payload(4, 1);
  const ByteSpan payloads[] = {payload};
  const auto built = build_pack(pack_key(kId, 0), descriptor_of({}), payloads);
  ASSERT_FALSE(built.has_value());
}

TEST(Pack, ChecksReportEachWayAPackCanBeWrong) {
  const Bytes payload(100, 0x5a);
  const ByteSpan payloads[] = {payload};
  const std::string key = pack_key(kId, 3);
  const auto built = build_pack(key, descriptor_of({record("a", TensorStorage::Full, 400)}), payloads);
  ASSERT_TRUE(built.has_value());
  const std::size_t descriptor_end = 132 + built->descriptor_json.size();

  struct Case {
    std::string_view name;
    std::function<void(Bytes&)> damage;
    std::string error;  // empty: the check passes
  };
  const std::string no_header = "Storage backend error: " + key + " has no pack header";
  const std::string truncated =
      "Storage backend error: " + key + " is truncated: the rank that wrote it did not finish";
  const Case cases[] = {
      {"intact", [](Bytes&) {}, ""},
      {"anything in bytes 12-15", [](Bytes& b) { std::memset(b.data() + 12, 0xff, 4); }, ""},
      {"shorter than a header", [](Bytes& b) { b.resize(31); }, no_header},
      {"empty", [](Bytes& b) { b.clear(); }, no_header},
      {"wrong magic", [](Bytes& b) { b[0] = 't'; }, no_header},
      {"version 2", [](Bytes& b) { b[8] = 2; }, no_header},
      {"descriptor offset inside the header", [](Bytes& b) { std::memset(b.data() + 16, 0, 8); }, no_header},
      {"descriptor end beyond 2^64", [](Bytes& b) { std::memset(b.data() + 24, 0xff, 8); }, no_header},
      {"cut in the descriptor", [&](Bytes& b) { b.resize(descriptor_end - 1); }, truncated},
      {"cut after the payload", [](Bytes& b) { b.resize(132); }, truncated},
      {"damaged descriptor", [](Bytes& b) { b[132] = '['; },
       "Serialization error: " + key + ": invalid type: sequence, expected a map at line 1 column 1"},
  };
  for (const Case& c : cases) {
    MemoryStorage storage;
    ASSERT_TRUE(write_pack(storage, *built).has_value());
    c.damage(storage.object(key));
    const auto read = check_pack(storage, key, kId);
    if (c.error.empty()) {
      EXPECT_TRUE(read.has_value()) << c.name << ": " << read.error().display();
    } else {
      ASSERT_FALSE(read.has_value()) << c.name;
      EXPECT_EQ(read.error().display(), c.error) << c.name;
    }
  }

  MemoryStorage storage;
  ASSERT_TRUE(write_pack(storage, *built).has_value());
  const auto foreign = check_pack(storage, key, kOther);
  ASSERT_FALSE(foreign.has_value());
  EXPECT_EQ(foreign.error().display(), "Storage backend error: " + key + " belongs to snapshot " +
                                           kId.to_string() + ", not " + kOther.to_string());
  const auto missing = check_pack(storage, "snapshots/x/rank_0.pack", kId);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "Checkpoint not found: snapshots/x/rank_0.pack");
}

TEST(Pack, PayloadRangesThatDoNotFitGiveNothing) {
  const Bytes pack(64, 0);
  TensorEntry entry;
  for (const auto& [offset, size, fits] : {std::tuple{32ull, 32ull, true}, {32ull, 33ull, false}, {64ull, 0ull, true},
                                           {65ull, 0ull, false}, {1ull, UINT64_MAX, false}}) {
    entry.offset = offset;
    entry.compressed_size = size;
    EXPECT_EQ(payload_in(pack, entry).has_value(), fits) << offset << "+" << size;
  }
}

}  // namespace
}  // namespace tarnwick
