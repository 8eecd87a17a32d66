#include "storage/file_appender.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "storage/filesystem.h"

namespace tarnwick {

FileAppender::FileAppender(int fd, bool direct) : fd_(fd), direct_(false) {
  if (!direct) return;
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_DIRECT) != 0) return;
  try {
    stage_.resize(kStageBytes);
  } catch (const std::bad_alloc&) {
    stop_direct();
    return;
  }
  direct_ = true;
}

void FileAppender::stop_direct() {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_DIRECT);
}

Result<void> FileAppender::write_at(ByteSpan data, std::uint64_t offset) {
  while (!data.empty()) {
    const ssize_t wrote = ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL && direct_) {
        // Some filesystems accept the flag and refuse the writes.
        stop_direct();
        direct_ = false;
        continue;
      }
      return Err(TarnwickError::io(errno));
    }
    if (wrote == 0) return Err(TarnwickError::io(EIO));
    data = data.subspan(static_cast<std::size_t>(wrote));
    offset += static_cast<std::uint64_t>(wrote);
  }
  return {};
}

Result<void> FileAppender::flush_stage() {
  TRY_VOID(write_at(ByteSpan(stage_.data(), staged_), written_));
  written_ += staged_;
  staged_ = 0;
  return {};
}

Result<void> FileAppender::append(ByteSpan bytes) {
  if (bytes.empty()) return {};  // its data() may be null, which memcpy must not see
  if (size_ < kBlockBytes) {
    const std::size_t head = std::min<std::size_t>(bytes.size(), kBlockBytes - size_);
    std::memcpy(first_block_.data() + size_, bytes.data(), head);
  }
  if (!stage_.empty()) {
    // A direct write that was refused turned direct_ off: staging goes on,
    // the writes go through the page cache.
    while (!bytes.empty()) {
      const std::size_t take = std::min(bytes.size(), kStageBytes - staged_);
      std::memcpy(stage_.data() + staged_, bytes.data(), take);
      staged_ += take;
      size_ += take;
      bytes = bytes.subspan(take);
      if (staged_ == kStageBytes) TRY_VOID(flush_stage());
    }
    return {};
  }
  TRY_VOID(write_all(fd_, bytes));
  size_ += bytes.size();
  return {};
}

Result<void> FileAppender::append_zeros(std::uint64_t count) {
  static constexpr std::uint8_t kZeros[kBlockBytes] = {};
  while (count > 0) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof kZeros));
    TRY_VOID(append(ByteSpan(kZeros, chunk)));
    count -= chunk;
  }
  return {};
}

Result<void> FileAppender::overwrite_head(ByteSpan head) {
  if (head.size() > kBlockBytes || head.size() > size_) {
    return Err(TarnwickError::storage("a head of " + std::to_string(head.size()) +
                                      " bytes cannot replace the start of an object of " +
                                      std::to_string(size_) + " bytes"));
  }
  std::memcpy(first_block_.data(), head.data(), head.size());
  if (stage_.empty()) return write_at(head, 0);
  if (written_ == 0) {
    std::memcpy(stage_.data(), head.data(), head.size());
  } else {
    head_pending_ = true;
  }
  return {};
}

Result<void> FileAppender::finish() {
  if (stage_.empty()) return {};
  const std::size_t whole = staged_ / kBlockBytes * kBlockBytes;
  const std::size_t tail = staged_ - whole;
  TRY_VOID(write_at(ByteSpan(stage_.data(), whole), written_));
  written_ += whole;
  std::memmove(stage_.data(), stage_.data() + whole, tail);
  staged_ = tail;
  if (head_pending_) {
    // The first block went out long ago; write it again, whole, from an
    // aligned spot of the stage that the tail does not use.
    std::uint8_t* block = stage_.data() + kBlockBytes;
    std::memcpy(block, first_block_.data(), kBlockBytes);
    TRY_VOID(write_at(ByteSpan(block, kBlockBytes), 0));
    head_pending_ = false;
  }
  if (tail > 0) {
    if (direct_) {
      stop_direct();
      direct_ = false;
    }
    TRY_VOID(write_at(ByteSpan(stage_.data(), tail), written_));
    written_ += tail;
  }
  staged_ = 0;
  Bytes().swap(stage_);
  return {};
}

}  // namespace tarnwick
