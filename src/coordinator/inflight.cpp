#include "coordinator/inflight.h"

namespace tarnwick {

PinGuard::PinGuard(std::shared_ptr<InFlight> inflight, std::vector<Uuid> ids)
    : inflight_(std::move(inflight)), ids_(std::move(ids)) {}

PinGuard::~PinGuard() {
  if (inflight_) inflight_->release_pins(ids_);
}

ClaimGuard::ClaimGuard(std::shared_ptr<InFlight> inflight, std::vector<Uuid> ids)
    : inflight_(std::move(inflight)), ids_(std::move(ids)) {}

ClaimGuard::~ClaimGuard() {
  if (inflight_) inflight_->release_claim(ids_);
}

PinGuard InFlight::pin(std::vector<Uuid> ids) {
  {
    std::lock_guard lock(mutex_);
    for (const Uuid& id : ids) ++pins_[id];
  }
  return PinGuard(shared_from_this(), std::move(ids));
}

std::optional<ClaimGuard> InFlight::claim(std::vector<Uuid> ids) {
  {
    std::lock_guard lock(mutex_);
    if (any_pinned(ids)) return std::nullopt;
    for (const Uuid& id : ids) doomed_.insert(id);
  }
  return ClaimGuard(shared_from_this(), std::move(ids));
}

bool InFlight::is_doomed(const Uuid& id) {
  std::lock_guard lock(mutex_);
  return doomed_.contains(id);
}

std::uint64_t InFlight::pin_count(const Uuid& id) {
  std::lock_guard lock(mutex_);
  const auto it = pins_.find(id);
  return it == pins_.end() ? 0 : it->second;
}

bool InFlight::wait_unpinned(const std::vector<Uuid>& ids,
                             std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return released_.wait_until(lock, deadline, [&] { return !any_pinned(ids); });
}

bool InFlight::any_pinned(const std::vector<Uuid>& ids) const {
  for (const Uuid& id : ids) {
    if (pins_.contains(id)) return true;
  }
  return false;
}

void InFlight::release_pins(const std::vector<Uuid>& ids) {
  {
    std::lock_guard lock(mutex_);
    for (const Uuid& id : ids) {
      const auto it = pins_.find(id);
      if (it == pins_.end()) continue;
      if (it->second >= 2) {
        --it->second;
      } else {
        pins_.erase(it);
      }
    }
  }
  released_.notify_all();
}

void InFlight::release_claim(const std::vector<Uuid>& ids) {
  std::lock_guard lock(mutex_);
  for (const Uuid& id : ids) doomed_.erase(id);
}

}  // namespace tarnwick
