#include "storage/filesystem.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(ParentPath, StepsUpOneComponent) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/c", "/a/b"}, {"/a", "/"}, {"/", ""}, {"a/b", "a"}, {"a", ""}, {"a/b/", "a"}, {"a//b", "a"},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_path(path), parent) << path;
}

TEST(LossyUtf8, ReplacesEachMaximalInvalidStretch) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      {"\xE2\x82", "\xEF\xBF\xBD"},                   // truncated three-byte sequence
      {"\xE2\x82" "x", "\xEF\xBF\xBD" "x"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},       // overlong
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  for (const auto& [text, lossy] : cases) EXPECT_EQ(lossy_utf8(text), lossy);
}

TEST(QuotedPath, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted_path("/a b/c"), "\"/a b/c\"");
  EXPECT_EQ(quoted_path("q\"\\\n\x01"), "\"q\\\"\\\\\\n\\u{1}\"");
}

}  // namespace
}  // namespace tarnwick
