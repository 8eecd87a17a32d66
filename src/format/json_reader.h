#pragma once
// A pull reader of JSON text that the record readers drive member by
// member, so a document maps straight onto records without an
// intermediate tree. Every error is a Serialization error whose text ends
// in " at line L column C" (1-based line; column of the last byte read,
// 0 before the first byte of a line), the position where it was noticed.
// Nesting is limited to 128 levels, so hostile input cannot exhaust the
// stack.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/error.h"

namespace tarnwick {

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  // An error with the position of the last byte read.
  TarnwickError error(std::string_view message) const;

  Result<void> begin_object();
  // The next member's key, its ":" consumed, or none once the object's
  // closing brace is read. The view is valid until the next call.
  Result<std::optional<std::string_view>> next_key();

  Result<void> begin_array();
  // True when another element follows (read it next), false once the
  // closing bracket is read.
  Result<bool> next_element();

  // Consumes a null if one comes next.
  bool take_null();
  Result<std::string> string();
  Result<std::uint64_t> u64();
  Result<std::uint32_t> u32();
  Result<std::int32_t> i32();
  Result<float> f32();
  Result<bool> boolean();
  // Reads and discards one value of any type.
  Result<void> skip_value();

  // Succeeds when only whitespace is left.
  Result<void> finish();

  // The first byte of the next value, whitespace skipped; the end of the
  // input is an error.
  Result<char> peek_value();
  // "invalid type: {the value that comes next}, expected {expected}";
  // consumes that value when it is a scalar.
  TarnwickError invalid_type(std::string_view expected);

 private:
  struct Number {
    std::string_view text;
    bool integer;   // no fraction, no exponent
    bool negative;
  };

  TarnwickError error_at(std::size_t consumed, std::string_view message) const;
  TarnwickError peek_error(std::string_view message) const;
  // Skips whitespace; the next byte, or -1 at the end.
  int peek();
  Result<void> open(char bracket);
  // Reads the string whose opening quote is next; the view points into the
  // text, or into scratch_ when the string has escapes.
  Result<std::string_view> scan_string();
  // Appends the character of the escape just after a backslash to scratch_.
  Result<void> escape();
  Result<Number> number();
  Result<void> ident(std::string_view word);
  Result<std::uint64_t> unsigned_number(std::string_view type, std::uint64_t max);

  std::string_view text_;
  std::size_t pos_ = 0;
  std::vector<bool> first_;  // per open container: nothing read from it yet
  std::string scratch_;      // unescaped text of the last string with escapes
};

}  // namespace tarnwick
