#pragma once
// The store on the local filesystem: one file per object under root, every
// write atomic, every object zero-padded to a multiple of the alignment.
// Keys that would reach outside root are refused (see storage/key_path.h).
// No mutable state: every operation may run concurrently from any thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/file_appender.h"
#include "storage/storage.h"
#include "storage/temp_file.h"

namespace tarnwick {

class LocalStorage : public StorageBackend {
 public:
  static constexpr std::uint64_t kAlignment = 4096;

  // alignment 0 writes objects unpadded.
  explicit LocalStorage(std::string root, std::uint64_t alignment = kAlignment);

  const std::string& root() const { return root_; }
  std::uint64_t alignment() const { return alignment_; }

  Result<void> put(std::string_view key, ByteSpan data) override;
  // Streams the parts to the file one after another, never joined.
  Result<void> put_parts(std::string_view key, std::span<const ByteSpan> parts) override;
  // Creates the key's missing directories and its temporary file now; the
  // bytes go to the file as they are appended.
  Result<std::unique_ptr<ObjectWriter>> start_put(std::string_view key) override;
  // The whole file, padding included. A path that cannot be stat'ed is
  // Checkpoint not found with the key as text.
  Result<Bytes> get(std::string_view key) override;
  Result<Bytes> get_range(std::string_view key, std::uint64_t offset,
                          std::uint64_t length) override;
  // Whether the path can be stat'ed, following links.
  Result<bool> exists(std::string_view key) override;
  Result<void> remove(std::string_view key) override;
  // Removes the directory if it is empty; otherwise, or if it is missing or
  // not a directory, leaves it alone and still succeeds.
  Result<void> remove_dir(std::string_view key) override;
  // Regular files under prefix (symbolic links below it not followed), in
  // depth-first walk order, each as its key relative to root. Temporary
  // files of interrupted writes are listed too.
  Result<std::vector<std::string>> list(std::string_view prefix) override;

 protected:
  // Whether writes are flushed to the device: the process-wide switch.
  virtual bool fsync_writes() const;
  // Flushes one directory's entries; a write calls it best-effort, in the
  // order its protocol fixes.
  virtual Result<void> sync_dir(const std::string& path) const;

 private:
  friend class LocalObjectWriter;

  std::string root_;
  std::uint64_t alignment_;
};

// An object of a LocalStorage on its way: its temporary file, written as
// bytes are appended, renamed onto the key at commit.
class LocalObjectWriter : public ObjectWriter {
 public:
  LocalObjectWriter(const LocalStorage& storage, std::string target, std::string dir,
                    std::vector<std::string> missing, TempFile temp);

  Result<void> append(ByteSpan bytes) override;
  Result<void> commit(ByteSpan head) override;

 private:
  const LocalStorage& storage_;
  std::string target_;                // the object's path
  std::string dir_;                   // its directory
  std::vector<std::string> missing_;  // directories start_put created, innermost first
  TempFile temp_;
  bool durable_;
  FileAppender appender_;
};

}  // namespace tarnwick
