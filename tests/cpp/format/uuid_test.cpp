#include "format/uuid.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace tarnwick {
namespace {

constexpr std::string_view kCanonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(Uuid, ParsesEveryAcceptedForm) {
  const std::string_view forms[] = {
      "67e55044-10b1-426f-9247-bb680e5fe0c8",
      "67E55044-10B1-426F-9247-BB680E5FE0C8",
      "67e5504410b1426f9247bb680e5fe0c8",
      "67E5504410B1426F9247BB680E5FE0C8",
      "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
      "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
      "urn:uuid:67E55044-10B1-426F-9247-BB680E5FE0C8",
  };
  for (const std::string_view form : forms) {
    const auto id = Uuid::parse(form);
    ASSERT_TRUE(id.has_value()) << form << ": " << id.error().display();
    EXPECT_EQ(id->to_string(), kCanonical) << form;
  }
}

TEST(Uuid, RejectsMalformedTextWithADescription) {
  struct Case {
    std::string_view text;
    std::string_view message;
  };
  const Case cases[] = {
      {"", "invalid length: expected 32 hexadecimal digits or the 36-character hyphenated form, found 0 characters"},
      {"67e55044", "invalid length: expected 32 hexadecimal digits or the 36-character hyphenated form, found 8 characters"},
      {"67e5504410b1426f9247bb680e5fe0cz", "invalid character: expected [0-9a-fA-F], found `z` at 32"},
      {"67e55044-10b1-426f-9247", "invalid group count: expected 5, found 4"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c8-", "invalid group count: expected 5, found 6"},
      {"67e5504-410b1-426f-9247-bb680e5fe0c8", "invalid group length in group 1: expected 8, found 7"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c", "invalid group length in group 5: expected 12, found 11"},
      {"67e55044-10b1-426g-9247-bb680e5fe0c8", "invalid character: expected [0-9a-fA-F], found `g` at 18"},
      {"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0cx", "invalid character: expected [0-9a-fA-F], found `x` at 45"},
      {"67e55044-10b1-426f-9247-bb680e5fe0\xc3\xa9", "invalid character: expected [0-9a-fA-F], found `\xc3\xa9` at 35"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8", "invalid character: expected a closing `}` after a braced UUID"},
      {"{67e5504410b1426f9247bb680e5fe0c8}", "invalid group count: expected 5, found 1"},
  };
  for (const Case& c : cases) {
    const auto id = Uuid::parse(c.text);
    ASSERT_FALSE(id.has_value()) << c.text;
    EXPECT_EQ(id.error().kind(), TarnwickError::Kind::Serialization);
    EXPECT_EQ(id.error().text(), c.message) << c.text;
  }
}

TEST(Uuid, NewV4IsRandomVersion4WithTheRfcVariant) {
  std::unordered_set<Uuid> seen;
  for (int i = 0; i < 64; ++i) {
    const auto id = Uuid::new_v4();
    ASSERT_TRUE(id.has_value());
    const std::string text = id->to_string();
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string_view("89ab").find(text[19]), std::string_view::npos) << text;
    EXPECT_EQ(Uuid::parse(text), id);
    seen.insert(*id);
  }
  EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
}  // namespace tarnwick
