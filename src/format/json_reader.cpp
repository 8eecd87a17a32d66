#include "format/json_reader.h"

#include <algorithm>
#include <charconv>

#include "format/utf8.h"

namespace tarnwick {
namespace {

constexpr std::size_t kMaxDepth = 128;

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | code >> 6));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | code >> 12));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | code >> 18));
    out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

TarnwickError JsonReader::error_at(std::size_t consumed, std::string_view message) const {
  const std::string_view before = text_.substr(0, consumed);
  const std::size_t line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t line_start = before.rfind('\n');
  const std::size_t column = line_start == std::string_view::npos ? consumed : consumed - line_start - 1;
  return TarnwickError::serialization(std::string(message) + " at line " + std::to_string(line) +
                                      " column " + std::to_string(column));
}

TarnwickError JsonReader::error(std::string_view message) const { return error_at(pos_, message); }

// Points at the byte that was looked at but not taken.
TarnwickError JsonReader::peek_error(std::string_view message) const {
  return error_at(std::min(pos_ + 1, text_.size()), message);
}

int JsonReader::peek() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
    ++pos_;
  }
  return -1;
}

Result<char> JsonReader::peek_value() {
  const int c = peek();
  if (c < 0) return Err(error("EOF while parsing a value"));
  return static_cast<char>(c);
}

Result<void> JsonReader::open(char bracket) {
  TRY(const char c, peek_value());
  if (c != bracket) return Err(invalid_type(bracket == '{' ? "a map" : "a sequence"));
  if (first_.size() >= kMaxDepth) return Err(peek_error("recursion limit exceeded"));
  ++pos_;
  first_.push_back(true);
  return {};
}

Result<void> JsonReader::begin_object() { return open('{'); }
Result<void> JsonReader::begin_array() { return open('['); }

Result<std::optional<std::string_view>> JsonReader::next_key() {
  int c = peek();
  if (c < 0) return Err(error("EOF while parsing an object"));
  if (c == '}') {
    ++pos_;
    first_.pop_back();
    return std::nullopt;
  }
  if (!first_.back()) {
    if (c != ',') return Err(peek_error("expected `,` or `}`"));
    ++pos_;
    c = peek();
    if (c < 0) return Err(error("EOF while parsing a value"));
    if (c == '}') return Err(peek_error("trailing comma"));
  }
  first_.back() = false;
  if (c != '"') return Err(peek_error("key must be a string"));
  TRY(const std::string_view key, scan_string());
  c = peek();
  if (c < 0) return Err(error("EOF while parsing an object"));
  if (c != ':') return Err(peek_error("expected `:`"));
  ++pos_;
  return key;
}

Result<bool> JsonReader::next_element() {
  int c = peek();
  if (c < 0) return Err(error("EOF while parsing a list"));
  if (c == ']') {
    ++pos_;
    first_.pop_back();
    return false;
  }
  if (!first_.back()) {
    if (c != ',') return Err(peek_error("expected `,` or `]`"));
    ++pos_;
    c = peek();
    if (c == ']') return Err(peek_error("trailing comma"));
  }
  first_.back() = false;
  return true;
}

