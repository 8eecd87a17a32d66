#pragma once
// The one error type of the library and the result type every fallible
// function returns. Errors are values: nothing in the core throws.

#include <expected>
#include <string>
#include <utility>

namespace tarnwick {

class TarnwickError {
 public:
  enum class Kind {
    Io,
    Serialization,
    Compression,
    CheckpointNotFound,
    IntegrityCheck,
    Delta,
    Storage,
    InvalidConfig,
  };

  // An operating-system failure, displayed as its description followed by
  // " (os error N)".
  static TarnwickError io(int os_errno);
  // An operating-system failure whose description is text instead of the
  // system's own (for example the description with the path it concerns).
  static TarnwickError io(int os_errno, std::string text);
  static TarnwickError serialization(std::string text);
  static TarnwickError compression(std::string text);
  static TarnwickError checkpoint_not_found(std::string text);
  static TarnwickError integrity_check(std::string expected, std::string got);
  static TarnwickError delta(std::string text);
  static TarnwickError storage(std::string text);
  static TarnwickError invalid_config(std::string text);

  Kind kind() const { return kind_; }
  // The payload text; for Io the rendered OS description, for
  // IntegrityCheck the expected text.
  const std::string& text() const { return text_; }
  // For IntegrityCheck: the text that was found instead.
  const std::string& got() const { return got_; }
  // For Io: the errno value, 0 for other kinds.
  int os_errno() const { return os_errno_; }

  // The display text users see, e.g. "Delta error: base missing".
  std::string display() const;

  bool operator==(const TarnwickError&) const = default;

 private:
  TarnwickError(Kind kind, std::string text, std::string got = {}, int os_errno = 0)
      : kind_(kind), text_(std::move(text)), got_(std::move(got)), os_errno_(os_errno) {}

  Kind kind_;
  std::string text_;
  std::string got_;
  int os_errno_;
};

template <class T>
using Result = std::expected<T, TarnwickError>;

inline std::unexpected<TarnwickError> Err(TarnwickError e) {
  return std::unexpected<TarnwickError>(std::move(e));
}

}  // namespace tarnwick

#define TW_CAT_INNER(a, b) a##b
#define TW_CAT(a, b) TW_CAT_INNER(a, b)
#define TW_TRY_IMPL(tmp, decl, expr)                                    \
  auto tmp = (expr);                                                    \
  if (!tmp) return ::tarnwick::Err(std::move(tmp).error());             \
  decl = std::move(*tmp)

// TRY(auto x, f()); binds the value of f() or returns its error.
#define TRY(decl, expr) TW_TRY_IMPL(TW_CAT(tw_try_, __LINE__), decl, expr)

// TRY_VOID(f()); returns the error of f(), if any.
#define TRY_VOID(expr)                                                  \
  do {                                                                  \
    auto tw_try_void = (expr);                                          \
    if (!tw_try_void) return ::tarnwick::Err(std::move(tw_try_void).error()); \
  } while (0)
