// Atomic write of one object (start_put, then append and commit; put_parts
// is the same with all parts at hand):
//  1. target = root joined with the key; dir = its parent, or ".".
//  2. Record the missing directories from dir outwards.
//  3. If any are missing, create dir with all its missing ancestors.
//  4. Create a temporary file ".tmp" + 6 random letters or digits in dir,
//     exclusively, mode 0600.
//  5. Write the parts one after another (start_put ends here; append goes
//     on with it). With fsync on, the bytes bypass the page cache where the
//     filesystem allows it (see storage/file_appender.h).
//  6. commit: write the head over the first bytes, then pad with zero bytes
//     up to a multiple of the alignment.
//  7. With fsync on, fsync the file.
//  8. Rename it onto the target (on failure remove it: Storage error).
//  9. Close it.
// 10. With fsync on, best-effort: sync dir, then the parent of each
//     directory created in step 3, outermost first, so each new entry is
//     durable once the object is.
// A failure in 5-7, or a writer dropped before commit, removes the temporary file; the target only ever holds
// an old object or the whole new one. A crash may leave a ".tmp" file.

#include "storage/local_storage.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "storage/filesystem.h"
#include "storage/fsync_switch.h"
#include "storage/key_path.h"

namespace tarnwick {
namespace {

struct DirEntry {
  std::string name;
  unsigned char type;  // a DT_* value, DT_UNKNOWN when readdir did not say
};

// The entries of a directory, read whole so that no descriptor stays open
// while the walk descends. Unreadable directories read as empty.
std::vector<DirEntry> read_entries(const std::string& dir) {
  std::vector<DirEntry> entries;
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return entries;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    entries.push_back({std::string(name), entry->d_type});
  }
  ::closedir(stream);
  return entries;
}

unsigned char entry_type(const std::string& path, unsigned char reported) {
  if (reported != DT_UNKNOWN) return reported;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return DT_UNKNOWN;
  if (S_ISREG(st.st_mode)) return DT_REG;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  return DT_UNKNOWN;
}

// Depth first, each directory's entries before the next sibling.
void walk(const std::string& dir, const std::string& dir_key, std::vector<std::string>& keys) {
  for (const DirEntry& entry : read_entries(dir)) {
    const std::string path = join_path(dir, entry.name);
    std::string key = join_path(dir_key, lossy_utf8(entry.name));
    switch (entry_type(path, entry.type)) {
      case DT_REG: keys.push_back(std::move(key)); break;
      case DT_DIR: walk(path, key, keys); break;
      default: break;  // links, devices, sockets, fifos
    }
  }
}

TarnwickError not_found(std::string_view key) {
  return TarnwickError::checkpoint_not_found(std::string(key));
}

Result<Bytes> allocate(std::uint64_t size) {
  Bytes bytes;
  try {
    bytes.resize(size);
  } catch (const std::bad_alloc&) {
    return Err(TarnwickError::io(ENOMEM));
  } catch (const std::length_error&) {
    return Err(TarnwickError::io(ENOMEM));
  }
  return bytes;
}

Result<Bytes> read_up_to(int fd, std::uint64_t size) {
  TRY(Bytes bytes, allocate(size));
  TRY(const std::size_t got, read_full(fd, bytes));
  bytes.resize(got);
  return bytes;
}

}  // namespace

LocalStorage::LocalStorage(std::string root, std::uint64_t alignment)
    : root_(std::move(root)), alignment_(alignment) {}

bool LocalStorage::fsync_writes() const { return fsync_enabled(); }

Result<void> LocalStorage::sync_dir(const std::string& path) const {
  return ::tarnwick::sync_dir(path);
}

Result<void> LocalStorage::put(std::string_view key, ByteSpan data) {
  return put_parts(key, std::span<const ByteSpan>(&data, 1));
}

Result<void> LocalStorage::put_parts(std::string_view key, std::span<const ByteSpan> parts) {
  TRY(std::unique_ptr<ObjectWriter> writer, start_put(key));
  for (const ByteSpan& part : parts) TRY_VOID(writer->append(part));
  return writer->commit({});
}

Result<std::unique_ptr<ObjectWriter>> LocalStorage::start_put(std::string_view key) {
  TRY(KeyPath target, key_path(root_, key, KeyUse::Object));
  std::string dir = parent_path(target.path);
  if (dir.empty()) dir.push_back('.');

  std::vector<std::string> missing;  // innermost first
  for (std::string at = dir; !at.empty() && !path_exists(at); at = parent_path(at)) {
    missing.push_back(at);
  }
  if (!missing.empty()) TRY_VOID(create_directories(dir));

  TRY(TempFile temp, TempFile::create(dir));
  return std::unique_ptr<ObjectWriter>(std::make_unique<LocalObjectWriter>(
      *this, std::move(target.path), std::move(dir), std::move(missing), std::move(temp)));
}

