#pragma once
// A streaming JSON writer in two layouts. Pretty: every member and array
// element on its own line, two spaces of indent per level, "[]" and "{}"
// for empty containers, no newline at the end. Compact: no whitespace.
// Strings are escaped minimally; text that is not valid UTF-8 is refused,
// because a reader would reject the document it ends up in.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/error.h"

namespace tarnwick {

class JsonWriter {
 public:
  enum class Layout { Pretty, Compact };
  explicit JsonWriter(Layout layout) : pretty_(layout == Layout::Pretty) {}

  // Reserves room for a document of about this many bytes, sparing the
  // copies of a growing buffer.
  void reserve(std::size_t bytes) { out_.reserve(bytes); }

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // Starts an object member; its value follows.
  void key(std::string_view name);

  void string(std::string_view text);
  void number(std::uint64_t value);
  void number(std::int64_t value);
  void boolean(bool value);
  void null();
  // The shortest decimal that reads back as the same 32-bit float; NaN and
  // infinities, which JSON cannot hold, become null.
  void number(float value);

  // The document, or a Serialization error for the first string that was
  // not valid UTF-8.
  Result<std::string> finish() &&;

 private:
  void before_value();
  void newline_and_indent();
  void quoted(std::string_view text);

  bool pretty_;
  std::string out_;
  std::vector<std::size_t> counts_;  // items written so far, one per open container
  bool after_key_ = false;
  std::optional<TarnwickError> error_;
};

}  // namespace tarnwick
