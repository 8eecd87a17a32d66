#pragma once
// 128-bit identifiers of snapshots. Their one text form is lower-case
// hyphenated (8-4-4-4-12 hexadecimal digits): manifest, pack descriptors,
// directory names and Python results all use it.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "format/error.h"

namespace tarnwick {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};  // all zero: the nil UUID

  // A random (version 4) UUID drawn from the operating system's random
  // source; an Io error only if that source fails.
  static Result<Uuid> new_v4();

  // Accepts the hyphenated form, 32 plain digits, the hyphenated form in
  // braces or behind "urn:uuid:", hexadecimal digits in either case. The
  // error (Serialization kind) describes the fault; its text is what the
  // Python binding raises as ValueError.
  static Result<Uuid> parse(std::string_view text);

  std::string to_string() const;

  auto operator<=>(const Uuid&) const = default;
};

}  // namespace tarnwick

template <>
struct std::hash<tarnwick::Uuid> {
  std::size_t operator()(const tarnwick::Uuid& id) const noexcept {
    std::uint64_t high, low;
    std::memcpy(&high, id.bytes.data(), 8);
    std::memcpy(&low, id.bytes.data() + 8, 8);
    return std::hash<std::uint64_t>{}(high ^ (low * 0x9E3779B97F4A7C15ULL));
  }
};