LocalObjectWriter::LocalObjectWriter(const LocalStorage& storage, std::string target,
                                     std::string dir, std::vector<std::string> missing,
                                     TempFile temp)
    : storage_(storage),
      target_(std::move(target)),
      dir_(std::move(dir)),
      missing_(std::move(missing)),
      temp_(std::move(temp)),
      durable_(storage.fsync_writes()),
      // Only a write that must reach the device gains from skipping the
      // page cache; without fsync the cache absorbs it faster.
      appender_(temp_.fd(), durable_) {}

Result<void> LocalObjectWriter::append(ByteSpan bytes) { return appender_.append(bytes); }

Result<void> LocalObjectWriter::commit(ByteSpan head) {
  if (!head.empty()) TRY_VOID(appender_.overwrite_head(head));
  const std::uint64_t alignment = storage_.alignment();
  const std::uint64_t written = appender_.size();
  if (alignment != 0 && written % alignment != 0) {
    TRY_VOID(appender_.append_zeros(alignment - written % alignment));
  }
  TRY_VOID(appender_.finish());
  if (durable_) TRY_VOID(fsync_fd(temp_.fd()));
  TRY_VOID(temp_.persist(target_));
  temp_.close();

  if (durable_) {
    (void)storage_.sync_dir(dir_);
    for (auto created = missing_.rbegin(); created != missing_.rend(); ++created) {
      (void)storage_.sync_dir(parent_path(*created));
    }
  }
  return {};
}

Result<Bytes> LocalStorage::get(std::string_view key) {
  TRY(const KeyPath source, key_path(root_, key, KeyUse::Object));
  struct stat st;
  if (::stat(source.path.c_str(), &st) != 0) return Err(not_found(key));
  UniqueFd fd(::open(source.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Err(TarnwickError::io(errno));
  // Size from the open file: the path may have been replaced since stat.
  if (::fstat(fd.get(), &st) != 0) return Err(TarnwickError::io(errno));
  return read_up_to(fd.get(), static_cast<std::uint64_t>(st.st_size));
}

Result<Bytes> LocalStorage::get_range(std::string_view key, std::uint64_t offset,
                                      std::uint64_t length) {
  TRY(const KeyPath source, key_path(root_, key, KeyUse::Object));
  UniqueFd fd(::open(source.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return Err(not_found(key));
    return Err(TarnwickError::io(errno));
  }
  if (::lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
    return Err(TarnwickError::io(errno));
  }
  // The length often comes from a file header; allocating it unchecked
  // would let a damaged header ask for any amount of memory. Objects never
  // change once in place, so what remains of the file bounds the read.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Err(TarnwickError::io(errno));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t remaining = offset < size ? size - offset : 0;
  return read_up_to(fd.get(), std::min(length, remaining));
}

Result<bool> LocalStorage::exists(std::string_view key) {
  TRY(const KeyPath object, key_path(root_, key, KeyUse::Object));
  return path_exists(object.path);
}

Result<void> LocalStorage::remove(std::string_view key) {
  TRY(const KeyPath object, key_path(root_, key, KeyUse::Object));
  if (!path_exists(object.path)) return {};
  if (::unlink(object.path.c_str()) != 0) return Err(TarnwickError::io(errno));
  return {};
}

Result<void> LocalStorage::remove_dir(std::string_view key) {
  TRY(const KeyPath dir, key_path(root_, key, KeyUse::Object));
  struct stat st;
  // A directory that still holds entries stays: rmdir's refusal is the answer.
  if (::stat(dir.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) (void)::rmdir(dir.path.c_str());
  return {};
}

Result<std::vector<std::string>> LocalStorage::list(std::string_view prefix) {
  TRY(const KeyPath dir, key_path(root_, prefix, KeyUse::Prefix));
  std::vector<std::string> keys;
  try {
    struct stat st;
    if (::stat(dir.path.c_str(), &st) != 0) return keys;
    const std::string dir_key = lossy_utf8(dir.relative);
    if (S_ISREG(st.st_mode) && !dir_key.empty()) keys.push_back(dir_key);
    if (S_ISDIR(st.st_mode)) walk(dir.path, dir_key, keys);
  } catch (const std::bad_alloc&) {
    return Err(TarnwickError::io(ENOMEM));
  }
  return keys;
}

}  // namespace tarnwick
