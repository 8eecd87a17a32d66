#pragma once
// UTC instants with nanosecond resolution and their RFC 3339 text, as the
// manifest and pack descriptors carry them.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Covers the years 1677 to 2262.
using Timestamp = std::chrono::sys_time<std::chrono::nanoseconds>;

Timestamp now_utc();

// "2025-03-01T12:00:00Z", with a fraction of 3, 6 or 9 digits (the fewest
// that hold the nanoseconds exactly) when they are not zero.
std::string format_rfc3339(Timestamp time);

// Reads "YYYY-MM-DDTHH:MM:SS", an optional fraction of any length (digits
// past the ninth are dropped), then "Z" or a "+HH:MM"/"-HH:MM" offset, and
// converts to UTC. "t", "z" and a space for "T" are accepted too. None for
// anything else, including instants outside the Timestamp range.
std::optional<Timestamp> parse_rfc3339(std::string_view text);

}  // namespace tarnwick
