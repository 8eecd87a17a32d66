#pragma once
// The object-store interface every byte the system keeps goes through.
// Keys are relative paths with "/" separators. A missing object is always a
// Checkpoint not found error whose text is the key: opening a store relies
// on that to tell a new store from a broken one. Implementations are shared
// by several threads at once and must be safe to call concurrently.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/bytes.h"
#include "format/error.h"

namespace tarnwick {

// One object written piece by piece. Nothing appears under its key until
// commit succeeds; a writer dropped before that leaves no trace of it.
// Used by one thread at a time.
class ObjectWriter {
 public:
  virtual ~ObjectWriter() = default;

  virtual Result<void> append(ByteSpan bytes) = 0;

  // Replaces the first head.size() bytes appended (at most 4096, already
  // appended) with head, then stores the object under its key as put_parts
  // would, replacing any object there. Call at most once.
  virtual Result<void> commit(ByteSpan head) = 0;
};

class StorageBackend {
 public:
  virtual ~StorageBackend() = default;

  // Writes one object whose content is data.
  virtual Result<void> put(std::string_view key, ByteSpan data) = 0;

  // Writes one object whose content is the parts concatenated in order. The
  // default joins them into one buffer and calls put.
  virtual Result<void> put_parts(std::string_view key, std::span<const ByteSpan> parts);

  // Starts an object whose bytes are not all at hand yet. The default
  // gathers them in memory and stores them with put_parts at commit.
  virtual Result<std::unique_ptr<ObjectWriter>> start_put(std::string_view key);

  // The whole object.
  virtual Result<Bytes> get(std::string_view key) = 0;

  // At most length bytes from offset; fewer (possibly none) when the object
  // ends first.
  virtual Result<Bytes> get_range(std::string_view key, std::uint64_t offset,
                                  std::uint64_t length) = 0;

  virtual Result<bool> exists(std::string_view key) = 0;

  // Deletes an object; deleting a missing one succeeds.
  virtual Result<void> remove(std::string_view key) = 0;

  // Removes an empty directory-like prefix. The default does nothing.
  virtual Result<void> remove_dir(std::string_view key);

  // Every key under prefix, relative to the store (not to the prefix).
  virtual Result<std::vector<std::string>> list(std::string_view prefix) = 0;
};

}  // namespace tarnwick
