#include "runtime/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace tarnwick {
namespace {

TEST(PoolSize, FollowsCoresLocalWorldSizeAndForcedThreads) {
  struct Case {
    std::size_t cores;
    std::optional<std::uint64_t> local, forced;
    std::size_t size;
  };
  const Case cases[] = {
      {32, std::nullopt, std::nullopt, 32},
      {32, 8, std::nullopt, 4},
      {32, 8, 6, 6},
      {32, 64, std::nullopt, 1},
      {2, std::nullopt, 12, 12},
      {0, std::nullopt, std::nullopt, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pool_size_for(c.cores, c.local, c.forced), c.size) << c.cores;
  }
}

TEST(PositiveEnv, AcceptsPositiveIntegersAndWarnsOtherwise) {
  struct Case {
    const char* value;
    std::optional<std::uint64_t> parsed;
    std::string warning;
  };
  const Case cases[] = {
      {nullptr, std::nullopt, ""},
      {"", std::nullopt, ""},
      {"   ", std::nullopt, ""},
      {"6", 6, ""},
      {" 12 ", 12, ""},
      {"+3", 3, ""},
      {"0", std::nullopt, "[Tarnwick] Ignoring TARNWICK_THREADS=\"0\": expected a positive integer"},
      {"-2", std::nullopt, "[Tarnwick] Ignoring TARNWICK_THREADS=\"-2\": expected a positive integer"},
      {"abc", std::nullopt, "[Tarnwick] Ignoring TARNWICK_THREADS=\"abc\": expected a positive integer"},
      {"99999999999999999999", std::nullopt,
       "[Tarnwick] Ignoring TARNWICK_THREADS=\"99999999999999999999\": expected a positive integer"},
      {"\"a\\\tb\" ", std::nullopt,
       "[Tarnwick] Ignoring TARNWICK_THREADS=\"\\\"a\\\\\\tb\\\" \": expected a positive integer"},
      {"\xff\xfe", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    std::string warning;
    EXPECT_EQ(parse_positive_env("TARNWICK_THREADS", c.value, &warning), c.parsed)
        << (c.value ? c.value : "(unset)");
    EXPECT_EQ(warning, c.warning);
  }
}

TEST(ParallelFor, KeepsInputOrderAndReturnsValues) {
  auto squares = parallel_map<std::size_t>(1000, [](std::size_t i) -> Result<std::size_t> {
    return i * i;
  });
  ASSERT_TRUE(squares);
  for (std::size_t i = 0; i < squares->size(); ++i) EXPECT_EQ((*squares)[i], i * i);
}

TEST(ParallelFor, KeepsTheFirstErrorAndSkipsTasksNotStarted) {
  std::atomic<std::size_t> ran{0};
  const auto result = parallel_for(100000, [&](std::size_t i) -> Result<void> {
    ran.fetch_add(1);
    if (i == 0) return Err(TarnwickError::delta("first"));
    return {};
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), "Delta error: first");
  EXPECT_LT(ran.load(), 100000u);
}

TEST(ParallelFor, NestedLoopsRunInPlace) {
  std::atomic<std::size_t> total{0};
  const auto result = parallel_for(8, [&](std::size_t) -> Result<void> {
    return parallel_for(8, [&](std::size_t) -> Result<void> {
      total.fetch_add(1);
      return {};
    });
  });
  EXPECT_TRUE(result);
  EXPECT_EQ(total.load(), 64u);
}

std::set<std::string> thread_names() {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.insert(name);
  }
  return names;
}

TEST(Pool, WorkersCarryTheirNamesWhileWorkRuns) {
  ASSERT_NE(pool(), nullptr);
  const std::size_t size = pool_concurrency();
  std::set<std::string> seen;
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    while (!done.load()) {
      for (const auto& name : thread_names()) seen.insert(name);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  (void)parallel_for(size * 4, [&](std::size_t) -> Result<void> {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return {};
  });
  done = true;
  watcher.join();
  std::size_t workers = 0;
  for (const auto& name : seen) {
    if (name.rfind("tarnwick-tbb-", 0) != 0) continue;
    ++workers;
    EXPECT_LT(std::stoul(name.substr(13)), size) << name;
  }
  EXPECT_GE(workers, 1u);
  // ctest also runs this test with TARNWICK_THREADS=12: a size above the
  // core count must really get that many workers.
  if (const char* forced = std::getenv("TARNWICK_THREADS")) {
    EXPECT_EQ(size, std::stoul(forced));
    EXPECT_EQ(workers, size);
  }
}

}  // namespace
}  // namespace tarnwick
