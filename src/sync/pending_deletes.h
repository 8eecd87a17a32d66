#pragma once
// Keys deleted from the local store that the remote mirror still has to
// delete. Filled by unlinking, drained by the remote syncer; disabled (every
// push dropped) when no bucket is configured.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick {

class PendingDeletes {
 public:
  explicit PendingDeletes(bool enabled) : enabled_(enabled) {}

  bool enabled() const { return enabled_; }

  void push(std::string key) {
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    keys_.push_back(std::move(key));
  }

  // Everything queued so far, leaving the queue empty.
  std::vector<std::string> take_all() {
    std::lock_guard lock(mutex_);
    return std::exchange(keys_, {});
  }

 private:
  const bool enabled_;
  std::mutex mutex_;
  std::vector<std::string> keys_;  // guarded by mutex_
};

}  // namespace tarnwick
