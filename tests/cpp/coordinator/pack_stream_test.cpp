#include "coordinator/pack_stream.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "storage/memory_storage.h"

namespace tarnwick {
namespace {

const Uuid kId = *Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8");
const std::string kKey = "snapshots/67e55044-10b1-426f-9247-bb680e5fe0c8/rank_0.pack";

TensorEntry record(std::string name, TensorStorage storage, std::uint64_t payload_size) {
  TensorEntry t;
  t.name = std::move(name);
  t.shape = {payload_size};
  t.dtype = "uint8";
  t.storage = storage;
  t.raw_size = payload_size;
  t.hash_raw = std::string(32, 'a');
  if (has_payload(storage)) {
    t.compressed_size = payload_size;
    t.hash_compressed = std::string(32, 'b');
  }
  if (storage == TensorStorage::Alias) t.alias_of = "full";
  return t;
}

PackDescriptor descriptor_of(std::vector<TensorEntry> records) {
  PackDescriptor d;
  d.snapshot_id = kId;
  d.step = 3;
  d.compression = CompressionAlgo::zstd(3);
  d.world_size = 1;
  d.rank.tensors = std::move(records);
  return d;
}

// A store whose objects fail on their n-th append.
class FailingAppendStorage : public MemoryStorage {
 public:
  explicit FailingAppendStorage(int fail_at) : fail_at_(fail_at) {}

  Result<std::unique_ptr<ObjectWriter>> start_put(std::string_view key) override {
    TRY(std::unique_ptr<ObjectWriter> inner, MemoryStorage::start_put(key));
    return std::unique_ptr<ObjectWriter>(std::make_unique<Writer>(std::move(inner), fail_at_));
  }

 private:
  class Writer : public ObjectWriter {
   public:
    Writer(std::unique_ptr<ObjectWriter> inner, int fail_at) : inner_(std::move(inner)), left_(fail_at) {}
    Result<void> append(ByteSpan bytes) override {
      if (--left_ == 0) return Err(TarnwickError::io(ENOSPC));
      return inner_->append(bytes);
    }
    Result<void> commit(ByteSpan head) override { return inner_->commit(head); }

   private:
    std::unique_ptr<ObjectWriter> inner_;
    int left_;
  };
  int fail_at_;
};

// Payloads delivered out of order from several threads end up exactly where
// a pack written in one piece has them; the aliases at the end deliver
// nothing and are not waited for.
TEST(PackStream, WritesTheSameBytesAsAPackBuiltInOnePiece) {
  const std::vector<Bytes> payloads = {Bytes(100, 1), Bytes(), Bytes(5 << 20, 3), Bytes(7, 4), Bytes()};
  const std::vector<TensorEntry> records = {
      record("full", TensorStorage::Full, 100), record("same", TensorStorage::Skipped, 0),
      record("big", TensorStorage::Full, 5 << 20), record("delta", TensorStorage::DeltaXor, 7),
      record("twin", TensorStorage::Alias, 0)};
  MemoryStorage storage;
  auto stream = PackStream::start(storage, kKey);
  ASSERT_TRUE(stream);
  std::vector<std::thread> deliverers;
  for (const std::size_t i : {3, 0, 2, 1}) {
    deliverers.emplace_back([&, i] { ASSERT_TRUE((*stream)->deliver(i, payloads[i])); });
  }
  for (std::thread& t : deliverers) t.join();
  const Result<PackLayout> layout = (*stream)->finish(descriptor_of(records));
  ASSERT_TRUE(layout) << layout.error().display();

  std::vector<ByteSpan> spans(payloads.begin(), payloads.end());
  const BuiltPack whole = build_pack(kKey, descriptor_of(records), spans).value();
  Bytes expected;
  for (const ByteSpan part : whole.parts()) expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_TRUE(*storage.get(kKey) == expected);
  EXPECT_EQ(layout->descriptor.rank.tensors[3].offset, 32u + 100 + (5 << 20));
  EXPECT_EQ(layout->descriptor_json, whole.descriptor_json);
}

TEST(PackStream, AFailedWriteFailsDeliveryAndFinishAndLeavesNoPack) {
  FailingAppendStorage storage(3);  // the placeholder header, the first payload, then the failure
  auto stream = PackStream::start(storage, kKey);
  ASSERT_TRUE(stream);
  ASSERT_TRUE((*stream)->deliver(0, Bytes(10, 1)));
  ASSERT_TRUE((*stream)->deliver(1, Bytes(10, 2)));
  const Result<PackLayout> finished = (*stream)->finish(
      descriptor_of({record("a", TensorStorage::Full, 10), record("b", TensorStorage::Full, 10)}));
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().kind(), TarnwickError::Kind::Io);
  EXPECT_FALSE((*stream)->deliver(2, Bytes(1, 3)));
  stream->reset();
  EXPECT_FALSE(*storage.exists(kKey));
}

TEST(PackStream, DroppedBeforeFinishLeavesNoPack) {
  MemoryStorage storage;
  {
    auto stream = PackStream::start(storage, kKey);
    ASSERT_TRUE(stream);
    ASSERT_TRUE((*stream)->deliver(1, Bytes(10, 2)));  // waits for 0, which never comes
  }
  EXPECT_FALSE(*storage.exists(kKey));
}

TEST(PackStream, PayloadsThatDisagreeWithTheRecordsAreRefused) {
  MemoryStorage storage;
  auto stream = PackStream::start(storage, kKey);
  ASSERT_TRUE((*stream)->deliver(0, Bytes(10, 1)));
  const Result<PackLayout> finished = (*stream)->finish(descriptor_of({record("a", TensorStorage::Full, 12)}));
  ASSERT_FALSE(finished);
  EXPECT_EQ(finished.error().text(), kKey + ": 10 payload bytes written for records of 12");
  EXPECT_FALSE(*storage.exists(kKey));
}

}  // namespace
}  // namespace tarnwick
