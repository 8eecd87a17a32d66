#pragma once
// An in-memory StorageBackend for format tests. It records the parts of
// each put_parts call, so tests can see that payloads were handed over in
// place rather than joined. Its own namespace keeps it apart from other
// test doubles of the same name linked into the one test binary.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace tarnwick::format_test {

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
    const auto it = objects_.find(std::string(key));
    if (it == objects_.end()) return Err(TarnwickError::checkpoint_not_found(std::string(key)));
    return it->second;
  }

  Result<Bytes> get_range(std::string_view key, std::uint64_t offset, std::uint64_t length) override {
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(std::string(key));
    if (it == objects_.end()) return Err(TarnwickError::checkpoint_not_found(std::string(key)));
    const Bytes& data = it->second;
    if (offset >= data.size()) return Bytes{};
    const std::uint64_t end = offset + std::min<std::uint64_t>(length, data.size() - offset);
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset), data.begin() + static_cast<std::ptrdiff_t>(end));
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
    for (const auto& [key, data] : objects_) {
      if (key.starts_with(prefix)) keys.push_back(key);
    }
    return keys;
  }

  // Direct access for tests that damage or inspect objects.
  Bytes& object(const std::string& key) { return objects_.at(key); }
  const std::vector<ByteSpan>& last_parts() const { return last_parts_; }

 private:
  std::mutex mutex_;
  std::map<std::string, Bytes> objects_;  // guarded by mutex_
  std::vector<ByteSpan> last_parts_;      // guarded by mutex_
};

}  // namespace tarnwick::format_test
