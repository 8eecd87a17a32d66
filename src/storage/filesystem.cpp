#include "storage/filesystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "format/utf8.h"

namespace tarnwick {
namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Result<void> create_directories(const std::string& path) {
  if (path.empty()) return Err(TarnwickError::io(ENOENT));
  if (is_directory(path)) return {};
  // Create each ancestor in turn, from the outermost missing one inwards.
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0) {
      const int error = errno;
      if (error != EEXIST || (end == std::string::npos && !is_directory(prefix))) {
        return Err(TarnwickError::io(error));
      }
    }
    if (end == std::string::npos) break;
  }
  return {};
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string join_path(std::string_view base, std::string_view relative) {
  if (relative.empty()) return std::string(base);
  if (base.empty()) return std::string(relative);
  std::string path(base);
  if (path.back() != '/') path += '/';
  path += relative;
  return path;
}

std::string parent_path(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "";
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  return parent.empty() ? "/" : std::string(parent);
}

std::string quoted_path(std::string_view path) {
  std::string out = "\"";
  for (const char c : path) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escaped[12];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string lossy_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Utf8Sequence sequence = utf8_sequence_at(text, at);
    if (sequence.valid) {
      out.append(text.substr(at, sequence.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    at += sequence.length;
  }
  return out;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() { return std::exchange(fd_, -1); }

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<void> write_all(int fd, ByteSpan data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return Err(TarnwickError::io(errno));
    }
    if (written == 0) return Err(TarnwickError::io(EIO));
    data = data.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

Result<void> write_zeros(int fd, std::uint64_t count) {
  static constexpr std::uint8_t kZeros[4096] = {};
  while (count > 0) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof kZeros));
    TRY_VOID(write_all(fd, ByteSpan(kZeros, chunk)));
    count -= chunk;
  }
  return {};
}

Result<std::size_t> read_full(int fd, MutableByteSpan out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Err(TarnwickError::io(errno));
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

Result<void> fsync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Err(TarnwickError::io(errno));
  }
  return {};
}

Result<void> sync_dir(const std::string& path) {
  UniqueFd dir(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (dir.get() < 0) return {};
  return fsync_fd(dir.get());
}

}  // namespace tarnwick
