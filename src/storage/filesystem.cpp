#include "storage/filesystem.h"

#include <cerrno>
#include <sys/stat.h>

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

}  // namespace tarnwick
