#include "runtime/threads.h"

#include <pthread.h>

#include <string>

namespace tarnwick {

void set_current_thread_name(std::string_view name) {
  const std::string truncated(name.substr(0, 15));
  pthread_setname_np(pthread_self(), truncated.c_str());
}

}  // namespace tarnwick
