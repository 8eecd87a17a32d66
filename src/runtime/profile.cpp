#include "runtime/profile.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/pool.h"

namespace tarnwick {
namespace {

constexpr std::array<std::string_view, kPhaseCount> kPhaseNames = {
    "dedup hash",      "raw hash",   "sample prefix", "pays_off probe", "base decompress",
    "xor delta",       "shuffle",    "compress delta", "compress full", "pack write",
};

std::array<std::atomic<std::uint64_t>, kPhaseCount> g_nanos{};
std::array<std::atomic<std::uint64_t>, kPhaseCount> g_calls{};
std::atomic<bool> g_header_shown{false};

constexpr std::string_view kPrefix = "[tarnwick profile] ";

void append_format(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void append_format(std::string& out, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) out.append(line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1));
}

void write_stderr(const std::string& text) {
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace

std::string_view phase_name(Phase phase) {
  return kPhaseNames[static_cast<std::size_t>(phase)];
}

bool profile_flag_value(const char* value) {
  return value != nullptr && (std::strcmp(value, "1") == 0 || std::strcmp(value, "true") == 0);
}

bool profiling_enabled() {
  static const bool enabled = profile_flag_value(std::getenv("TARNWICK_PROFILE"));
  return enabled;
}

void record_phase(Phase phase, std::uint64_t nanos) {
  const auto index = static_cast<std::size_t>(phase);
  g_nanos[index].fetch_add(nanos);
  g_calls[index].fetch_add(1);
}

std::uint64_t PhaseTotals::total_nanos() const {
  std::uint64_t total = 0;
  for (const std::uint64_t n : nanos) total += n;
  return total;
}

PhaseTotals take_phase_totals() {
  PhaseTotals totals;
  for (std::size_t i = 0; i < kPhaseCount; ++i) {
    totals.nanos[i] = g_nanos[i].exchange(0);
    totals.calls[i] = g_calls[i].exchange(0);
  }
  return totals;
}

std::string format_profile_header() {
  std::string out = "\n";
  out += kPrefix;
  out += "phase totals are CPU time across the ";
  out += kPoolWord;
  out += " pool, so they sum to more than the wall time\n";
  return out;
}

std::string format_save_report(std::string_view label, std::chrono::nanoseconds wall,
                               std::uint64_t raw_bytes, const PhaseTotals& totals) {
  const double seconds = wall.count() > 0 ? static_cast<double>(wall.count()) / 1e9 : 0.0;
  const double raw = static_cast<double>(raw_bytes);
  std::string out = "\n";
  out += kPrefix;
  out += label;
  append_format(out, ": %.0f ms wall, %.2f GiB raw (", seconds * 1e3, raw / 1073741824.0);
  if (seconds > 0) {
    append_format(out, "%.2f GB/s)\n", raw / seconds / 1e9);
  } else {
    out += "inf GB/s)\n";
  }
  const std::uint64_t total = totals.total_nanos();
  for (std::size_t i = 0; i < kPhaseCount; ++i) {
    if (totals.calls[i] == 0) continue;
    const double share = total == 0 ? 0.0 : static_cast<double>(totals.nanos[i]) / total * 100.0;
    append_format(out, "  %-18.*s%9.0f ms  %5.1f%%  %5llu calls\n",
                  static_cast<int>(kPhaseNames[i].size()), kPhaseNames[i].data(),
                  static_cast<double>(totals.nanos[i]) / 1e6, share,
                  static_cast<unsigned long long>(totals.calls[i]));
  }
  append_format(out, "  %-18s%9.0f ms\n", "total CPU", static_cast<double>(total) / 1e6);
  return out;
}

std::string format_wait_line(std::chrono::nanoseconds waited) {
  if (waited < std::chrono::milliseconds(1)) return {};
  std::string out(kPrefix);
  append_format(out,
                "save waited %.0f ms for the previous one to drain (caller blocked, before any "
                "work started)\n",
                static_cast<double>(waited.count()) / 1e6);
  return out;
}

void print_save_report(std::string_view label, std::chrono::nanoseconds wall,
                       std::uint64_t raw_bytes) {
  if (!profiling_enabled()) return;
  std::string out;
  if (!g_header_shown.exchange(true)) out = format_profile_header();
  // The total is the sum of the values taken, so the shares always add up
  // to 100% even while other saves keep adding to the counters.
  out += format_save_report(label, wall, raw_bytes, take_phase_totals());
  write_stderr(out);
}

void print_wait_line(std::chrono::nanoseconds waited) {
  if (!profiling_enabled()) return;
  write_stderr(format_wait_line(waited));
}

}  // namespace tarnwick
