#include "storage/temp_file.h"

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <filesystem>
#include <set>
#include <sys/stat.h>

#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

TEST(TempFileName, IsDotTmpAndSixLettersOrDigitsDrawnFromAllSixtyTwo) {
  std::set<char> seen;
  std::set<std::string> names;
  for (int i = 0; i < 5000; ++i) {
    const std::string name = temp_file_name();
    ASSERT_THAT(name, ::testing::MatchesRegex("\\.tmp[A-Za-z0-9]{6}"));
    seen.insert(name.begin() + 4, name.end());
    names.insert(name);
  }
  EXPECT_EQ(seen.size(), 62u);
  EXPECT_GT(names.size(), 4990u);
}

TEST(TempFile, IsPrivateAndRemovedUnlessPersisted) {
  ScratchDir dir;
  std::string path;
  {
    Result<TempFile> temp = TempFile::create(dir.path());
    ASSERT_TRUE(temp);
    path = temp->path();
    struct stat st;
    ASSERT_EQ(::fstat(temp->fd(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(std::filesystem::path(path).parent_path(), dir.path());
  }
  EXPECT_FALSE(std::filesystem::exists(path));

  Result<TempFile> kept = TempFile::create(dir.path());
  ASSERT_TRUE(kept->persist(dir / "object"));
  kept->close();
  EXPECT_TRUE(std::filesystem::exists(dir / "object"));
}

}  // namespace
}  // namespace tarnwick
