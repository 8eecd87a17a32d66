#include "storage/local_storage.h"

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using Kind = TarnwickError::Kind;

void write_file(const std::string& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// Records the directory syncs of each write instead of timing them.
class RecordingStorage : public LocalStorage {
 public:
  RecordingStorage(std::string root, bool fsync) : LocalStorage(std::move(root)), fsync_(fsync) {}
  mutable std::vector<std::string> synced;

 protected:
  bool fsync_writes() const override { return fsync_; }
  Result<void> sync_dir(const std::string& path) const override {
    synced.push_back(path);
    return LocalStorage::sync_dir(path);
  }

 private:
  bool fsync_;
};

TEST(LocalStorage, WritesPaddedPrivateFilesAndNoTemporaryStays) {
  ScratchDir dir;
  LocalStorage store(dir.path());
  const std::pair<std::size_t, std::uintmax_t> sizes[] = {{0, 0}, {1, 4096}, {4096, 4096}, {4097, 8192}};
  std::set<std::string> keys;
  for (const auto& [size, on_disk] : sizes) {
    const std::string key = "objects/" + std::to_string(size);
    ASSERT_TRUE(store.put(key, Bytes(size, 0xAB)));
    keys.insert(std::to_string(size));
    EXPECT_EQ(fs::file_size(dir / key), on_disk) << size;
    struct stat st;
    ASSERT_EQ(::stat((dir / key).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << size;
  }
  EXPECT_EQ(entries(dir / "objects"), keys);
}

TEST(LocalStorage, AlignmentZeroWritesObjectsUnpadded) {
  ScratchDir dir;
  LocalStorage store(dir.path(), 0);
  ASSERT_TRUE(store.put("one", Bytes{7}));
  EXPECT_EQ(fs::file_size(dir / "one"), 1u);
}

TEST(LocalStorage, SyncsTheTargetDirectoryThenParentsOfCreatedOnes) {
  struct Case {
    const char* name;
    bool fsync;
    std::vector<std::string> existing;  // directories made before the write
    std::string key;
    std::vector<std::string> synced;    // relative to the scratch directory
  };
  const Case cases[] = {
      {"three new levels", true, {"store"}, "a/b/c/key",
       {"store/a/b/c", "store", "store/a", "store/a/b"}},
      {"all levels exist", true, {"store/a/b/c"}, "a/b/c/key", {"store/a/b/c"}},
      {"one new level", true, {"store/a"}, "a/x/key", {"store/a/x", "store/a"}},
      {"missing root", true, {}, "key", {"store", ""}},
      {"fsync off", false, {"store"}, "a/b/c/key", {}},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    for (const std::string& existing : c.existing) fs::create_directories(dir / existing);
    RecordingStorage store(dir / "store", c.fsync);
    ASSERT_TRUE(store.put(c.key, Bytes{1, 2})) << c.name;
    std::vector<std::string> expected;
    for (const std::string& relative : c.synced) {
      expected.push_back(relative.empty() ? dir.path() : dir / relative);
    }
    EXPECT_EQ(store.synced, expected) << c.name;
    EXPECT_TRUE(fs::is_regular_file(dir / ("store/" + c.key))) << c.name;
  }
}

TEST(LocalStorage, FailedRenameIsAStorageErrorAndRemovesTheTemporary) {
  ScratchDir dir;
  fs::create_directories(dir / "occupied");
  write_file(dir / "occupied/inner", "x");
  LocalStorage store(dir.path());
  const Result<void> put = store.put("occupied", Bytes{1});
  ASSERT_FALSE(put);
  EXPECT_EQ(put.error().kind(), Kind::Storage);
  EXPECT_EQ(put.error().display(), "Storage backend error: Failed to persist " + (dir / "occupied") +
                                       ": failed to persist temporary file: Is a directory (os error 21)");
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"occupied"});
}

TEST(LocalStorage, FailedTemporaryCreationNamesItsPath) {
  ScratchDir dir;
  write_file(dir / "file", "x");
  LocalStorage store(dir.path());
  const Result<void> put = store.put("file/key", Bytes{1});
  ASSERT_FALSE(put);
  EXPECT_EQ(put.error().kind(), Kind::Io);
  EXPECT_EQ(put.error().os_errno(), ENOTDIR);
  EXPECT_THAT(put.error().display(),
              ::testing::MatchesRegex("IO error: Not a directory \\(os error 20\\) at path \"" +
                                      dir.path() + "/file/\\.tmp[A-Za-z0-9]{6}\""));
}

TEST(LocalStorage, ReadsOfDirectoriesAndOutOfRangeOffsets) {
  ScratchDir dir;
  LocalStorage store(dir.path());
  ASSERT_TRUE(store.put("dir/blob", Bytes(10, 1)));
  EXPECT_EQ(store.get("dir").error().os_errno(), EISDIR);
  EXPECT_EQ(store.remove("dir").error().kind(), Kind::Io);
  for (const std::uint64_t offset : {4096ull, 4097ull, 1ull << 40}) {
    const Result<Bytes> tail = store.get_range("dir/blob", offset, 16);
    ASSERT_TRUE(tail) << offset;
    EXPECT_TRUE(tail->empty()) << offset;
  }
  // A damaged header may ask for any length; only what exists is allocated.
  EXPECT_EQ(store.get_range("dir/blob", 10, UINT64_MAX)->size(), 4086u);
  EXPECT_EQ(store.get_range("dir/blob", 1ull << 63, 1).error().os_errno(), EINVAL);
}

TEST(LocalStorage, RemoveDirOnlyRemovesEmptyDirectories) {
  ScratchDir dir;
  LocalStorage store(dir.path());
  ASSERT_TRUE(store.put("full/key", Bytes{1}));
  ASSERT_TRUE(store.put("file", Bytes{1}));
  fs::create_directories(dir / "snapshots/empty");
  struct Case {
    const char* key;
    bool remains;
  };
  for (const Case& c : {Case{"snapshots/empty", false}, Case{"full", true}, Case{"file", true},
                        Case{"missing", false}, Case{"missing/deeper", false}}) {
    EXPECT_TRUE(store.remove_dir(c.key)) << c.key;
    EXPECT_EQ(fs::exists(dir / c.key), c.remains) << c.key;
  }
  EXPECT_TRUE(fs::is_regular_file(dir / "full/key"));
}

TEST(LocalStorage, ListSkipsLinksButListsTemporaryFiles) {
  ScratchDir dir;
  LocalStorage store(dir.path());
  ASSERT_TRUE(store.put("a/file", Bytes{1}));
  write_file(dir / "a/.tmpAb12Cd", "left by a crash");
  fs::create_symlink("file", dir / "a/link");
  fs::create_directory_symlink("a", dir / "alias");
  ::mkfifo((dir / "a/fifo").c_str(), 0600);
  using Keys = std::set<std::string>;
  const auto listed = [&](std::string_view prefix) {
    const auto keys = store.list(prefix);
    return Keys(keys->begin(), keys->end());
  };
  EXPECT_EQ(listed(""), (Keys{"a/file", "a/.tmpAb12Cd"}));
  EXPECT_EQ(listed("alias"), (Keys{"alias/file", "alias/.tmpAb12Cd"}))
      << "a prefix that is itself a link is walked";
  EXPECT_EQ(listed("a/file"), Keys{"a/file"});
  EXPECT_EQ(listed("a/link"), Keys{"a/link"});
}

TEST(LocalStorage, ListWalksDepthFirstAndRepairsNonUtf8Names) {
  ScratchDir dir;
  LocalStorage store(dir.path());
  for (const char* key : {"a/x", "a/b/y", "a/b/z", "a/v", "c/w", "a/b/d/u", "top"}) {
    ASSERT_TRUE(store.put(key, Bytes{1}));
  }
  ASSERT_TRUE(store.put("bad\xff\xfe.bin", Bytes{1}));
  const std::vector<std::string> keys = *store.list("");
  ASSERT_EQ(keys.size(), 8u);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "bad\xEF\xBF\xBD\xEF\xBF\xBD.bin"), 1);
  // Depth first: the keys under any directory come as one unbroken run.
  for (const std::string directory : {"a/", "a/b/", "a/b/d/", "c/"}) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i].starts_with(directory)) at.push_back(i);
    }
    ASSERT_FALSE(at.empty());
    EXPECT_EQ(at.back() - at.front() + 1, at.size()) << directory;
  }
}

