#pragma once
// The background saver: one thread that runs queued saves so save_tensors
// can return once the tensors are copied. At most one save is outstanding:
// a submitter waits while the saver is busy. A failed save's text is kept
// and handed to the next submit or flush.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "format/error.h"
#include "format/manifest.h"
#include "format/tensor.h"
#include "format/uuid.h"
#include "runtime/channel.h"

namespace tarnwick {

class Core;

struct SaveJob {
  Uuid id;
  std::uint64_t step = 0;
  std::vector<TensorData> tensors;
  Metadata metadata;
};

class AsyncSaver {
 public:
  // Starts the "tarnwick-async-saver" thread.
  static Result<std::unique_ptr<AsyncSaver>> start(std::shared_ptr<Core> core);

  // Waits for idle, then drops the queue and joins the thread.
  ~AsyncSaver();

  // Waits while a save is in flight (the wait is stored in *waited), takes
  // a stored failure, marks the saver busy and queues the job.
  Result<void> submit(SaveJob job, std::optional<std::chrono::nanoseconds>* waited);

  // Blocks until no save is in flight; a stored failure stays stored.
  void wait_idle();

  // Blocks until no save is in flight, then takes a stored failure as
  // "Background save failed: {text}".
  Result<void> flush();

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable idle;        // notified whenever busy becomes false
    std::optional<std::string> error;    // guarded by mutex
    bool busy = false;                   // guarded by mutex
  };

  AsyncSaver() = default;
  static void run(std::shared_ptr<Core> core, std::shared_ptr<Channel<SaveJob>> jobs,
                  std::shared_ptr<State> state);

  std::shared_ptr<Channel<SaveJob>> jobs_;
  std::shared_ptr<State> state_;
  std::mutex sender_mutex_;
  bool shut_down_ = false;  // guarded by sender_mutex_
  std::thread thread_;
};

}  // namespace tarnwick
