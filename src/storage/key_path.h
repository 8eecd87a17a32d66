#pragma once
// Confines store keys to the store directory. Keys come from data the
// store reads back (manifest entries, bucket listings), so a crafted one
// must not be able to read, overwrite or delete anything outside the root.
//
// A key is refused, with the Storage backend error
// "key '{key}' escapes the store root", when
//   1. it is absolute, or
//   2. any of its components is "..", even one that would stay inside, or
//   3. the part of its path that exists resolves, through symbolic links,
//      to a place outside the resolved root. So a link inside the store
//      that points outside it makes every key through it refused (to keep
//      data on another disk, make the root itself the link: the root is
//      resolved before comparing), while links that stay inside are fine.
// Empty and "." components are dropped. A key with a NUL byte is an IO
// error (invalid argument): no path can hold it.
//
// The check reads the filesystem at call time; it guards against crafted
// keys, not against someone swapping directories for links in the store
// concurrently (whoever can do that can write outside the store anyway).

#include <string>
#include <string_view>

#include "format/error.h"

namespace tarnwick {

enum class KeyUse {
  Object,  // names an object or directory inside the root, never the root
  Prefix,  // may also name the root itself (empty key)
};

struct KeyPath {
  std::string path;      // root joined with the normalised key
  std::string relative;  // the normalised key: components joined with "/"
};

Result<KeyPath> key_path(std::string_view root, std::string_view key, KeyUse use);

}  // namespace tarnwick
