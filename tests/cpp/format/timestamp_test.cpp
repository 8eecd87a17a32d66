#include "format/timestamp.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

using namespace std::chrono;

Timestamp at(sys_days day, nanoseconds since_midnight) { return Timestamp{day} + since_midnight; }

TEST(Timestamp, FormatsWithTheFewestFractionDigitsThatHoldTheValue) {
  const sys_days day = 2025y / March / 1;
  struct Case {
    Timestamp time;
    std::string_view text;
  };
  const Case cases[] = {
      {at(day, 12h), "2025-03-01T12:00:00Z"},
      {at(day, 12h + 5s + 120ms), "2025-03-01T12:00:05.120Z"},
      {at(day, 12h + 123456us), "2025-03-01T12:00:00.123456Z"},
      {at(day, 12h + 123456789ns), "2025-03-01T12:00:00.123456789Z"},
      {at(day, 12h + 1ns), "2025-03-01T12:00:00.000000001Z"},
      {at(sys_days{1969y / December / 31}, 23h + 59min + 59s + 500ms), "1969-12-31T23:59:59.500Z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_rfc3339(c.time), c.text);
    EXPECT_EQ(parse_rfc3339(c.text), c.time) << c.text;
  }
}

TEST(Timestamp, ParsesOffsetsIntoUtc) {
  const Timestamp noon = at(2025y / March / 1, 12h);
  struct Case {
    std::string_view text;
    Timestamp time;
  };
  const Case cases[] = {
      {"2025-03-01T13:30:00+01:30", noon},
      {"2025-03-01T07:00:00-05:00", noon},
      {"2025-03-02T00:00:00+12:00", noon},
      {"2025-03-01t12:00:00z", noon},
      {"2025-03-01 12:00:00+00:00", noon},
      {"2025-03-01T12:00:00.1234567891Z", noon + 123456789ns},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_rfc3339(c.text), c.time) << c.text;
}

TEST(Timestamp, RejectsMalformedOrOutOfRangeText) {
  for (const std::string_view text :
       {"", "2025-03-01", "2025-03-01T12:00:00", "2025-02-30T12:00:00Z", "2025-13-01T00:00:00Z",
        "2025-03-01T24:00:00Z", "2025-03-01T12:60:00Z", "2025-03-01T12:00:60Z", "2025-03-01T12:00:00.Z",
        "2025-03-01T12:00:00+0100", "2025-03-01T12:00:00Z ", "2025-3-01T12:00:00Z",
        "9999-12-31T23:59:59Z", "1000-01-01T00:00:00Z"}) {
    EXPECT_EQ(parse_rfc3339(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace tarnwick
