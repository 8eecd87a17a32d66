#include "storage/faulty_storage.h"

#include <gtest/gtest.h>

#include "storage/local_storage.h"
#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

TEST(FaultyStorage, FailsTheChosenCallWithoutReachingTheBackend) {
  ScratchDir dir;
  FaultyStorage store(std::make_shared<LocalStorage>(dir.path()));
  const Bytes data = {1, 2, 3};
  store.fail_call(StorageOp::Put, 2, TarnwickError::io(ENOSPC));

  EXPECT_TRUE(store.put("one", data));
  const Result<void> second = store.put("two", data);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), TarnwickError::io(ENOSPC));
  EXPECT_FALSE(*store.inner().exists("two"));
  EXPECT_TRUE(store.put("three", data));
  EXPECT_EQ(store.calls(StorageOp::Put), 3u);
  EXPECT_EQ(store.calls(StorageOp::PutParts), 0u) << "each operation counts on its own";
}

TEST(FaultyStorage, FailFromFailsEveryLaterCall) {
  ScratchDir dir;
  FaultyStorage store(std::make_shared<LocalStorage>(dir.path()));
  ASSERT_TRUE(store.put("key", Bytes{1}));
  store.fail_from(StorageOp::Get, 2);
  EXPECT_TRUE(store.get("key"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(store.get("key").error().display(), "Storage backend error: injected fault");
  }
  EXPECT_TRUE(store.get_range("key", 0, 1)) << "other operations pass";
}

}  // namespace
}  // namespace tarnwick