TEST(LocalStorage, KeysAreNormalised) {
  ScratchDir dir;
  LocalStorage store(dir.path());
  ASSERT_TRUE(store.put("./a//b/./c", Bytes{1}));
  EXPECT_TRUE(fs::is_regular_file(dir / "a/b/c"));
  EXPECT_TRUE(store.get("a/b/c"));
  EXPECT_EQ(*store.list("a//b/"), std::vector<std::string>{"a/b/c"});
  EXPECT_EQ(store.get(std::string_view("a\0b", 3)).error().os_errno(), EINVAL);
}

// The errors of every operation a key can reach; list is left out for keys
// that name the root itself, which it may list.
std::vector<std::pair<const char*, TarnwickError>> refusals(LocalStorage& store, std::string_view key,
                                                            bool names_root) {
  std::vector<std::pair<const char*, TarnwickError>> errors;
  const auto check = [&](const char* op, const auto& result) {
    if (result) {
      ADD_FAILURE() << op << " accepted " << key;
    } else {
      errors.emplace_back(op, result.error());
    }
  };
  const Bytes data = {'o', 'w', 'n', 'e', 'd'};
  const ByteSpan parts[] = {data, data};
  check("put", store.put(key, data));
  check("put_parts", store.put_parts(key, parts));
  check("get", store.get(key));
  check("get_range", store.get_range(key, 0, 4));
  check("exists", store.exists(key));
  check("remove", store.remove(key));
  check("remove_dir", store.remove_dir(key));
  if (!names_root) check("list", store.list(key));
  return errors;
}

