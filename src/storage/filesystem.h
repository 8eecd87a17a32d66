#pragma once
// Small POSIX file helpers shared by the local store: path text, whole
// reads and writes that survive partial and interrupted calls, syncs.

#include <string>
#include <string_view>

#include "format/bytes.h"
#include "format/error.h"

namespace tarnwick {

// Creates path and all its missing ancestors with mode 0777 (before the
// umask). An existing directory is fine; anything else fails with Io.
Result<void> create_directories(const std::string& path);

// Whether stat(path) succeeds (following symbolic links).
bool path_exists(const std::string& path);

// relative appended to base with one "/" between them; base alone when
// relative is empty, relative alone when base is.
std::string join_path(std::string_view base, std::string_view relative);

// The directory holding path: "/" for an entry of the filesystem root, ""
// for a relative path with one component or for "/" itself.
std::string parent_path(std::string_view path);

// path in double quotes, with quotes, backslashes and control characters
// escaped, as error texts show paths.
std::string quoted_path(std::string_view path);

// text as UTF-8, each invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view text);

// An owned file descriptor, closed when dropped.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  int release();
  void reset();

 private:
  int fd_;
};

// Writes all of data, continuing after partial writes and retrying
// interrupted ones.
Result<void> write_all(int fd, ByteSpan data);

// Writes count zero bytes.
Result<void> write_zeros(int fd, std::uint64_t count);

// Reads until out is full or the file ends; returns the bytes read.
Result<std::size_t> read_full(int fd, MutableByteSpan out);

// fsync(fd), retrying while interrupted.
Result<void> fsync_fd(int fd);

// Flushes a directory's entries to the device. A directory that cannot be
// opened is not an error (there is nothing of ours to flush); a failed
// fsync is.
Result<void> sync_dir(const std::string& path);

}  // namespace tarnwick
