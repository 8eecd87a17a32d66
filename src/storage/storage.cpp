#include "storage/storage.h"

#include <cstring>
#include <cerrno>
#include <new>
#include <string>
#include <utility>

namespace tarnwick {

Result<void> StorageBackend::put_parts(std::string_view key, std::span<const ByteSpan> parts) {
  std::size_t total = 0;
  for (const ByteSpan& part : parts) total += part.size();
  Bytes joined;
  try {
    joined.resize(total);
  } catch (const std::bad_alloc&) {
    return Err(TarnwickError::io(ENOMEM));
  }
  std::size_t at = 0;
  for (const ByteSpan& part : parts) {
    if (!part.empty()) std::memcpy(joined.data() + at, part.data(), part.size());
    at += part.size();
  }
  return put(key, joined);
}

namespace {

class GatheringWriter : public ObjectWriter {
 public:
  GatheringWriter(StorageBackend& storage, std::string key) : storage_(storage), key_(std::move(key)) {}

  Result<void> append(ByteSpan bytes) override {
    try {
      bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
      return Err(TarnwickError::io(ENOMEM));
    }
    return {};
  }

  Result<void> commit(ByteSpan head) override {
    if (head.size() > bytes_.size()) {
      return Err(TarnwickError::storage("a head of " + std::to_string(head.size()) +
                                        " bytes cannot replace the start of an object of " +
                                        std::to_string(bytes_.size()) + " bytes"));
    }
    if (!head.empty()) std::memcpy(bytes_.data(), head.data(), head.size());
    const ByteSpan whole(bytes_);
    return storage_.put_parts(key_, std::span<const ByteSpan>(&whole, 1));
  }

 private:
  StorageBackend& storage_;
  std::string key_;
  Bytes bytes_;
};

}  // namespace

Result<std::unique_ptr<ObjectWriter>> StorageBackend::start_put(std::string_view key) {
  return std::unique_ptr<ObjectWriter>(std::make_unique<GatheringWriter>(*this, std::string(key)));
}

Result<void> StorageBackend::remove_dir(std::string_view) { return {}; }

}  // namespace tarnwick
