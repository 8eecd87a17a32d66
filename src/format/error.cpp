#include "format/error.h"

#include <cstring>

namespace tarnwick {

TarnwickError TarnwickError::io(int os_errno) {
  char buffer[256];
  // GNU strerror_r returns the message, possibly not in buffer.
  const char* description = strerror_r(os_errno, buffer, sizeof buffer);
  return TarnwickError(Kind::Io,
                       std::string(description) + " (os error " + std::to_string(os_errno) + ")",
                       {}, os_errno);
}

TarnwickError TarnwickError::io(int os_errno, std::string text) {
  return TarnwickError(Kind::Io, std::move(text), {}, os_errno);
}

TarnwickError TarnwickError::serialization(std::string text) {
  return TarnwickError(Kind::Serialization, std::move(text));
}
TarnwickError TarnwickError::compression(std::string text) {
  return TarnwickError(Kind::Compression, std::move(text));
}
TarnwickError TarnwickError::checkpoint_not_found(std::string text) {
  return TarnwickError(Kind::CheckpointNotFound, std::move(text));
}
TarnwickError TarnwickError::integrity_check(std::string expected, std::string got) {
  return TarnwickError(Kind::IntegrityCheck, std::move(expected), std::move(got));
}
TarnwickError TarnwickError::delta(std::string text) {
  return TarnwickError(Kind::Delta, std::move(text));
}
TarnwickError TarnwickError::storage(std::string text) {
  return TarnwickError(Kind::Storage, std::move(text));
}
TarnwickError TarnwickError::invalid_config(std::string text) {
  return TarnwickError(Kind::InvalidConfig, std::move(text));
}

std::string TarnwickError::display() const {
  switch (kind_) {
    case Kind::Io: return "IO error: " + text_;
    case Kind::Serialization: return "Serialization error: " + text_;
    case Kind::Compression: return "Compression error: " + text_;
    case Kind::CheckpointNotFound: return "Checkpoint not found: " + text_;
    case Kind::IntegrityCheck: return "Integrity check failed: expected " + text_ + ", got " + got_;
    case Kind::Delta: return "Delta error: " + text_;
    case Kind::Storage: return "Storage backend error: " + text_;
    case Kind::InvalidConfig: return "Invalid configuration: " + text_;
  }
  return text_;
}

}  // namespace tarnwick
