#pragma once
// A storage backend that forwards to another one, except for chosen calls,
// which fail with a chosen error without reaching it. Fault-injection tests
// use it to fail, say, the second put of a save and check what is left.
// Safe to share between threads like any backend.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "storage/storage.h"

namespace tarnwick {

enum class StorageOp { Put, PutParts, Get, GetRange, Exists, Remove, RemoveDir, List };

class FaultyStorage : public StorageBackend {
 public:
  explicit FaultyStorage(std::shared_ptr<StorageBackend> inner) : inner_(std::move(inner)) {}

  // The nth call of op (1-based, counted from construction) fails.
  void fail_call(StorageOp op, std::uint64_t nth,
                 TarnwickError error = TarnwickError::storage("injected fault")) {
    std::lock_guard lock(mutex_);
    faults_.push_back({op, nth, false, std::move(error)});
  }

  // The nth call of op and every later one fail (a disk that died).
  void fail_from(StorageOp op, std::uint64_t nth,
                 TarnwickError error = TarnwickError::storage("injected fault")) {
    std::lock_guard lock(mutex_);
    faults_.push_back({op, nth, true, std::move(error)});
  }

  // Calls of op so far, failed ones included.
  std::uint64_t calls(StorageOp op) const {
    std::lock_guard lock(mutex_);
    return calls_[static_cast<std::size_t>(op)];
  }

  StorageBackend& inner() { return *inner_; }

  Result<void> put(std::string_view key, ByteSpan data) override {
    TRY_VOID(count(StorageOp::Put));
    return inner_->put(key, data);
  }
  Result<void> put_parts(std::string_view key, std::span<const ByteSpan> parts) override {
    TRY_VOID(count(StorageOp::PutParts));
    return inner_->put_parts(key, parts);
  }
  Result<Bytes> get(std::string_view key) override {
    TRY_VOID(count(StorageOp::Get));
    return inner_->get(key);
  }
  Result<Bytes> get_range(std::string_view key, std::uint64_t offset,
                          std::uint64_t length) override {
    TRY_VOID(count(StorageOp::GetRange));
    return inner_->get_range(key, offset, length);
  }
  Result<bool> exists(std::string_view key) override {
    TRY_VOID(count(StorageOp::Exists));
    return inner_->exists(key);
  }
  Result<void> remove(std::string_view key) override {
    TRY_VOID(count(StorageOp::Remove));
    return inner_->remove(key);
  }
  Result<void> remove_dir(std::string_view key) override {
    TRY_VOID(count(StorageOp::RemoveDir));
    return inner_->remove_dir(key);
  }
  Result<std::vector<std::string>> list(std::string_view prefix) override {
    TRY_VOID(count(StorageOp::List));
    return inner_->list(prefix);
  }

 private:
  struct Fault {
    StorageOp op;
    std::uint64_t nth;
    bool sticky;
    TarnwickError error;
  };

  // Counts one call of op; its fault, if one is due.
  Result<void> count(StorageOp op) {
    std::lock_guard lock(mutex_);
    const std::uint64_t call = ++calls_[static_cast<std::size_t>(op)];
    for (const Fault& fault : faults_) {
      if (fault.op == op && (call == fault.nth || (fault.sticky && call > fault.nth))) {
        return Err(fault.error);
      }
    }
    return {};
  }

  std::shared_ptr<StorageBackend> inner_;
  mutable std::mutex mutex_;
  std::array<std::uint64_t, 8> calls_{};  // guarded by mutex_
  std::vector<Fault> faults_;             // guarded by mutex_
};

}  // namespace tarnwick
