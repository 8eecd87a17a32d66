#include "storage/file_appender.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "storage/filesystem.h"
#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

constexpr std::size_t kStage = FileAppender::kStageBytes;
constexpr std::size_t kBlock = FileAppender::kBlockBytes;

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + seed) % 253);
  return bytes;
}

Bytes read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return Bytes(text.begin(), text.end());
}

// Sizes around the block and stage boundaries, where the direct path
// switches between whole blocks, the partial tail and rewriting the head.
TEST(FileAppender, FileHoldsExactlyWhatWasAppendedWithTheHeadReplaced) {
  const std::size_t sizes[] = {0, 1, 40, kBlock - 1, kBlock, kBlock + 1, kStage - 1, kStage,
                               kStage + 1, 2 * kStage + kBlock + 5};
  for (const bool direct : {true, false}) {
    for (const std::size_t size : sizes) {
      ScratchDir dir;
      const std::string path = dir / "file";
      UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
      ASSERT_GE(fd.get(), 0);
      FileAppender appender(fd.get(), direct);
      Bytes expected = pattern(size, 3);
      // Appended in two uneven pieces, then padded with a few zeros.
      const std::size_t split = size / 3;
      ASSERT_TRUE(appender.append(ByteSpan(expected).first(split)));
      ASSERT_TRUE(appender.append(ByteSpan(expected).subspan(split)));
      ASSERT_TRUE(appender.append_zeros(3));
      expected.resize(size + 3, 0);
      const Bytes head = pattern(std::min<std::size_t>(32, expected.size()), 99);
      ASSERT_TRUE(appender.overwrite_head(head));
      std::copy(head.begin(), head.end(), expected.begin());
      ASSERT_TRUE(appender.finish());
      EXPECT_EQ(appender.size(), expected.size());
      fd.reset();
      EXPECT_TRUE(read_all(path) == expected) << "direct " << direct << ", size " << size;
    }
  }
}

TEST(FileAppender, RefusesAHeadLongerThanWhatWasAppendedOrThanABlock) {
  ScratchDir dir;
  UniqueFd fd(::open((dir / "file").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  FileAppender appender(fd.get(), true);
  ASSERT_TRUE(appender.append(pattern(2 * kBlock, 1)));
  EXPECT_FALSE(appender.overwrite_head(pattern(kBlock + 1, 2)));
  ASSERT_TRUE(appender.finish());
}

}  // namespace
}  // namespace tarnwick
