#pragma once
// Cast targets of the save_dtype setting and the ordered glob rules that
// pick a target per tensor name.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/error.h"

namespace tarnwick {

struct DType {
  enum Value { Fp64, Fp32, Bf16, Fp16, Fp8E4m3, Fp8E5m2, None };
  Value value = None;

  // Lower-cases text (full Unicode) and looks it up among the accepted
  // spellings; an Invalid configuration error names the lower-cased text.
  static Result<DType> parse(std::string_view text);

  // The dtype text of bytes stored in this type ("bfloat16", ...); empty
  // for None.
  std::string_view stored_text() const;
  bool is_none() const { return value == None; }
  bool is_fp8() const { return value == Fp8E4m3 || value == Fp8E5m2; }

  bool operator==(const DType&) const = default;
};

// "*" matches any run of characters (none included); every other character,
// "?" and "[" too, matches only itself. The whole name must match.
bool glob_match(std::string_view pattern, std::string_view name);

struct DTypeRule {
  std::string pattern;  // never empty
  DType dtype;
  bool operator==(const DTypeRule&) const = default;
};

struct DTypePolicy {
  std::vector<DTypeRule> rules;

  // The policy of a single dtype name: none gives no rules, anything else
  // the one rule ("*", dtype).
  static Result<DTypePolicy> from_name(std::string_view name);
  // One rule per (pattern, dtype name) pair, in order; rules targeting none
  // are kept because they exempt what they match from later rules.
  static Result<DTypePolicy> from_rules(
      const std::vector<std::pair<std::string, std::string>>& pairs);

  // The DType of the first rule whose pattern matches name; None without one.
  DType target_for(std::string_view name) const;
  bool empty() const { return rules.empty(); }
};

}  // namespace tarnwick
