#include "format/json_writer.h"

#include <charconv>
#include <cmath>

#include "format/utf8.h"

namespace tarnwick {

void JsonWriter::newline_and_indent() {
  if (!pretty_) return;
  out_.push_back('\n');
  out_.append(2 * counts_.size(), ' ');
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (counts_.empty()) return;
  if (counts_.back()++ > 0) out_.push_back(',');
  newline_and_indent();
}

void JsonWriter::key(std::string_view name) {
  if (counts_.back()++ > 0) out_.push_back(',');
  newline_and_indent();
  quoted(name);
  out_.append(pretty_ ? ": " : ":");
  after_key_ = true;
}

void JsonWriter::begin_object() {
  before_value();
  out_.push_back('{');
  counts_.push_back(0);
}

void JsonWriter::begin_array() {
  before_value();
  out_.push_back('[');
  counts_.push_back(0);
}

void JsonWriter::end_object() {
  const bool empty = counts_.back() == 0;
  counts_.pop_back();
  if (!empty) newline_and_indent();
  out_.push_back('}');
}

void JsonWriter::end_array() {
  const bool empty = counts_.back() == 0;
  counts_.pop_back();
  if (!empty) newline_and_indent();
  out_.push_back(']');
}

void JsonWriter::string(std::string_view text) {
  before_value();
  quoted(text);
}

void JsonWriter::number(std::uint64_t value) {
  before_value();
  char digits[24];
  out_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void JsonWriter::number(std::int64_t value) {
  before_value();
  char digits[24];
  out_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void JsonWriter::boolean(bool value) {
  before_value();
  out_.append(value ? "true" : "false");
}

void JsonWriter::null() {
  before_value();
  out_.append("null");
}

void JsonWriter::number(float value) {
  if (!std::isfinite(value)) {
    null();
    return;
  }
  before_value();
  char text[32];
  const char* end = std::to_chars(text, text + sizeof text, value).ptr;
  const std::string_view shortest(text, end - text);
  const std::size_t exponent = shortest.find('e');
  if (exponent == std::string_view::npos) {
    out_.append(shortest);
    // A whole number keeps a fraction so that it still reads as a float.
    if (shortest.find('.') == std::string_view::npos) out_.append(".0");
    return;
  }
  // "1e-05" -> "1e-5", "1e+20" -> "1e20".
  out_.append(shortest.substr(0, exponent + 1));
  std::size_t at = exponent + 1;
  if (shortest[at] == '-') out_.push_back(shortest[at]);
  if (shortest[at] == '-' || shortest[at] == '+') ++at;
  while (at + 1 < shortest.size() && shortest[at] == '0') ++at;
  out_.append(shortest.substr(at));
}

void JsonWriter::quoted(std::string_view text) {
  if (!error_) {
    const std::size_t bad = find_invalid_utf8(text);
    if (bad != std::string_view::npos) {
      error_ = TarnwickError::serialization("invalid UTF-8 in string at byte " + std::to_string(bad));
    }
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out_.push_back('"');
  std::size_t plain = 0;  // start of the run not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out_.append(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"': out_.append("\\\""); break;
      case '\\': out_.append("\\\\"); break;
      case '\b': out_.append("\\b"); break;
      case '\t': out_.append("\\t"); break;
      case '\n': out_.append("\\n"); break;
      case '\f': out_.append("\\f"); break;
      case '\r': out_.append("\\r"); break;
      default:
        out_.append("\\u00");
        out_.push_back(kHex[c >> 4]);
        out_.push_back(kHex[c & 0x0F]);
    }
  }
  out_.append(text.substr(plain));
  out_.push_back('"');
}

Result<std::string> JsonWriter::finish() && {
  if (error_) return Err(std::move(*error_));
  return std::move(out_);
}

}  // namespace tarnwick
