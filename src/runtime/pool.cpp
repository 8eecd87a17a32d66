#include "runtime/pool.h"

#include <sched.h>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_scheduler_observer.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#include "format/utf8.h"
#include "runtime/threads.h"

namespace tarnwick {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The value between double quotes with quotes, backslashes and control
// characters escaped.
std::string quoted(std::string_view value) {
  std::string out = "\"";
  for (const char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buffer[12];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
          out += buffer;
        } else {
          out.push_back(ch);
        }
    }
  }
  out += "\"";
  return out;
}

thread_local bool t_on_pool_worker = false;

// Names each worker after its slot in the arena when it enters it, and
// marks it as a pool worker while it stays.
class WorkerNamer : public oneapi::tbb::task_scheduler_observer {
 public:
  explicit WorkerNamer(oneapi::tbb::task_arena& arena) : task_scheduler_observer(arena) {
    observe(true);
  }
  void on_scheduler_entry(bool is_worker) override {
    if (!is_worker) return;
    t_on_pool_worker = true;
    const int index = oneapi::tbb::this_task_arena::current_thread_index();
    set_current_thread_name("tarnwick-" + std::string(kPoolWord) + "-" + std::to_string(index));
  }
  void on_scheduler_exit(bool is_worker) override {
    if (is_worker) t_on_pool_worker = false;
  }
};

// Lives until the process ends: workers may still be running when static
// destructors would otherwise tear the arena down.
struct Pool {
  oneapi::tbb::global_control* control = nullptr;
  oneapi::tbb::task_arena* arena = nullptr;
  WorkerNamer* namer = nullptr;
  std::size_t concurrency = 0;
};

Pool build_pool() {
  const std::size_t cores = available_hardware_threads();
  const auto local = positive_env("LOCAL_WORLD_SIZE");
  const auto forced = positive_env("TARNWICK_THREADS");
  const std::size_t size = pool_size_for(cores, local, forced);
  try {
    // oneTBB caps all workers at the hardware threads unless told
    // otherwise; a forced size above that must still get its workers. The
    // control and the arena live until the process ends.
    const std::size_t allowed = std::max(size + 1, cores);
    Pool pool;
    pool.control = new oneapi::tbb::global_control(
        oneapi::tbb::global_control::max_allowed_parallelism, allowed);
    pool.arena = new oneapi::tbb::task_arena(static_cast<int>(size), 0);
    pool.arena->initialize();
    pool.namer = new WorkerNamer(*pool.arena);
    pool.concurrency = size;
    return pool;
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "[Tarnwick] Could not build a private thread pool (%s); using oneTBB's shared "
                 "default arena instead\n",
                 e.what());
    return {};
  }
}

const Pool& the_pool() {
  static const Pool pool = build_pool();
  return pool;
}

}  // namespace

std::size_t available_hardware_threads() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : hw;
}

std::size_t pool_size_for(std::size_t cores, std::optional<std::uint64_t> local,
                          std::optional<std::uint64_t> forced) {
  cores = std::max<std::size_t>(cores, 1);
  std::uint64_t size = forced ? *forced : local ? cores / *local : cores;
  return size == 0 ? 1 : static_cast<std::size_t>(size);
}

std::optional<std::uint64_t> parse_positive_env(std::string_view name, const char* value,
                                                std::string* warning) {
  if (value == nullptr) return std::nullopt;
  const std::string_view raw(value);
  if (find_invalid_utf8(raw) != std::string_view::npos) return std::nullopt;
  std::string_view text = raw;
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  std::uint64_t parsed = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
  const bool is_digits = !digits.empty() && digits.front() != '-' && digits.front() != '+';
  if (is_digits && ec == std::errc() && end == digits.data() + digits.size() && parsed != 0) {
    return parsed;
  }
  if (warning != nullptr) {
    *warning = "[Tarnwick] Ignoring " + std::string(name) + "=" + quoted(raw) +
               ": expected a positive integer";
  }
  return std::nullopt;
}

std::optional<std::uint64_t> positive_env(const char* name) {
  std::string warning;
  const auto value = parse_positive_env(name, std::getenv(name), &warning);
  if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
  return value;
}

oneapi::tbb::task_arena* pool() { return the_pool().arena; }

bool on_pool_worker() { return t_on_pool_worker; }

std::size_t pool_concurrency() { return the_pool().concurrency; }

}  // namespace tarnwick
