#include "coordinator/saver.h"

#include <exception>
#include <system_error>

#include "coordinator/core.h"
#include "runtime/pool.h"
#include "runtime/threads.h"

namespace tarnwick {

Result<std::unique_ptr<AsyncSaver>> AsyncSaver::start(std::shared_ptr<Core> core) {
  std::unique_ptr<AsyncSaver> saver(new AsyncSaver());
  saver->jobs_ = std::make_shared<Channel<SaveJob>>();
  saver->state_ = std::make_shared<State>();
  try {
    saver->thread_ = std::thread(run, std::move(core), saver->jobs_, saver->state_);
  } catch (const std::system_error& e) {
    return Err(TarnwickError::storage(std::string("Failed to spawn tarnwick-async-saver thread: ") +
                                      e.code().message()));
  }
  return saver;
}

AsyncSaver::~AsyncSaver() {
  wait_idle();
  {
    std::lock_guard lock(sender_mutex_);
    shut_down_ = true;
  }
  jobs_->close();
  if (thread_.joinable()) thread_.join();
}

void AsyncSaver::run(std::shared_ptr<Core> core, std::shared_ptr<Channel<SaveJob>> jobs,
                     std::shared_ptr<State> state) {
  set_current_thread_name("tarnwick-async-saver");
  while (std::optional<SaveJob> job = jobs->receive()) {
    std::optional<std::string> failure;
    try {
      Result<void> saved = run_in_pool([&] {
        return core->save_sync(job->id, job->step, std::move(job->tensors), std::move(job->metadata));
      });
      if (!saved) failure = saved.error().display();
    } catch (const std::exception& e) {
      failure = std::string("save thread panicked: ") + e.what();
    } catch (...) {
      failure = "save thread panicked: unknown payload";
    }
    job.reset();  // release the tensors before reporting idle
    {
      std::lock_guard lock(state->mutex);
      state->busy = false;
      if (failure) state->error = std::move(failure);
    }
    state->idle.notify_all();
  }
}

Result<void> AsyncSaver::submit(SaveJob job, std::optional<std::chrono::nanoseconds>* waited) {
  {
    std::lock_guard lock(sender_mutex_);
    if (shut_down_) return Err(TarnwickError::storage("Background saver is shut down"));
  }
  const auto start = std::chrono::steady_clock::now();
  {
    std::unique_lock lock(state_->mutex);
    state_->idle.wait(lock, [&] { return !state_->busy; });
    *waited = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start);
    if (state_->error) {
      std::string text = std::move(*state_->error);
      state_->error.reset();
      return Err(TarnwickError::storage("Background save failed: " + text));
    }
    state_->busy = true;
  }
  if (!jobs_->send(std::move(job))) {
    {
      std::lock_guard lock(state_->mutex);
      state_->busy = false;
    }
    state_->idle.notify_all();
    return Err(TarnwickError::storage("Background saver channel closed"));
  }
  return {};
}

void AsyncSaver::wait_idle() {
  std::unique_lock lock(state_->mutex);
  state_->idle.wait(lock, [&] { return !state_->busy; });
}

Result<void> AsyncSaver::flush() {
  std::unique_lock lock(state_->mutex);
  state_->idle.wait(lock, [&] { return !state_->busy; });
  if (!state_->error) return {};
  std::string text = std::move(*state_->error);
  state_->error.reset();
  return Err(TarnwickError::storage("Background save failed: " + text));
}

}  // namespace tarnwick
