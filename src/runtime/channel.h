#pragma once
// An unbounded first-in-first-out queue between threads that either end can
// close: send fails once the receiver is gone, receive returns nothing once
// the queue is closed and drained.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace tarnwick {

template <class T>
class Channel {
 public:
  // False when the channel is closed; the value is then dropped.
  bool send(T value) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      queue_.push_back(std::move(value));
    }
    ready_.notify_one();
    return true;
  }

  // The next value; none once the channel is closed and empty.
  std::optional<T> receive() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return std::nullopt;
    T value = std::move(queue_.front());
    queue_.pop_front();
    return value;
  }

  // Values already queued can still be received.
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> queue_;  // guarded by mutex_
  bool closed_ = false;  // guarded by mutex_
};

}  // namespace tarnwick