Result<void> JsonReader::escape() {
  // pos_ is just past the backslash.
  if (pos_ >= text_.size()) return Err(error("EOF while parsing a string"));
  const char c = text_[pos_++];
  switch (c) {
    case '"': scratch_.push_back('"'); return {};
    case '\\': scratch_.push_back('\\'); return {};
    case '/': scratch_.push_back('/'); return {};
    case 'b': scratch_.push_back('\b'); return {};
    case 'f': scratch_.push_back('\f'); return {};
    case 'n': scratch_.push_back('\n'); return {};
    case 'r': scratch_.push_back('\r'); return {};
    case 't': scratch_.push_back('\t'); return {};
    case 'u': break;
    default: return Err(error("invalid escape"));
  }
  auto hex4 = [this]() -> Result<std::uint32_t> {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      if (pos_ >= text_.size()) return Err(error("EOF while parsing a string"));
      const int digit = hex_value(text_[pos_++]);
      if (digit < 0) return Err(error("invalid escape"));
      value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
  };
  TRY(std::uint32_t code, hex4());
  if (code >= 0xDC00 && code <= 0xDFFF) return Err(error("invalid unicode code point"));
  if (code >= 0xD800 && code <= 0xDBFF) {
    if (text_.substr(pos_, 2) != "\\u") return Err(error("lone leading surrogate in hex escape"));
    pos_ += 2;
    TRY(const std::uint32_t low, hex4());
    if (low < 0xDC00 || low > 0xDFFF) return Err(error("lone leading surrogate in hex escape"));
    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(scratch_, code);
  return {};
}

Result<std::string_view> JsonReader::scan_string() {
  ++pos_;  // the opening quote
  const std::size_t start = pos_;
  bool escaped = false;
  while (true) {
    if (pos_ >= text_.size()) return Err(error("EOF while parsing a string"));
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') break;
    if (c < 0x20) return Err(peek_error("control character (\\u0000-\\u001F) found while parsing a string"));
    if (c != '\\') {
      if (escaped) scratch_.push_back(static_cast<char>(c));
      ++pos_;
      continue;
    }
    if (!escaped) scratch_.assign(text_.substr(start, pos_ - start));
    escaped = true;
    ++pos_;
    TRY_VOID(escape());
  }
  const std::string_view raw = text_.substr(start, pos_ - start);
  ++pos_;  // the closing quote
  const std::string_view value = escaped ? std::string_view(scratch_) : raw;
  if (find_invalid_utf8(value) != std::string_view::npos) return Err(error("invalid unicode code point"));
  return value;
}

Result<std::string> JsonReader::string() {
  TRY(const char c, peek_value());
  if (c != '"') return Err(invalid_type("a string"));
  TRY(const std::string_view value, scan_string());
  return std::string(value);
}

Result<JsonReader::Number> JsonReader::number() {
  const std::size_t start = pos_;
  auto digit_at = [this](std::size_t at) { return at < text_.size() && is_digit(text_[at]); };
  const bool negative = text_[pos_] == '-';
  if (negative) ++pos_;
  if (!digit_at(pos_)) return Err(peek_error("invalid number"));
  if (text_[pos_] == '0') {
    ++pos_;
    if (digit_at(pos_)) return Err(peek_error("invalid number"));
  } else {
    while (digit_at(pos_)) ++pos_;
  }
  bool integer = true;
  if (pos_ < text_.size() && text_[pos_] == '.') {
    integer = false;
    ++pos_;
    if (!digit_at(pos_)) return Err(peek_error("invalid number"));
    while (digit_at(pos_)) ++pos_;
  }
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    integer = false;
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (!digit_at(pos_)) return Err(peek_error("invalid number"));
    while (digit_at(pos_)) ++pos_;
  }
  return Number{text_.substr(start, pos_ - start), integer, negative};
}

Result<void> JsonReader::ident(std::string_view word) {
  for (const char expected : word) {
    if (pos_ >= text_.size()) return Err(error("EOF while parsing a value"));
    if (text_[pos_] != expected) return Err(peek_error("expected ident"));
    ++pos_;
  }
  return {};
}

TarnwickError JsonReader::invalid_type(std::string_view expected) {
  if (peek() < 0) return error("EOF while parsing a value");
  const std::string tail = ", expected " + std::string(expected);
  const char c = text_[pos_];
  switch (c) {
    case '{': return peek_error("invalid type: map" + tail);
    case '[': return peek_error("invalid type: sequence" + tail);
    case '"': {
      auto text = scan_string();
      if (!text) return text.error();
      return error("invalid type: string \"" + std::string(*text) + "\"" + tail);
    }
    case 't':
    case 'f': {
      if (auto r = ident(c == 't' ? "true" : "false"); !r) return r.error();
      return error(std::string("invalid type: boolean `") + (c == 't' ? "true" : "false") + "`" + tail);
    }
    case 'n': {
      if (auto r = ident("null"); !r) return r.error();
      return error("invalid type: null" + tail);
    }
    default:
      break;
  }
  if (c != '-' && !is_digit(c)) return peek_error("expected value");
  auto n = number();
  if (!n) return n.error();
  return error(std::string("invalid type: ") + (n->integer ? "integer `" : "floating point `") +
               std::string(n->text) + "`" + tail);
}

