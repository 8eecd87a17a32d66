#include "runtime/profile.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarnwick
