#include "coordinator/coordinator.h"

#include <atomic>

#include "coordinator/recovery.h"
#include "format/large_buffers.h"
#include "runtime/pool.h"
#include "runtime/profile.h"

namespace tarnwick {
namespace {

std::atomic<int> live_coordinators{0};

}  // namespace

Coordinator::Coordinator(std::shared_ptr<Core> core) : core_(std::move(core)) { ++live_coordinators; }

Coordinator::~Coordinator() {
  saver_.reset();
  core_.reset();
  if (--live_coordinators == 0) release_idle_large_buffers();
}

Result<std::unique_ptr<Coordinator>> Coordinator::create(std::shared_ptr<StorageBackend> storage,
                                                         CoordinatorConfig config) {
  TRY(Manifest manifest, load_manifest(*storage, config));
  if (config.rank == 0) recover_store(*storage, manifest);
  const bool wants_saver = config.async_save && config.world_size == 1;
  auto core = std::make_shared<Core>(std::move(config), std::move(storage), std::move(manifest));
  std::unique_ptr<Coordinator> coordinator(new Coordinator(core));
  if (wants_saver) {
    TRY(coordinator->saver_, AsyncSaver::start(core));
  }
  return coordinator;
}

Result<Uuid> Coordinator::save_tensors(std::uint64_t step, std::vector<TensorData> tensors,
                                       Metadata metadata) {
  if (core_->config.world_size != 1) {
    return Err(TarnwickError::invalid_config(
        "Multi-rank save requires explicit create_snapshot/save_rank/finalize flow. Use "
        "save_rank() instead."));
  }
  TRY(Uuid id, Uuid::new_v4());
  if (!saver_) {
    TRY_VOID(run_in_pool(
        [&] { return core_->save_sync(id, step, std::move(tensors), std::move(metadata)); }));
    return id;
  }
  std::optional<std::chrono::nanoseconds> waited;
  Result<void> submitted =
      saver_->submit(SaveJob{id, step, std::move(tensors), std::move(metadata)}, &waited);
  if (waited) last_queue_wait_nanos_.store(waited->count());
  TRY_VOID(submitted);
  if (waited) print_wait_line(*waited);
  return id;
}

Result<void> Coordinator::flush() {
  if (!saver_) return {};
  return saver_->flush();
}

void Coordinator::wait_idle() {
  if (saver_) saver_->wait_idle();
}

// Core::load runs on the calling thread and only its decoding on the pool:
// a sink that needs the caller's locks (the binding's takes the GIL) never
// blocks a pool worker on them.
Result<void> Coordinator::load(const Uuid& id, const TensorSink& sink) {
  TRY_VOID(flush());
  return core_->load(id, sink);
}

Result<LoadedTensors> Coordinator::load(const Uuid& id) {
  TRY_VOID(flush());
  return core_->load(id);
}

Result<Uuid> Coordinator::load_latest(const TensorSink& sink) {
  TRY_VOID(flush());
  TRY(Uuid id, core_->latest_finalized());
  TRY_VOID(core_->load(id, sink));
  return id;
}

Result<std::pair<Uuid, LoadedTensors>> Coordinator::load_latest() {
  TRY_VOID(flush());
  TRY(Uuid id, core_->latest_finalized());
  TRY(LoadedTensors tensors, core_->load(id));
  return std::pair{id, std::move(tensors)};
}

std::vector<SnapshotInfo> Coordinator::list_snapshots() {
  wait_idle();
  return core_->list_snapshots();
}

}  // namespace tarnwick
