#include "coordinator/inflight.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tarnwick {
namespace {

Uuid id_of(std::uint8_t n) {
  Uuid id;
  id.bytes[15] = n;
  return id;
}

TEST(InFlight, PinsCountAndBlockClaimsUntilAllAreReleased) {
  auto inflight = InFlight::create();
  const Uuid a = id_of(1);
  auto first = std::make_optional(inflight->pin({a}));
  auto second = std::make_optional(inflight->pin({a}));
  EXPECT_EQ(inflight->pin_count(a), 2u);
  first.reset();
  EXPECT_EQ(inflight->pin_count(a), 1u);
  EXPECT_FALSE(inflight->claim({a}));
  second.reset();
  EXPECT_EQ(inflight->pin_count(a), 0u);
  EXPECT_TRUE(inflight->claim({a}));
}

TEST(InFlight, FailedClaimChangesNothing) {
  auto inflight = InFlight::create();
  const Uuid a = id_of(1), b = id_of(2);
  const PinGuard pin = inflight->pin({b});
  EXPECT_FALSE(inflight->claim({a, b}));
  EXPECT_FALSE(inflight->is_doomed(a));
}

TEST(InFlight, ClaimedIdsAreDoomedUntilReleasedAndCanStillBePinned) {
  auto inflight = InFlight::create();
  const Uuid a = id_of(1);
  {
    auto claim = inflight->claim({a});
    ASSERT_TRUE(claim);
    EXPECT_TRUE(inflight->is_doomed(a));
    const PinGuard pin = inflight->pin({a});
    EXPECT_EQ(inflight->pin_count(a), 1u);
  }
  EXPECT_FALSE(inflight->is_doomed(a));
}

TEST(InFlight, DuplicateIdsInOnePinCountTwiceAndLeaveTogether) {
  auto inflight = InFlight::create();
  const Uuid a = id_of(1);
  {
    const PinGuard pin = inflight->pin({a, a});
    EXPECT_EQ(inflight->pin_count(a), 2u);
  }
  EXPECT_EQ(inflight->pin_count(a), 0u);
}

TEST(InFlight, ReleasingAPinWakesAWaiter) {
  auto inflight = InFlight::create();
  const Uuid a = id_of(1);
  auto pin = std::make_optional(inflight->pin({a}));
  std::atomic<bool> unpinned{false};
  std::thread waiter([&] {
    unpinned = inflight->wait_unpinned({a}, std::chrono::steady_clock::now() + std::chrono::seconds(30));
  });
  pin.reset();
  waiter.join();
  EXPECT_TRUE(unpinned.load());
  EXPECT_FALSE(inflight->wait_unpinned({a}, std::chrono::steady_clock::now()) == false);
}

}  // namespace
}  // namespace tarnwick
