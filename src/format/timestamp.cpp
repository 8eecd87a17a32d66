#include "format/timestamp.h"

#include <cstdint>
#include <cstdio>
#include <limits>

namespace tarnwick {
namespace {

using namespace std::chrono;

// Reads exactly `count` digits at text[at]; advances at.
std::optional<int> digits(std::string_view text, std::size_t& at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  at += count;
  return value;
}

bool take(std::string_view text, std::size_t& at, char expected) {
  if (at >= text.size() || text[at] != expected) return false;
  ++at;
  return true;
}

}  // namespace

Timestamp now_utc() { return time_point_cast<nanoseconds>(system_clock::now()); }

std::string format_rfc3339(Timestamp time) {
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<nanoseconds> clock{time - day};
  const std::int64_t nanos = clock.subseconds().count();
  char text[48];
  int length = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld", int(date.year()),
                             unsigned(date.month()), unsigned(date.day()),
                             static_cast<long long>(clock.hours().count()),
                             static_cast<long long>(clock.minutes().count()),
                             static_cast<long long>(clock.seconds().count()));
  if (nanos != 0) {
    if (nanos % 1'000'000 == 0) {
      length += std::snprintf(text + length, sizeof text - length, ".%03lld", static_cast<long long>(nanos / 1'000'000));
    } else if (nanos % 1'000 == 0) {
      length += std::snprintf(text + length, sizeof text - length, ".%06lld", static_cast<long long>(nanos / 1'000));
    } else {
      length += std::snprintf(text + length, sizeof text - length, ".%09lld", static_cast<long long>(nanos));
    }
  }
  return std::string(text, length) + "Z";
}

std::optional<Timestamp> parse_rfc3339(std::string_view text) {
  std::size_t at = 0;
  const auto y = digits(text, at, 4);
  if (!y || !take(text, at, '-')) return std::nullopt;
  const auto mo = digits(text, at, 2);
  if (!mo || !take(text, at, '-')) return std::nullopt;
  const auto d = digits(text, at, 2);
  if (!d) return std::nullopt;
  if (!take(text, at, 'T') && !take(text, at, 't') && !take(text, at, ' ')) return std::nullopt;
  const auto h = digits(text, at, 2);
  if (!h || !take(text, at, ':')) return std::nullopt;
  const auto mi = digits(text, at, 2);
  if (!mi || !take(text, at, ':')) return std::nullopt;
  const auto s = digits(text, at, 2);
  if (!s) return std::nullopt;

  std::int64_t nanos = 0;
  if (take(text, at, '.')) {
    std::size_t count = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      if (count < 9) nanos = nanos * 10 + (text[at] - '0');
      ++count;
      ++at;
    }
    if (count == 0) return std::nullopt;
    for (std::size_t k = count; k < 9; ++k) nanos *= 10;
  }

  std::int64_t offset_seconds = 0;
  if (!take(text, at, 'Z') && !take(text, at, 'z')) {
    if (at >= text.size() || (text[at] != '+' && text[at] != '-')) return std::nullopt;
    const int sign = text[at++] == '-' ? -1 : 1;
    const auto oh = digits(text, at, 2);
    if (!oh || !take(text, at, ':')) return std::nullopt;
    const auto om = digits(text, at, 2);
    if (!om || *oh > 23 || *om > 59) return std::nullopt;
    offset_seconds = sign * (*oh * 3600 + *om * 60);
  }
  if (at != text.size()) return std::nullopt;

  const year_month_day date{year{*y}, month(unsigned(*mo)), day(unsigned(*d))};
  if (!date.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  const std::int64_t seconds = std::int64_t{sys_days{date}.time_since_epoch().count()} * 86400 +
                               *h * 3600 + *mi * 60 + *s - offset_seconds;
  // Whole seconds that still fit in signed 64-bit nanoseconds once the
  // fraction is added.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 1'000'000'000 - 1;
  if (seconds < -kMax || seconds > kMax) return std::nullopt;
  return Timestamp{nanoseconds{seconds * 1'000'000'000 + nanos}};
}

}  // namespace tarnwick
