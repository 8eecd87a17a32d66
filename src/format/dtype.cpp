#include "format/dtype.h"

#include <cwctype>
#include <locale>

namespace tarnwick {
namespace {

// Decodes UTF-8, lower-cases each code point with the C.UTF-8 locale's
// table and encodes it again. Invalid bytes pass through unchanged.
std::string unicode_lower(std::string_view text) {
  static const std::locale* utf8 = [] () -> const std::locale* {
    try {
      return new std::locale("C.UTF-8");
    } catch (...) {
      return nullptr;
    }
  }();
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
      ++i;
      continue;
    }
    const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (length == 1 || i + length > text.size() || utf8 == nullptr) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    char32_t cp = c & (0x7F >> length);
    for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    cp = static_cast<char32_t>(std::tolower(static_cast<wchar_t>(cp), *utf8));
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    i += length;
  }
  return out;
}

}  // namespace

Result<DType> DType::parse(std::string_view text) {
  const std::string lower = unicode_lower(text);
  struct Spelling {
    std::string_view text;
    Value value;
  };
  static constexpr Spelling spellings[] = {
      {"", None},           {"none", None},
      {"fp64", Fp64},       {"float64", Fp64},         {"double", Fp64},
      {"fp32", Fp32},       {"float32", Fp32},
      {"bf16", Bf16},       {"bfloat16", Bf16},
      {"fp16", Fp16},       {"float16", Fp16},
      {"fp8", Fp8E4m3},     {"float8", Fp8E4m3},       {"fp8_e4m3", Fp8E4m3},
      {"float8_e4m3fn", Fp8E4m3},
      {"fp8_e5m2", Fp8E5m2}, {"float8_e5m2", Fp8E5m2},
  };
  for (const Spelling& s : spellings) {
    if (s.text == lower) return DType{s.value};
  }
  return Err(TarnwickError::invalid_config(
      "unknown save_dtype '" + lower +
      "'. Use one of: none, bf16, fp16, fp32, fp64, fp8 (= fp8_e4m3), fp8_e5m2. Integer, bool and "
      "complex tensors are stored unchanged and need no setting; they are not cast targets."));
}

std::string_view DType::stored_text() const {
  switch (value) {
    case Fp64: return "float64";
    case Fp32: return "float32";
    case Bf16: return "bfloat16";
    case Fp16: return "float16";
    case Fp8E4m3: return "float8_e4m3fn";
    case Fp8E5m2: return "float8_e5m2";
    case None: return "";
  }
  return "";
}

// Works on bytes: for valid UTF-8 this equals matching code points, since a
// pattern character can never match starting inside a multi-byte sequence.
bool glob_match(std::string_view pattern, std::string_view name) {
  std::size_t p = 0, n = 0;
  std::size_t star = std::string_view::npos, star_name = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_name = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++star_name;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

Result<DTypePolicy> DTypePolicy::from_name(std::string_view name) {
  TRY(DType dtype, DType::parse(name));
  DTypePolicy policy;
  if (!dtype.is_none()) policy.rules.push_back({"*", dtype});
  return policy;
}

Result<DTypePolicy> DTypePolicy::from_rules(
    const std::vector<std::pair<std::string, std::string>>& pairs) {
  DTypePolicy policy;
  for (const auto& [pattern, name] : pairs) {
    if (pattern.empty()) {
      return Err(TarnwickError::invalid_config(
          "save_dtype has an empty pattern; use \"*\" to mean every tensor"));
    }
    TRY(DType dtype, DType::parse(name));
    policy.rules.push_back({pattern, dtype});
  }
  return policy;
}

DType DTypePolicy::target_for(std::string_view name) const {
  for (const DTypeRule& rule : rules) {
    if (glob_match(rule.pattern, name)) return rule.dtype;
  }
  return DType{DType::None};
}

}  // namespace tarnwick