TEST(LocalStorageConfinement, RefusesEscapingKeysAndNeverTouchesTheOutside) {
  ScratchDir dir;
  fs::create_directories(dir / "outside/empty");
  write_file(dir / "outside/victim", "keep");
  fs::create_directories(dir / "store");
  fs::create_directory_symlink(dir / "outside", dir / "store/link");
  LocalStorage store(dir / "store");

  struct Case {
    std::string key;
    bool names_root = false;
  };
  const Case cases[] = {
      {"../outside/victim"}, {dir / "outside/victim"}, {"a/../../outside/victim"},
      {"a/./../../outside/victim"}, {"link/victim"}, {"link/empty"}, {"link"}, {"link/new/key"},
      {"../fresh/key"}, {"/"}, {"a/../b"}, {".."}, {"", true}, {".", true}, {"a/..", false},
  };
  for (const auto& [key, names_root] : cases) {
    for (const auto& [op, error] : refusals(store, key, names_root)) {
      EXPECT_EQ(error.display(), "Storage backend error: key '" + key + "' escapes the store root")
          << op << " " << key;
    }
  }
  EXPECT_EQ(read_file(dir / "outside/victim"), "keep");
  EXPECT_EQ(entries(dir / "outside"), (std::set<std::string>{"victim", "empty"}));
  EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"outside", "store"}));
  EXPECT_EQ(entries(dir / "store"), std::set<std::string>{"link"});
}

TEST(LocalStorageConfinement, ListingTheWholeStoreIsAllowed) {
  ScratchDir dir;
  LocalStorage store(dir.path());
  ASSERT_TRUE(store.put("manifest.json", Bytes{'{', '}'}));
  for (const char* prefix : {"", ".", "./"}) {
    EXPECT_EQ(*store.list(prefix), std::vector<std::string>{"manifest.json"}) << prefix;
  }
}

TEST(LocalStorageConfinement, LinksThatStayInsideAndALinkedRootWork) {
  ScratchDir dir;
  fs::create_directories(dir / "data/real");
  fs::create_directory_symlink("real", dir / "data/alias");
  fs::create_directory_symlink(dir / "data", dir / "root");
  LocalStorage store(dir / "root");
  ASSERT_TRUE(store.put("alias/object", Bytes{9}));
  EXPECT_TRUE(fs::is_regular_file(dir / "data/real/object"));
  EXPECT_TRUE(*store.exists("real/object"));
  EXPECT_EQ(store.get("alias/object")->size(), 4096u);
  EXPECT_TRUE(store.remove("alias/object"));
  EXPECT_FALSE(fs::exists(dir / "data/real/object"));
}

}  // namespace
}  // namespace tarnwick
