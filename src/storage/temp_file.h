#pragma once
// The temporary file an atomic write goes through: created beside its
// target under a fresh random name, renamed onto the target when complete,
// removed if it is dropped before that.

#include <string>
#include <string_view>
#include <utility>

#include "format/error.h"
#include "storage/filesystem.h"

namespace tarnwick {

inline constexpr std::string_view kTempFilePrefix = ".tmp";

// ".tmp" followed by 6 characters drawn independently and uniformly from
// the letters and digits.
std::string temp_file_name();

class TempFile {
 public:
  // Creates a file with a fresh temporary name in dir, exclusively, open
  // for reading and writing, mode 0600. A relative dir is taken against
  // the current directory. Names already taken are redrawn.
  static Result<TempFile> create(const std::string& dir);

  TempFile(TempFile&& other) noexcept
      : fd_(std::move(other.fd_)), path_(std::exchange(other.path_, {})) {}
  TempFile& operator=(TempFile&&) = delete;
  // Removes the file unless it was persisted, then closes it.
  ~TempFile();

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

  // Renames the file onto target, replacing what is there. On failure the
  // file is removed and the error is a Storage backend error.
  Result<void> persist(const std::string& target);

  void close() { fd_.reset(); }

 private:
  TempFile(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  UniqueFd fd_;
  std::string path_;  // empty once persisted or removed
};

}  // namespace tarnwick
