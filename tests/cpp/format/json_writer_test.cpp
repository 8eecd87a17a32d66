#include "format/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tarnwick {
namespace {

std::string compact_string(std::string_view text) {
  JsonWriter out(JsonWriter::Layout::Compact);
  out.string(text);
  return *std::move(out).finish();
}

std::string compact_float(float value) {
  JsonWriter out(JsonWriter::Layout::Compact);
  out.number(value);
  return *std::move(out).finish();
}

TEST(JsonWriter, EscapesOnlyWhatJsonRequires) {
  struct Case {
    std::string_view text;
    std::string_view json;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string_view("\x00\x01\x0b\x1f", 4), R"("\u0000\u0001\u000b\u001f")"},
      {"/ \x7f", "\"/ \x7f\""},
      {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80\""},
  };
  for (const Case& c : cases) EXPECT_EQ(compact_string(c.text), c.json);
}

TEST(JsonWriter, RefusesTextThatIsNotUtf8) {
  for (const std::string_view bad : {"\xff", "ab\xc3", "\xed\xa0\x80", "\xc0\xaf"}) {
    JsonWriter out(JsonWriter::Layout::Compact);
    out.begin_object();
    out.key("k");
    out.string(bad);
    out.end_object();
    const auto text = std::move(out).finish();
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error().kind(), TarnwickError::Kind::Serialization);
  }
}

TEST(JsonWriter, WritesTheShortestFloatThatReadsBack) {
  struct Case {
    float value;
    std::string_view json;
  };
  const Case cases[] = {
      {0.1f, "0.1"},
      {1.0f, "1.0"},
      {-0.0f, "-0.0"},
      {0.0078125f, "0.0078125"},
      {1e-5f, "1e-5"},
      {1e20f, "1e20"},
      {123456792.0f, "123456792.0"},
      {std::numeric_limits<float>::max(), "3.4028235e38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::nanf(""), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
      {-std::numeric_limits<float>::infinity(), "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(compact_float(c.value), c.json) << c.value;
}

TEST(JsonWriter, LaysOutPrettyAndCompactForms) {
  for (const auto layout : {JsonWriter::Layout::Pretty, JsonWriter::Layout::Compact}) {
    JsonWriter out(layout);
    out.begin_object();
    out.key("a");
    out.begin_array();
    out.number(std::uint64_t{1});
    out.number(std::int64_t{-2});
    out.end_array();
    out.key("e");
    out.begin_array();
    out.end_array();
    out.key("o");
    out.begin_object();
    out.end_object();
    out.key("n");
    out.null();
    out.key("b");
    out.boolean(false);
    out.end_object();
    const std::string text = *std::move(out).finish();
    if (layout == JsonWriter::Layout::Compact) {
      EXPECT_EQ(text, R"({"a":[1,-2],"e":[],"o":{},"n":null,"b":false})");
    } else {
      EXPECT_EQ(text, "{\n  \"a\": [\n    1,\n    -2\n  ],\n  \"e\": [],\n  \"o\": {},\n  \"n\": null,\n  \"b\": false\n}");
    }
  }
}

}  // namespace
}  // namespace tarnwick
