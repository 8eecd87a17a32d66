#include "storage/key_path.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include "storage/filesystem.h"

namespace tarnwick {
namespace {

TarnwickError escapes(std::string_view key) {
  return TarnwickError::storage("key '" + std::string(key) + "' escapes the store root");
}

std::optional<std::string> resolved(const std::string& path) {
  char* real = ::realpath(path.empty() ? "." : path.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string result(real);
  ::free(real);
  return result;
}

bool within(std::string_view path, std::string_view dir) {
  if (dir == "/") return true;
  return path == dir || (path.starts_with(dir) && path[dir.size()] == '/');
}

// Whether the deepest existing ancestor of root/relative (or the path
// itself) resolves inside the resolved root. Ancestors that do not exist
// cannot lead anywhere; one that exists but cannot be resolved (a link
// loop, no permission) stops the operation itself the same way.
bool resolves_within(std::string_view root, const std::string& relative) {
  const std::optional<std::string> real_root = resolved(std::string(root));
  if (!real_root) return true;  // a root that is not there holds nothing
  for (std::size_t end = relative.size(); end != std::string::npos && end > 0;
       end = relative.rfind('/', end - 1)) {
    if (const auto real = resolved(join_path(root, relative.substr(0, end)))) {
      return within(*real, *real_root);
    }
  }
  return true;
}

}  // namespace

Result<KeyPath> key_path(std::string_view root, std::string_view key, KeyUse use) {
  if (key.find('\0') != std::string_view::npos) return Err(TarnwickError::io(EINVAL));
  if (key.starts_with('/')) return Err(escapes(key));
  std::string relative;
  for (std::size_t start = 0; start <= key.size();) {
    std::size_t end = key.find('/', start);
    if (end == std::string_view::npos) end = key.size();
    const std::string_view component = key.substr(start, end - start);
    if (component == "..") return Err(escapes(key));
    if (!component.empty() && component != ".") {
      if (!relative.empty()) relative += '/';
      relative += component;
    }
    start = end + 1;
  }
  if (relative.empty()) {
    if (use == KeyUse::Object) return Err(escapes(key));
    return KeyPath{std::string(root), relative};
  }
  if (!resolves_within(root, relative)) return Err(escapes(key));
  return KeyPath{join_path(root, relative), std::move(relative)};
}

}  // namespace tarnwick
