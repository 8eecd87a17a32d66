#include "format/error.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(TarnwickError, DisplaysEachKindWithItsPrefix) {
  struct Case {
    TarnwickError error;
    std::string text;
  };
  const Case cases[] = {
      {TarnwickError::io(2), "IO error: No such file or directory (os error 2)"},
      {TarnwickError::serialization("bad"), "Serialization error: bad"},
      {TarnwickError::compression("c"), "Compression error: c"},
      {TarnwickError::checkpoint_not_found("manifest.json"), "Checkpoint not found: manifest.json"},
      {TarnwickError::integrity_check("a", "b"), "Integrity check failed: expected a, got b"},
      {TarnwickError::delta(""), "Delta error: "},
      {TarnwickError::storage("s"), "Storage backend error: s"},
      {TarnwickError::invalid_config("x"), "Invalid configuration: x"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.display(), c.text);
}

Result<int> half(int x) {
  if (x % 2 != 0) return Err(TarnwickError::delta("odd"));
  return x / 2;
}

Result<int> quarter(int x) {
  TRY(int h, half(x));
  TRY(int q, half(h));
  return q;
}

TEST(TarnwickError, TryPropagatesTheFirstError) {
  EXPECT_EQ(*quarter(8), 2);
  EXPECT_EQ(quarter(6).error().display(), "Delta error: odd");
}

}  // namespace
}  // namespace tarnwick
