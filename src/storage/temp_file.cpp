#include "storage/temp_file.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <random>
#include <sys/random.h>
#include <thread>
#include <unistd.h>

namespace tarnwick {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kRandomChars = 6;
constexpr std::uint64_t kMaxAttempts = std::uint64_t{1} << 31;

std::uint64_t random_seed() {
  std::uint64_t seed = 0;
  if (::getrandom(&seed, sizeof seed, 0) == static_cast<ssize_t>(sizeof seed)) return seed;
  // Uniqueness never rests on the seed (creation is exclusive), so a weak
  // one only costs retries.
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
         std::hash<std::thread::id>{}(std::this_thread::get_id());
}

Result<std::string> absolute_dir(const std::string& dir) {
  if (dir.starts_with('/')) return dir;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return Err(TarnwickError::io(errno));
  std::string absolute = join_path(cwd, dir);
  ::free(cwd);
  return absolute;
}

}  // namespace

std::string temp_file_name() {
  thread_local std::mt19937_64 generator(random_seed());
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string name(kTempFilePrefix);
  for (std::size_t i = 0; i < kRandomChars; ++i) name += kAlphabet[pick(generator)];
  return name;
}

Result<TempFile> TempFile::create(const std::string& dir) {
  TRY(const std::string base, absolute_dir(dir));
  for (std::uint64_t attempt = 0; attempt < kMaxAttempts; ++attempt) {
    std::string path = join_path(base, temp_file_name());
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() >= 0) return TempFile(std::move(fd), std::move(path));
    const int error = errno;
    if (error == EEXIST || error == EADDRINUSE) continue;
    return Err(TarnwickError::io(error, TarnwickError::io(error).text() + " at path " +
                                            quoted_path(path)));
  }
  return Err(TarnwickError::io(EEXIST, "too many temporary files exist at path " + quoted_path(dir)));
}

TempFile::~TempFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

Result<void> TempFile::persist(const std::string& target) {
  if (::rename(path_.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(path_.c_str());
    path_.clear();
    return Err(TarnwickError::storage("Failed to persist " + target +
                                      ": failed to persist temporary file: " +
                                      TarnwickError::io(error).text()));
  }
  path_.clear();
  return {};
}

}  // namespace tarnwick
