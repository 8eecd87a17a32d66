#include "storage/fsync_switch.h"

#include <cstdlib>
#include <string_view>

namespace tarnwick {

bool fsync_setting(const char* value) {
  if (value == nullptr) return true;
  const std::string_view text(value);
  return text != "0" && text != "false";
}

bool fsync_enabled() {
  static const bool enabled = fsync_setting(std::getenv("TARNWICK_FSYNC"));
  return enabled;
}

}  // namespace tarnwick
