#include "format/uuid.h"

#include <sys/random.h>

#include <cerrno>

namespace tarnwick {
namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::size_t kGroupLengths[5] = {8, 4, 4, 4, 12};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

TarnwickError parse_error(std::string text) { return TarnwickError::serialization(std::move(text)); }

// The whole (possibly multi-byte) character starting at text[at], for messages.
std::string_view char_at(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return text.substr(at, length);
}

// Fails on the first character of text that is not a hexadecimal digit;
// `base` is where text starts inside the caller's input, for the 1-based
// index the message shows.
Result<void> check_hex(std::string_view text, std::size_t base) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (hex_value(text[i]) < 0) {
      return Err(parse_error("invalid character: expected [0-9a-fA-F], found `" +
                             std::string(char_at(text, i)) + "` at " + std::to_string(base + i + 1)));
    }
  }
  return {};
}

// Decodes digit pairs of checked text into out.
void decode_hex(std::string_view text, std::uint8_t* out) {
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    *out++ = static_cast<std::uint8_t>(hex_value(text[i]) << 4 | hex_value(text[i + 1]));
  }
}

Result<Uuid> parse_hyphenated(std::string_view text, std::size_t base) {
  std::string_view groups[5];
  std::size_t count = 0;
  for (std::size_t start = 0;;) {
    const std::size_t dash = text.find('-', start);
    if (count < 5) groups[count] = text.substr(start, dash == std::string_view::npos ? dash : dash - start);
    ++count;
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  if (count != 5) {
    return Err(parse_error("invalid group count: expected 5, found " + std::to_string(count)));
  }
  Uuid id;
  std::uint8_t* out = id.bytes.data();
  for (std::size_t g = 0, at = base; g < 5; at += groups[g].size() + 1, ++g) {
    TRY_VOID(check_hex(groups[g], at));
    if (groups[g].size() != kGroupLengths[g]) {
      return Err(parse_error("invalid group length in group " + std::to_string(g + 1) + ": expected " +
                             std::to_string(kGroupLengths[g]) + ", found " +
                             std::to_string(groups[g].size())));
    }
    decode_hex(groups[g], out);
    out += groups[g].size() / 2;
  }
  return id;
}

}  // namespace

Result<Uuid> Uuid::new_v4() {
  Uuid id;
  std::size_t filled = 0;
  while (filled < id.bytes.size()) {
    const ssize_t got = getrandom(id.bytes.data() + filled, id.bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Err(TarnwickError::io(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
  id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0F) | 0x40);  // version 4
  id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return id;
}

Result<Uuid> Uuid::parse(std::string_view text) {
  if (text.starts_with(kUrnPrefix)) {
    return parse_hyphenated(text.substr(kUrnPrefix.size()), kUrnPrefix.size());
  }
  if (text.starts_with('{')) {
    if (!text.ends_with('}')) {
      return Err(parse_error("invalid character: expected a closing `}` after a braced UUID"));
    }
    return parse_hyphenated(text.substr(1, text.size() - 2), 1);
  }
  if (text.size() == 32) {
    TRY_VOID(check_hex(text, 0));
    Uuid id;
    decode_hex(text, id.bytes.data());
    return id;
  }
  if (text.find('-') == std::string_view::npos) {
    return Err(parse_error("invalid length: expected 32 hexadecimal digits or the 36-character "
                           "hyphenated form, found " + std::to_string(text.size()) + " characters"));
  }
  return parse_hyphenated(text, 0);
}

std::string Uuid::to_string() const {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace tarnwick
