#include "format/utf8.h"

#include <cstdint>
#include <cstring>

namespace tarnwick {

Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return {1, true};
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return {1, false};
  }
  for (std::size_t i = 1; i < length; ++i) {
    const bool fits = at + i < text.size() &&
                      (i == 1 ? byte(at + i) >= low && byte(at + i) <= high
                              : (byte(at + i) & 0xC0) == 0x80);
    if (!fits) return {i, false};
  }
  return {length, true};
}

std::size_t find_invalid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    // Most text is ASCII: step over it eight bytes at a time.
    if (i + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const Utf8Sequence sequence = utf8_sequence_at(text, i);
    if (!sequence.valid) return i;
    i += sequence.length;
  }
  return std::string_view::npos;
}

}  // namespace tarnwick
