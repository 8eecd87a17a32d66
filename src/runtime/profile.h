#pragma once
// Process-wide save-phase counters. With TARNWICK_PROFILE set to "1" or
// "true", every timed step adds its duration and one call to its phase;
// otherwise timing costs one test of an initialised flag and never reads the
// clock. The counters are shared by every manager of the process and are
// emptied only by take_phase_totals, which the save report calls.
//
// Everything printed goes to stderr as one write per report, so the lines
// of a report never interleave with another thread's output.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwick {

enum class Phase : std::size_t {
  DedupHash,
  RawHash,
  SamplePrefix,
  PaysOffProbe,
  BaseDecompress,
  XorDelta,
  Shuffle,
  CompressDelta,
  CompressFull,
  PackWrite,
};
inline constexpr std::size_t kPhaseCount = 10;

// The name the report prints ("dedup hash", ..., "pack write").
std::string_view phase_name(Phase phase);

// Whether value (the content of TARNWICK_PROFILE, or null when unset) turns
// profiling on: exactly "1" or "true".
bool profile_flag_value(const char* value);

// Whether profiling is on; reads TARNWICK_PROFILE on the first call only.
bool profiling_enabled();

// Adds one call of nanos to the phase. Callers normally go through timed().
void record_phase(Phase phase, std::uint64_t nanos);

struct PhaseTotals {
  std::array<std::uint64_t, kPhaseCount> nanos{};
  std::array<std::uint64_t, kPhaseCount> calls{};

  std::uint64_t total_nanos() const;
};

// The counters since the last call, each phase's pair swapped with zero.
PhaseTotals take_phase_totals();

// The header printed before the first report of the process (starting
// with an empty line).
std::string format_profile_header();

// One save's report: an empty line, the wall time and throughput of the
// save, one aligned line per phase that had calls, and the total CPU time.
// A zero wall time prints the rate as inf.
std::string format_save_report(std::string_view label, std::chrono::nanoseconds wall,
                               std::uint64_t raw_bytes, const PhaseTotals& totals);

// The wait line, or an empty string for a wait shorter than 1 ms.
std::string format_wait_line(std::chrono::nanoseconds waited);

// With profiling on: the header if no report printed it yet, then the
// report of the phase counters since the last report, which are emptied.
// Called at the end of each successful single-rank save.
void print_save_report(std::string_view label, std::chrono::nanoseconds wall,
                       std::uint64_t raw_bytes);

// With profiling on, prints the wait line of a save_tensors call that waited
// at least 1 ms for the previous background save.
void print_wait_line(std::chrono::nanoseconds waited);

// Runs step() and returns its result; with profiling on, its duration is
// added to the phase. Safe on any thread.
template <class Step>
decltype(auto) timed(Phase phase, Step&& step) {
  if (!profiling_enabled()) return std::forward<Step>(step)();
  const auto start = std::chrono::steady_clock::now();
  struct Recorder {
    Phase phase;
    std::chrono::steady_clock::time_point start;
    ~Recorder() {
      const auto elapsed = std::chrono::steady_clock::now() - start;
      const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
      record_phase(phase, nanos > 0 ? static_cast<std::uint64_t>(nanos) : 0);
    }
  } recorder{phase, start};
  return std::forward<Step>(step)();
}

}  // namespace tarnwick
