#include "storage/fsync_switch.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(FsyncSetting, OnlyExactZeroOrLowerCaseFalseTurnsItOff) {
  struct Case {
    const char* value;
    bool enabled;
  };
  const Case cases[] = {
      {nullptr, true}, {"0", false}, {"false", false}, {"False", true}, {"FALSE", true},
      {"off", true},   {"no", true}, {"", true},       {"1", true},     {" 0", true},
      {"false ", true}, {"00", true}, {"\xff", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fsync_setting(c.value), c.enabled) << (c.value ? c.value : "(unset)");
  }
}

}  // namespace
}  // namespace tarnwick
