#pragma once

#include <string>

#include "format/error.h"

namespace tarnwick {

// Creates path and all its missing ancestors with mode 0777 (before the
// umask). An existing directory is fine; anything else fails with Io.
Result<void> create_directories(const std::string& path);

}  // namespace tarnwick
