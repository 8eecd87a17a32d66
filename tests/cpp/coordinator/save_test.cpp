#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "coordinator/coordinator.h"
#include "coordinator/core.h"
#include "format/large_buffers.h"
#include "format/pack.h"
#include "runtime/pool.h"
#include "storage/faulty_storage.h"
#include "storage/local_storage.h"
#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

std::vector<TensorData> tensors_for(std::uint64_t step) {
  TensorData t;
  t.name = "w";
  t.shape = {2048};
  t.dtype = "float32";
  t.data.resize(8192);
  for (std::size_t i = 0; i < t.data.size(); ++i) t.data[i] = static_cast<std::uint8_t>(i * 7 + step);
  std::vector<TensorData> tensors;
  tensors.push_back(std::move(t));
  return tensors;
}

struct CoreFixture {
  ScratchDir dir;
  std::shared_ptr<FaultyStorage> storage =
      std::make_shared<FaultyStorage>(std::make_shared<LocalStorage>(dir.path()));
  std::shared_ptr<Core> core;

  explicit CoreFixture(CoordinatorConfig config = {}) {
    config.async_save = false;
    Manifest manifest = *load_manifest(*storage, config);
    core = std::make_shared<Core>(config, storage, manifest);
  }

  Result<Uuid> save(std::uint64_t step) {
    const Uuid id = *Uuid::new_v4();
    TRY_VOID(run_in_pool([&] { return core->save_sync(id, step, tensors_for(step), {}); }));
    return id;
  }

  // "F" for a full snapshot, "D" for a delta, in manifest order.
  std::string kinds() {
    std::lock_guard lock(core->manifest_mutex);
    std::string out;
    for (const Snapshot& s : core->manifest.snapshots) out += s.base_snapshot_id ? "D" : "F";
    return out;
  }
};

TEST(SavePath, ChoosesTheBaseByStepGapAndDeltaCount) {
  struct Case {
    const char* name;
    std::uint64_t full_every_steps, max_deltas_per_full;
    std::vector<std::uint64_t> steps;
    std::string kinds;
  };
  const Case cases[] = {
      {"a step gap just under the limit is a delta", 5000, 10, {0, 4999, 5000}, "FDF"},
      {"the delta count starts a new full", 5000, 2, {0, 1, 2, 3}, "FDDF"},
      {"a lower step uses the base", 5000, 10, {100, 50}, "FD"},
      {"a limit of 0 makes every save full", 0, 10, {0, 1}, "FF"},
  };
  for (const Case& c : cases) {
    CoordinatorConfig config;
    config.retention.full_snapshot_every_steps = c.full_every_steps;
    config.retention.max_deltas_per_full = c.max_deltas_per_full;
    CoreFixture fixture(config);
    for (std::uint64_t step : c.steps) ASSERT_TRUE(fixture.save(step)) << c.name;
    EXPECT_EQ(fixture.kinds(), c.kinds) << c.name;
  }
}

TEST(SavePath, FailedPackWriteLeavesTheManifestUntouched) {
  CoreFixture fixture;
  ASSERT_TRUE(fixture.save(0));
  fixture.storage->fail_call(StorageOp::PutParts, fixture.storage->calls(StorageOp::PutParts) + 1,
                             TarnwickError::io(28));
  const Result<Uuid> failed = fixture.save(1);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display(), "IO error: No space left on device (os error 28)");
  EXPECT_EQ(fixture.kinds(), "F");
  const Manifest on_disk = *load_manifest(*fixture.storage, fixture.core->config);
  EXPECT_EQ(on_disk.snapshots.size(), 1u);
}

TEST(SavePath, RetentionUnlinksOnceTheReaderLetsGoOrLeavesFilesAfterTheBudget) {
  CoordinatorConfig config;
  config.retention.max_total_snapshots = 1;
  config.retention.full_snapshot_every_steps = 0;  // every save full
  for (const bool reader_leaves : {true, false}) {
    CoreFixture fixture(config);
    fixture.core->save_unlink_budget = reader_leaves ? 600s : 1s;
    const Uuid first = *fixture.save(1);
    auto reader = std::make_optional(fixture.core->inflight->pin({first}));
    std::thread release;
    if (reader_leaves) {
      release = std::thread([&] {
        std::this_thread::sleep_for(200ms);
        reader.reset();
      });
    }
    testing::internal::CaptureStderr();
    ASSERT_TRUE(fixture.save(2));
    const std::string log = testing::internal::GetCapturedStderr();
    if (release.joinable()) release.join();
    EXPECT_EQ(fixture.kinds(), "F");
    const bool pack_left = *fixture.storage->exists(pack_key(first, 0));
    if (reader_leaves) {
      EXPECT_FALSE(pack_left);
      EXPECT_EQ(log, "");
    } else {
      EXPECT_TRUE(pack_left);
      EXPECT_EQ(log,
                "[Tarnwick] 1 dropped snapshot(s) are still being read after 1s; leaving their "
                "files rather than unlinking under the reader\n");
    }
  }
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Saves keep freed large buffers for the next save; a process that closes
// its last store gets that memory back.
TEST(SavePath, ClosingTheLastCoordinatorFreesTheIdleLargeBuffers) {
  ScratchDir dir;
  CoordinatorConfig config;
  config.async_save = true;
  auto coordinator = *Coordinator::create(std::make_shared<LocalStorage>(dir.path()), config);
  TensorData big;
  big.name = "w";
  big.dtype = "uint8";
  big.shape = {8 << 20};
  big.data.resize(8 << 20, 1);
  std::vector<TensorData> tensors;
  tensors.push_back(std::move(big));
  ASSERT_TRUE(coordinator->save_tensors(0, std::move(tensors), {}));
  ASSERT_TRUE(coordinator->flush());
  EXPECT_GT(idle_large_buffer_bytes(), 0u);
  coordinator.reset();
  EXPECT_EQ(idle_large_buffer_bytes(), 0u);
}

}  // namespace
}  // namespace tarnwick
