#pragma once

#include <string_view>

namespace tarnwick {

// Names the calling thread. Linux keeps 15 bytes of a name and refuses
// longer ones, so only the first 15 are set.
void set_current_thread_name(std::string_view name);

}  // namespace tarnwick
