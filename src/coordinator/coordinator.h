#pragma once
// The owner of a store for one manager: the shared Core and, with
// async_save on a single rank, the background saver. Destroying it waits
// for the last background save before the Core goes.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "coordinator/config.h"
#include "coordinator/core.h"
#include "coordinator/saver.h"
#include "format/error.h"
#include "format/manifest.h"
#include "format/tensor.h"
#include "format/uuid.h"
#include "storage/storage.h"

namespace tarnwick {

class Coordinator {
 public:
  // Opens the store (reading or starting its manifest), repairs it after a
  // crash on rank 0 and starts the configured threads.
  static Result<std::unique_ptr<Coordinator>> create(std::shared_ptr<StorageBackend> storage,
                                                     CoordinatorConfig config);

  // Single-rank save of already copied tensors. With the saver the call
  // returns once the job is queued; without, once the snapshot is recorded.
  Result<Uuid> save_tensors(std::uint64_t step, std::vector<TensorData> tensors, Metadata metadata);

  // Waits for an in-flight background save and reports its failure.
  Result<void> flush();
  // Waits for an in-flight background save; a failure stays stored.
  void wait_idle();

  // How long the latest submit waited for the previous save. A caller that
  // times its own save_tensors sees the shadow copy and this wait as one
  // duration; they have different causes (memory bandwidth versus a save
  // that outlasts the training steps between checkpoints) and different
  // remedies, so the wait is kept apart.
  std::chrono::nanoseconds last_queue_wait() const {
    return std::chrono::nanoseconds(last_queue_wait_nanos_.load());
  }
  bool has_saver() const { return saver_ != nullptr; }

  // Waits for the saver as flush does (a stored failure fails the load),
  // then Core::load on the calling thread: the sink is called there.
  Result<void> load(const Uuid& id, const TensorSink& sink);
  Result<LoadedTensors> load(const Uuid& id);
  // The same for the last finalized snapshot, whose id is returned.
  Result<Uuid> load_latest(const TensorSink& sink);
  Result<std::pair<Uuid, LoadedTensors>> load_latest();
  std::vector<SnapshotInfo> list_snapshots();

  Core& core() { return *core_; }

  // Finishes the last background save and releases the store. When no
  // other coordinator is left in the process, the idle large buffers kept
  // for later saves are freed too.
  ~Coordinator();

 private:
  explicit Coordinator(std::shared_ptr<Core> core);

  std::shared_ptr<Core> core_;
  // Declared after core_ so it is destroyed first: the last save finishes
  // before the Core is released.
  std::unique_ptr<AsyncSaver> saver_;
  std::atomic<std::int64_t> last_queue_wait_nanos_{0};
};

}  // namespace tarnwick
