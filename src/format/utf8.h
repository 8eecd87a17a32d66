#pragma once
// UTF-8 validation for text that enters or leaves JSON: a name that is not
// valid UTF-8 would make a manifest its own reader rejects.

#include <cstddef>
#include <string_view>

namespace tarnwick {

// The offset of the first byte that does not start a well-formed UTF-8
// sequence (overlong forms, surrogates and code points above U+10FFFF are
// ill-formed), or npos when all of text is valid.
std::size_t find_invalid_utf8(std::string_view text);

// The UTF-8 sequence starting at text[at]: its length and whether it is
// well formed. An ill-formed one spans the longest start of a well-formed
// sequence (at least one byte), which one U+FFFD then replaces.
struct Utf8Sequence {
  std::size_t length;
  bool valid;
};
Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t at);

}  // namespace tarnwick
