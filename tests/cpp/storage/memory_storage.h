#pragma once
// A storage backend in memory, for tests of the layers above storage. It
// counts reads, so tests can tell which objects a pipeline touched, and
// keeps the parts of the last put_parts, so they can see that payloads were
// handed over in place rather than joined.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace tarnwick {

class MemoryStorage : public StorageBackend {
 public:
  Result<void> put(std::string_view key, ByteSpan data) override {
    std::lock_guard lock(mutex_);
    objects_[std::string(key)] = bytes_of(data);
    return {};
  }

  Result<void> put_parts(std::string_view key, std::span<const ByteSpan> parts) override {
    {
      std::lock_guard lock(mutex_);
      last_parts_.assign(parts.begin(), parts.end());
    }
    return StorageBackend::put_parts(key, parts);
  }

  Result<Bytes> get(std::string_view key) override {
    std::lock_guard lock(mutex_);
    ++reads_;
    auto found = objects_.find(std::string(key));
    if (found == objects_.end()) return Err(TarnwickError::checkpoint_not_found(std::string(key)));
    return found->second;
  }

  Result<Bytes> get_range(std::string_view key, std::uint64_t offset,
                          std::uint64_t length) override {
    std::lock_guard lock(mutex_);
    ++reads_;
    auto found = objects_.find(std::string(key));
    if (found == objects_.end()) return Err(TarnwickError::checkpoint_not_found(std::string(key)));
    const Bytes& object = found->second;
    if (offset >= object.size()) return Bytes{};
    const std::uint64_t end = offset + std::min<std::uint64_t>(length, object.size() - offset);
    return Bytes(object.begin() + offset, object.begin() + end);
  }

  Result<bool> exists(std::string_view key) override {
    std::lock_guard lock(mutex_);
    return objects_.contains(std::string(key));
  }

  Result<void> remove(std::string_view key) override {
    std::lock_guard lock(mutex_);
    objects_.erase(std::string(key));
    return {};
  }

  Result<std::vector<std::string>> list(std::string_view prefix) override {
    std::lock_guard lock(mutex_);
    std::vector<std::string> keys;
    for (const auto& [key, object] : objects_) {
      if (key.starts_with(prefix)) keys.push_back(key);
    }
    return keys;
  }

  // Reads (get and get_range) since construction.
  std::uint64_t reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
  }

  const std::vector<ByteSpan>& last_parts() const { return last_parts_; }

  // Direct access for tests that damage or inspect stored bytes.
  Bytes& object(const std::string& key) {
    std::lock_guard lock(mutex_);
    return objects_.at(key);
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Bytes> objects_;  // guarded by mutex_
  std::uint64_t reads_ = 0;               // guarded by mutex_
  std::vector<ByteSpan> last_parts_;      // guarded by mutex_
};

}  // namespace tarnwick
