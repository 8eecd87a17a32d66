#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "coordinator/core.h"
#include "encoding/cast.h"
#include "runtime/pool.h"
#include "storage/memory_storage.h"

namespace tarnwick {
namespace {

TensorData tensor(std::string name, std::string dtype, Bytes data) {
  return TensorData{std::move(name), {data.size()}, std::move(dtype), std::move(data)};
}

Bytes float_bytes(std::size_t count, float step) {
  Bytes bytes(count * 4);
  for (std::size_t i = 0; i < count; ++i) {
    const float value = std::sin(static_cast<float>(i) * step);
    std::memcpy(bytes.data() + 4 * i, &value, 4);
  }
  return bytes;
}

// A store with a full snapshot and a delta on top of it whose "w" is saved
// as bf16 and whose "twin" is an alias of "w".
struct DeltaStore {
  std::shared_ptr<Core> core;
  Uuid base, id;
  const Bytes w = float_bytes(4096, 0.01f);
  const Bytes ids = Bytes(800, 7);

  DeltaStore() {
    CoordinatorConfig config;
    config.async_save = false;
    config.save_dtype = DTypePolicy::from_name("bf16").value();
    auto storage = std::make_shared<MemoryStorage>();
    core = std::make_shared<Core>(config, storage, *load_manifest(*storage, config));
    Bytes older = w;
    for (std::size_t i = 2; i < older.size(); i += 256) older[i] ^= 1;  // a few weights moved
    base = save(0, older);
    id = save(1, w);
  }

  Uuid save(std::uint64_t step, const Bytes& weights) {
    const Uuid snapshot = *Uuid::new_v4();
    std::vector<TensorData> tensors;
    tensors.push_back(tensor("w", "float32", weights));
    tensors.push_back(tensor("twin", "float32", weights));
    tensors.push_back(tensor("ids", "int64", ids));
    EXPECT_TRUE(run_in_pool([&] { return core->save_sync(snapshot, step, std::move(tensors), {}); }));
    return snapshot;
  }
};

constexpr std::uint8_t kUntouched = 0xA5;

// Hands out buffers with guard bytes on both sides, all kUntouched, and
// remembers what it was asked for; call `fail` decides whether a call
// returns an error, a buffer of the wrong length or the right one.
struct RecordingSink {
  struct Call {
    std::string name;
    std::uint64_t size;
  };
  static constexpr std::size_t kGuard = 64;
  std::vector<Call> calls;
  std::deque<Bytes> buffers;
  bool decoded_before_asked = false;
  std::function<Result<std::int64_t>(std::size_t call)> fail = [](std::size_t) { return 0; };

  TensorSink sink() {
    return [this](const std::string& name, std::uint64_t size) -> Result<MutableByteSpan> {
      for (const Bytes& b : buffers) {
        if (!untouched(b)) decoded_before_asked = true;
      }
      calls.push_back({name, size});
      TRY(const std::int64_t change, fail(calls.size()));
      const std::size_t length = size + change;
      buffers.emplace_back(length + 2 * kGuard, kUntouched);
      return MutableByteSpan(buffers.back()).subspan(kGuard, length);
    };
  }
  static bool untouched(const Bytes& b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == kUntouched; });
  }
  Bytes content(std::size_t i) const {
    return Bytes(buffers[i].begin() + kGuard, buffers[i].end() - kGuard);
  }
};

TEST(LoadPath, AsksForEveryBufferBeforeDecodingWithItsFinalLength) {
  DeltaStore store;
  {
    std::lock_guard lock(store.core->manifest_mutex);
    const Snapshot& delta = store.core->manifest.snapshots.back();
    ASSERT_EQ(delta.base_snapshot_id, store.base);
    std::string kinds;
    for (const TensorEntry& r : delta.ranks.at(0).tensors) {
      kinds += r.name + ":" + std::string(tensor_storage_name(r.storage)) + " ";
    }
    ASSERT_EQ(kinds, "w:DeltaXor ids:Skipped twin:Alias ");
  }
  RecordingSink recording;
  ASSERT_TRUE(store.core->load(store.id, recording.sink()));

  ASSERT_EQ(recording.calls.size(), 3u);
  const std::pair<std::string, std::uint64_t> expected[] = {{"w", 16384}, {"ids", 800}, {"twin", 16384}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(recording.calls[i].name, expected[i].first);
    EXPECT_EQ(recording.calls[i].size, expected[i].second) << "float32 comes back as float32";
  }
  EXPECT_FALSE(recording.decoded_before_asked);
  const Bytes w = *widen_to_fp32(*narrow_from_fp32(store.w, "bfloat16"), "bfloat16");
  EXPECT_EQ(recording.content(0), w);
  EXPECT_EQ(recording.content(1), store.ids);
  EXPECT_EQ(recording.content(2), w) << "the alias gets its own copy";
  for (const Bytes& b : recording.buffers) {
    EXPECT_TRUE(RecordingSink::untouched(Bytes(b.begin(), b.begin() + RecordingSink::kGuard)));
    EXPECT_TRUE(RecordingSink::untouched(Bytes(b.end() - RecordingSink::kGuard, b.end())));
  }
  EXPECT_EQ(store.core->load(store.id)->at("twin"), w);
}

TEST(LoadPath, SinkFailuresFailTheLoadWithNothingWritten) {
  struct Case {
    const char* what;
    std::size_t failing_call;
    Result<std::int64_t> outcome;
    std::string text;
  };
  const Case cases[] = {
      {"error on the first tensor", 1, Err(TarnwickError::io(ENOSPC)),
       "IO error: No space left on device (os error 28)"},
      {"error on the alias", 3, Err(TarnwickError::io(ENOMEM)),
       "IO error: Cannot allocate memory (os error 12)"},
      {"buffer too short", 1, -1,
       "Invalid configuration: the buffer given for tensor 'w' holds 16383 bytes, not 16384"},
      {"buffer too long", 2, 1,
       "Invalid configuration: the buffer given for tensor 'ids' holds 801 bytes, not 800"},
      {"alias buffer too short", 3, -16384,
       "Invalid configuration: the buffer given for tensor 'twin' holds 0 bytes, not 16384"},
  };
  DeltaStore store;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingSink recording;
    recording.fail = [&](std::size_t call) -> Result<std::int64_t> {
      return call == c.failing_call ? c.outcome : 0;
    };
    const Result<void> loaded = store.core->load(store.id, recording.sink());
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().display(), c.text);
    EXPECT_EQ(recording.calls.size(), c.failing_call) << "no call after the failing one";
    for (const Bytes& b : recording.buffers) EXPECT_TRUE(RecordingSink::untouched(b));
    EXPECT_EQ(store.core->inflight->pin_count(store.id), 0u);
    EXPECT_EQ(store.core->inflight->pin_count(store.base), 0u);
  }
}

}  // namespace
}  // namespace tarnwick
