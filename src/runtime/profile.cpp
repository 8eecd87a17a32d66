#include "runtime/profile.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace tarnwick {
namespace {

constexpr std::array<std::string_view, kPhaseCount> kPhaseNames = {
    "dedup hash",      "raw hash",   "sample prefix", "pays_off probe", "base decompress",
    "xor delta",       "shuffle",    "compress delta", "compress full", "pack write",
};

std::array<std::atomic<std::uint64_t>, kPhaseCount> g_nanos{};
std::array<std::atomic<std::uint64_t>, kPhaseCount> g_calls{};

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

}  // namespace tarnwick
