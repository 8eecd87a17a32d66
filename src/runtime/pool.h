#pragma once
// The private, process-wide worker pool and the one parallel loop every
// data-parallel pass of the library goes through.
//
// The pool is a oneTBB task_arena built on first use, sized from the
// hardware threads, LOCAL_WORLD_SIZE and TARNWICK_THREADS; its workers are
// named "tarnwick-tbb-{i}". If it cannot be built, work runs on the caller
// and loops use oneTBB's default arena.

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <exception>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "format/error.h"

namespace tarnwick {

// The short word naming the pool in thread names and in the profile header.
inline constexpr std::string_view kPoolWord = "tbb";

// Number of hardware threads available to this process, at least 1.
std::size_t available_hardware_threads();

// Pool size from its inputs: forced if present, else cores / local (when
// local is present), else cores; never 0.
std::size_t pool_size_for(std::size_t cores, std::optional<std::uint64_t> local,
                          std::optional<std::uint64_t> forced);

// Reads a positive integer from an environment value. Unset, non-UTF-8 or
// blank values give none silently; anything else that is not a positive
// integer gives none and sets *warning to the line to print (no newline).
std::optional<std::uint64_t> parse_positive_env(std::string_view name, const char* value,
                                                std::string* warning);

// Reads the variable from the environment, printing the warning to stderr.
std::optional<std::uint64_t> positive_env(const char* name);

// The pool, built on the first call from any thread; nullptr when building
// it failed. Never rebuilt.
oneapi::tbb::task_arena* pool();

// The number of workers the pool was built with (0 without a pool).
std::size_t pool_concurrency();

// True on a worker thread of the pool while it works for the pool.
bool on_pool_worker();

// Runs fn on the pool's workers and returns its result. The caller blocks
// (it does not take a worker's place, so the pool keeps its size); a call
// from one of the pool's own workers runs fn in place.
template <class F>
decltype(auto) run_in_pool(F&& fn) {
  oneapi::tbb::task_arena* arena = pool();
  if (arena == nullptr || on_pool_worker()) return fn();
  using R = std::invoke_result_t<F&>;
  std::binary_semaphore done{0};
  std::exception_ptr failure;
  if constexpr (std::is_void_v<R>) {
    arena->enqueue([&] {
      try {
        fn();
      } catch (...) {
        failure = std::current_exception();
      }
      done.release();
    });
    done.acquire();
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<R> result;
    arena->enqueue([&] {
      try {
        result.emplace(fn());
      } catch (...) {
        failure = std::current_exception();
      }
      done.release();
    });
    done.acquire();
    if (failure) std::rethrow_exception(failure);
    return R(std::move(*result));
  }
}

// The shared error slot and stop flag of one parallel loop.
class FirstError {
 public:
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
  void record(TarnwickError error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_.emplace(std::move(error));
    stopped_.store(true, std::memory_order_relaxed);
  }
  Result<void> take() {
    if (error_) return Err(std::move(*error_));
    return {};
  }

 private:
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::optional<TarnwickError> error_;  // guarded by mutex_
};

// Calls body(i) for every i in [0, n) as separate tasks on the pool.
// Returns the first error recorded; once one is recorded, tasks that have
// not started are skipped. body returns Result<void>.
template <class Body>
Result<void> parallel_for(std::size_t n, Body&& body) {
  if (n == 0) return {};
  FirstError first;
  auto run_one = [&](std::size_t i) {
    if (first.stopped()) return;
    try {
      Result<void> result = body(i);
      if (!result) first.record(std::move(result).error());
    } catch (const std::bad_alloc&) {
      first.record(TarnwickError::io(ENOMEM));
    }
  };
  if (n == 1) {
    run_one(0);
    return first.take();
  }
  run_in_pool([&] {
    oneapi::tbb::parallel_for(
        oneapi::tbb::blocked_range<std::size_t>(0, n, 1),
        [&](const oneapi::tbb::blocked_range<std::size_t>& range) {
          for (std::size_t i = range.begin(); i != range.end(); ++i) run_one(i);
        },
        oneapi::tbb::simple_partitioner());
  });
  return first.take();
}

// Like parallel_for, but body(i) returns Result<T>; the values come back in
// input order.
template <class T, class Body>
Result<std::vector<T>> parallel_map(std::size_t n, Body&& body) {
  std::vector<std::optional<T>> slots(n);
  TRY_VOID(parallel_for(n, [&](std::size_t i) -> Result<void> {
    TRY(T value, body(i));
    slots[i].emplace(std::move(value));
    return {};
  }));
  std::vector<T> values;
  values.reserve(n);
  for (auto& slot : slots) values.push_back(std::move(*slot));
  return values;
}

}  // namespace tarnwick
