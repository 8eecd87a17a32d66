#include "runtime/profile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace tarnwick {
namespace {

TEST(Profile, OnlyOneAndLowerCaseTrueTurnItOn) {
  struct Case {
    const char* value;
    bool on;
  };
  const Case cases[] = {{nullptr, false}, {"", false},   {"0", false},   {"yes", false},
                        {"TRUE", false},  {"1 ", false}, {"\xff", false}, {"1", true},
                        {"true", true}};
  for (const Case& c : cases) {
    EXPECT_EQ(profile_flag_value(c.value), c.on) << (c.value ? c.value : "unset");
  }
}

TEST(Profile, PhasesAreNamedInReportOrder) {
  EXPECT_EQ(phase_name(Phase::DedupHash), "dedup hash");
  EXPECT_EQ(phase_name(Phase::PaysOffProbe), "pays_off probe");
  EXPECT_EQ(phase_name(Phase::PackWrite), "pack write");
  EXPECT_EQ(static_cast<std::size_t>(Phase::PackWrite), kPhaseCount - 1);
}

TEST(Profile, TakingTheTotalsEmptiesThem) {
  take_phase_totals();
  record_phase(Phase::Shuffle, 5);
  record_phase(Phase::Shuffle, 7);
  record_phase(Phase::PackWrite, 1);
  PhaseTotals totals = take_phase_totals();
  EXPECT_EQ(totals.nanos[static_cast<std::size_t>(Phase::Shuffle)], 12u);
  EXPECT_EQ(totals.calls[static_cast<std::size_t>(Phase::Shuffle)], 2u);
  EXPECT_EQ(totals.calls[static_cast<std::size_t>(Phase::PackWrite)], 1u);
  EXPECT_EQ(totals.total_nanos(), 13u);
  EXPECT_EQ(take_phase_totals().total_nanos(), 0u);
}

TEST(Profile, TimedReturnsTheStepsResultAndCountsOnlyWhenEnabled) {
  take_phase_totals();
  std::unique_ptr<int> value = timed(Phase::RawHash, [] { return std::make_unique<int>(4); });
  int runs = 0;
  timed(Phase::RawHash, [&] { ++runs; });
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, 4);
  EXPECT_EQ(runs, 1);
  const std::uint64_t calls = take_phase_totals().calls[static_cast<std::size_t>(Phase::RawHash)];
  EXPECT_EQ(calls, profiling_enabled() ? 2u : 0u);
}

PhaseTotals totals_of(std::initializer_list<std::pair<Phase, std::uint64_t>> nanos_and_calls,
                      std::uint64_t calls = 1) {
  PhaseTotals totals;
  for (const auto& [phase, nanos] : nanos_and_calls) {
    totals.nanos[static_cast<std::size_t>(phase)] = nanos;
    totals.calls[static_cast<std::size_t>(phase)] = calls;
  }
  return totals;
}

TEST(Profile, HeaderNamesThePool) {
  EXPECT_EQ(format_profile_header(),
            "\n[tarnwick profile] phase totals are CPU time across the tbb pool, so they sum to "
            "more than the wall time\n");
}

TEST(Profile, ReportLinesUpPhasesAndSkipsIdleOnes) {
  using namespace std::chrono_literals;
  const PhaseTotals totals = totals_of(
      {{Phase::RawHash, 1'500'000}, {Phase::CompressFull, 12'345'678'901}, {Phase::PackWrite, 0}},
      64);
  EXPECT_EQ(format_save_report("step 7", 1'234'567'890ns, 1ull << 30, totals),
            "\n[tarnwick profile] step 7: 1235 ms wall, 1.00 GiB raw (0.87 GB/s)\n"
            "  raw hash                  2 ms    0.0%     64 calls\n"
            "  compress full         12346 ms  100.0%     64 calls\n"
            "  pack write                0 ms    0.0%     64 calls\n"
            "  total CPU             12347 ms\n");
}

TEST(Profile, IdleReportStillPrintsTheTotal) {
  EXPECT_EQ(format_save_report("step 0", std::chrono::nanoseconds(0), 0, PhaseTotals{}),
            "\n[tarnwick profile] step 0: 0 ms wall, 0.00 GiB raw (inf GB/s)\n"
            "  total CPU                 0 ms\n");
}

TEST(Profile, WaitLineFromOneMillisecondRounded) {
  using namespace std::chrono_literals;
  struct Case {
    std::chrono::nanoseconds waited;
    std::string line;
  };
  const std::string tail = " ms for the previous one to drain (caller blocked, before any work started)\n";
  const Case cases[] = {
      {0ns, ""},
      {400us, ""},
      {999'999ns, ""},
      {1ms, "[tarnwick profile] save waited 1" + tail},
      {12'600us, "[tarnwick profile] save waited 13" + tail},
      {2500ms, "[tarnwick profile] save waited 2500" + tail},
  };
  for (const Case& c : cases) EXPECT_EQ(format_wait_line(c.waited), c.line) << c.waited.count();
}

}  // namespace
}  // namespace tarnwick