bool JsonReader::take_null() {
  if (peek() != 'n' || text_.substr(pos_, 4) != "null") return false;
  pos_ += 4;
  return true;
}

Result<std::uint64_t> JsonReader::unsigned_number(std::string_view type, std::uint64_t max) {
  TRY(const char c, peek_value());
  if (c != '-' && !is_digit(c)) return Err(invalid_type(type));
  TRY(const Number n, number());
  if (!n.integer) {
    return Err(error("invalid type: floating point `" + std::string(n.text) + "`, expected " + std::string(type)));
  }
  const std::string_view digits = n.negative ? n.text.substr(1) : n.text;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc{}) return Err(error("number out of range"));
  if ((n.negative && value != 0) || value > max) {
    return Err(error("invalid value: integer `" + std::string(n.text) + "`, expected " + std::string(type)));
  }
  return value;
}

Result<std::uint64_t> JsonReader::u64() { return unsigned_number("u64", UINT64_MAX); }

Result<std::uint32_t> JsonReader::u32() {
  TRY(const std::uint64_t value, unsigned_number("u32", UINT32_MAX));
  return static_cast<std::uint32_t>(value);
}

Result<std::int32_t> JsonReader::i32() {
  TRY(const char c, peek_value());
  if (c != '-' && !is_digit(c)) return Err(invalid_type("i32"));
  TRY(const Number n, number());
  if (!n.integer) return Err(error("invalid type: floating point `" + std::string(n.text) + "`, expected i32"));
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(n.text.data(), n.text.data() + n.text.size(), value);
  if (ec != std::errc{}) return Err(error("number out of range"));
  if (value < INT32_MIN || value > INT32_MAX) {
    return Err(error("invalid value: integer `" + std::string(n.text) + "`, expected i32"));
  }
  return static_cast<std::int32_t>(value);
}

Result<float> JsonReader::f32() {
  TRY(const char c, peek_value());
  if (c != '-' && !is_digit(c)) return Err(invalid_type("f32"));
  TRY(const Number n, number());
  float value = 0;
  const auto [end, ec] = std::from_chars(n.text.data(), n.text.data() + n.text.size(), value);
  // Subnormals read fine; beyond them (either way) is out of range.
  if (ec == std::errc::result_out_of_range) return Err(error("number out of range"));
  if (ec != std::errc{}) return Err(error("invalid number"));
  return value;
}

Result<bool> JsonReader::boolean() {
  TRY(const char c, peek_value());
  if (c == 't' || c == 'f') {
    TRY_VOID(ident(c == 't' ? "true" : "false"));
    return c == 't';
  }
  return Err(invalid_type("a boolean"));
}

Result<void> JsonReader::skip_value() {
  TRY(const char c, peek_value());
  switch (c) {
    case '{': {
      TRY_VOID(begin_object());
      while (true) {
        TRY(const auto key, next_key());
        if (!key) return {};
        TRY_VOID(skip_value());
      }
    }
    case '[': {
      TRY_VOID(begin_array());
      while (true) {
        TRY(const bool more, next_element());
        if (!more) return {};
        TRY_VOID(skip_value());
      }
    }
    case '"': {
      TRY_VOID(scan_string());
      return {};
    }
    case 't': return ident("true");
    case 'f': return ident("false");
    case 'n': return ident("null");
    default:
      if (c != '-' && !is_digit(c)) return Err(peek_error("expected value"));
      TRY_VOID(number());
      return {};
  }
}

Result<void> JsonReader::finish() {
  if (peek() >= 0) return Err(peek_error("trailing characters"));
  return {};
}

}  // namespace tarnwick
