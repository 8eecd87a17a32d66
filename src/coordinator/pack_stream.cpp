#include "coordinator/pack_stream.h"

#include <array>
#include <system_error>
#include <utility>

#include "runtime/threads.h"

namespace tarnwick {

PackStream::PackStream(std::unique_ptr<ObjectWriter> writer, std::string key)
    : writer_(std::move(writer)), key_(std::move(key)) {}

Result<std::unique_ptr<PackStream>> PackStream::start(StorageBackend& storage, std::string key) {
  TRY(std::unique_ptr<ObjectWriter> writer, storage.start_put(key));
  static constexpr std::array<std::uint8_t, kPackHeaderSize> kPlaceholder{};
  TRY_VOID(writer->append(kPlaceholder));
  std::unique_ptr<PackStream> stream(new PackStream(std::move(writer), std::move(key)));
  try {
    stream->thread_ = std::thread([raw = stream.get()] {
      set_current_thread_name("tarnwick-writer");
      raw->write_in_order();
    });
  } catch (const std::system_error& error) {
    return Err(TarnwickError::io(error.code().value()));
  }
  return stream;
}

PackStream::~PackStream() {
  {
    std::lock_guard lock(mutex_);
    dropping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PackStream::write_in_order() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] {
      return dropping_ || waiting_.contains(next_) || (expected_ && next_ == *expected_);
    });
    if (dropping_ || !waiting_.contains(next_)) return;
    Bytes payload = std::move(waiting_.extract(next_).mapped());
    lock.unlock();
    Result<void> appended = writer_->append(payload);
    const std::uint64_t size = payload.size();
    Bytes().swap(payload);
    lock.lock();
    if (!appended) {
      error_ = std::move(appended.error());
      changed_.notify_all();
      return;
    }
    payload_bytes_ += size;
    ++next_;
    changed_.notify_all();
  }
}

Result<void> PackStream::deliver(std::size_t index, Bytes payload) {
  {
    std::lock_guard lock(mutex_);
    if (error_) return Err(*error_);
    try {
      waiting_.insert_or_assign(index, std::move(payload));
    } catch (const std::bad_alloc&) {
      return Err(TarnwickError::io(ENOMEM));
    }
  }
  changed_.notify_all();
  return {};
}

Result<PackLayout> PackStream::finish(PackDescriptor descriptor) {
  // Aliases come last and never deliver anything.
  std::size_t records = 0;
  for (const TensorEntry& record : descriptor.rank.tensors) records += record.storage != TensorStorage::Alias;
  std::uint64_t written = 0;
  {
    std::unique_lock lock(mutex_);
    expected_ = records;
    changed_.notify_all();
    changed_.wait(lock, [&] { return error_ || next_ >= records; });
    if (error_) return Err(*error_);
    written = payload_bytes_;
  }
  thread_.join();
  TRY(PackLayout layout, lay_out_pack(key_, std::move(descriptor)));
  if (layout.descriptor.rank.total_compressed != written) {
    return Err(TarnwickError::storage(key_ + ": " + std::to_string(written) +
                                      " payload bytes written for records of " +
                                      std::to_string(layout.descriptor.rank.total_compressed)));
  }
  TRY_VOID(writer_->append(layout.descriptor_bytes()));
  TRY_VOID(writer_->commit(layout.header));
  return layout;
}

}  // namespace tarnwick
