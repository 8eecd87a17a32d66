#pragma once
// The registry that keeps readers and deleters of snapshots apart without
// making readers wait: readers pin ids (never blocks, never fails);
// deleters claim ids (fails at once if any is pinned), and claimed ids are
// doomed so no new delta is built on them. Deleters that only need readers
// gone wait on released(), which every pin release signals.
//
// Lock order: the manifest lock first, then this registry's lock.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "format/uuid.h"

namespace tarnwick {

class InFlight;

// Releases its pins when dropped.
class PinGuard {
 public:
  PinGuard(std::shared_ptr<InFlight> inflight, std::vector<Uuid> ids);
  PinGuard(PinGuard&&) noexcept = default;
  PinGuard& operator=(PinGuard&&) noexcept = default;
  PinGuard(const PinGuard&) = delete;
  PinGuard& operator=(const PinGuard&) = delete;
  ~PinGuard();

 private:
  std::shared_ptr<InFlight> inflight_;
  std::vector<Uuid> ids_;
};

// Releases its claim (the ids stop being doomed) when dropped.
class ClaimGuard {
 public:
  ClaimGuard(std::shared_ptr<InFlight> inflight, std::vector<Uuid> ids);
  ClaimGuard(ClaimGuard&&) noexcept = default;
  ClaimGuard& operator=(ClaimGuard&&) noexcept = default;
  ClaimGuard(const ClaimGuard&) = delete;
  ClaimGuard& operator=(const ClaimGuard&) = delete;
  ~ClaimGuard();

 private:
  std::shared_ptr<InFlight> inflight_;
  std::vector<Uuid> ids_;
};

class InFlight : public std::enable_shared_from_this<InFlight> {
 public:
  static std::shared_ptr<InFlight> create() { return std::shared_ptr<InFlight>(new InFlight()); }

  // Counts each id once more (duplicates count twice). Doomed ids can be
  // pinned too.
  PinGuard pin(std::vector<Uuid> ids);
  // None when any of the ids is pinned; nothing changes then.
  std::optional<ClaimGuard> claim(std::vector<Uuid> ids);
  bool is_doomed(const Uuid& id);
  std::uint64_t pin_count(const Uuid& id);

  // Waits until none of ids is pinned or the deadline passes; true when
  // none is pinned.
  bool wait_unpinned(const std::vector<Uuid>& ids, std::chrono::steady_clock::time_point deadline);

 private:
  friend class PinGuard;
  friend class ClaimGuard;
  InFlight() = default;
  void release_pins(const std::vector<Uuid>& ids);
  void release_claim(const std::vector<Uuid>& ids);
  bool any_pinned(const std::vector<Uuid>& ids) const;  // mutex_ held

  std::mutex mutex_;
  std::condition_variable released_;                // signalled on every pin release
  std::unordered_map<Uuid, std::uint64_t> pins_;    // guarded by mutex_; counts >= 1
  std::unordered_set<Uuid> doomed_;                 // guarded by mutex_
};

}  // namespace tarnwick
