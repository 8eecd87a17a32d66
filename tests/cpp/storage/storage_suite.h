#pragma once
// Behaviour every StorageBackend shares, as a typed GoogleTest suite.
//
// The type parameter is an environment: default-constructing it gives a
// fresh, empty store; env.storage() is the backend under test; and
// Env::kAlignment is the padding the backend adds to stored objects (0 for
// none), which get and get_range return as part of the object.
//
// Instantiate it once per backend:
//   INSTANTIATE_TYPED_TEST_SUITE_P(Local, StorageBackendSuite, LocalEnv);
//
// Listing is only tested with directory-like prefixes: a bucket lists by
// plain text prefix, the local store by directory. Ranges that start at or
// past the end are local-only too (a bucket refuses them).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/storage.h"

namespace tarnwick {

template <class Env>
class StorageBackendSuite : public ::testing::Test {
 protected:
  StorageBackend& store() { return env_.storage(); }

  // size bytes of a pattern that differs at every position modulo 251.
  static Bytes pattern(std::size_t size, std::uint8_t seed = 0) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i + seed) % 251);
    return bytes;
  }

  // What reading back an object written with data returns.
  static Bytes stored(ByteSpan data) {
    Bytes bytes = bytes_of(data);
    const std::uint64_t alignment = Env::kAlignment;
    if (alignment != 0 && bytes.size() % alignment != 0) {
      bytes.resize(bytes.size() + alignment - bytes.size() % alignment, 0);
    }
    return bytes;
  }

  static std::set<std::string> as_set(const std::vector<std::string>& keys) {
    return {keys.begin(), keys.end()};
  }

  Env env_;
};

TYPED_TEST_SUITE_P(StorageBackendSuite);

TYPED_TEST_P(StorageBackendSuite, GetReturnsWhatPutWrote) {
  for (const std::size_t size : {0, 1, 4095, 4096, 4097, 3 << 20}) {
    const Bytes data = this->pattern(size);
    const std::string key = "objects/size_" + std::to_string(size);
    ASSERT_TRUE(this->store().put(key, data)) << size;
    const Result<Bytes> back = this->store().get(key);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_TRUE(*back == this->stored(data)) << size;
  }
}

TYPED_TEST_P(StorageBackendSuite, PutPartsWritesThePartsInOrder) {
  const Bytes head = this->pattern(32, 7), tail = this->pattern(10000, 3);
  const Bytes empty;
  const ByteSpan parts[] = {head, empty, tail};
  ASSERT_TRUE(this->store().put_parts("pack", parts));
  Bytes joined = head;
  joined.insert(joined.end(), tail.begin(), tail.end());
  EXPECT_TRUE(*this->store().get("pack") == this->stored(joined));

  ASSERT_TRUE(this->store().put_parts("nothing", {}));
  EXPECT_TRUE(this->store().get("nothing")->empty());
}

// Pieces of uneven sizes, so that they straddle any internal buffering, and
// a head written over the first bytes at commit, as a pack's header is.
TYPED_TEST_P(StorageBackendSuite, StartPutStoresItsPiecesWithTheHeadReplaced) {
  const std::size_t piece_sizes[][4] = {
      {32, 0, 0, 0}, {32, 1, 4063, 5000}, {4096, (8 << 20) - 4096, 1, 0}, {100, 9 << 20, 8 << 20, 77}};
  int object = 0;
  for (const auto& sizes : piece_sizes) {
    const std::string key = "streamed/" + std::to_string(object++);
    Result<std::unique_ptr<ObjectWriter>> writer = this->store().start_put(key);
    ASSERT_TRUE(writer) << writer.error().display();
    Bytes expected;
    for (std::size_t i = 0; i < 4; ++i) {
      const Bytes piece = this->pattern(sizes[i], static_cast<std::uint8_t>(i));
      ASSERT_TRUE((*writer)->append(piece));
      expected.insert(expected.end(), piece.begin(), piece.end());
    }
    EXPECT_FALSE(*this->store().exists(key)) << key;
    const Bytes head = this->pattern(32, 200);
    std::copy(head.begin(), head.end(), expected.begin());
    const Result<void> committed = (*writer)->commit(head);
    ASSERT_TRUE(committed) << committed.error().display();
    EXPECT_TRUE(*this->store().get(key) == this->stored(expected)) << key;
  }
}

TYPED_TEST_P(StorageBackendSuite, StartPutWithoutCommitLeavesNothing) {
  {
    Result<std::unique_ptr<ObjectWriter>> writer = this->store().start_put("dropped/object");
    ASSERT_TRUE(writer);
    ASSERT_TRUE((*writer)->append(this->pattern(10 << 20)));
  }
  EXPECT_FALSE(*this->store().exists("dropped/object"));
  EXPECT_TRUE(this->store().list("dropped")->empty());

  Result<std::unique_ptr<ObjectWriter>> writer = this->store().start_put("short");
  ASSERT_TRUE(writer);
  ASSERT_TRUE((*writer)->append(this->pattern(8)));
  const Result<void> committed = (*writer)->commit(this->pattern(32));
  ASSERT_FALSE(committed);
  EXPECT_EQ(committed.error().text(), "a head of 32 bytes cannot replace the start of an object of 8 bytes");
  EXPECT_FALSE(*this->store().exists("short"));
}

TYPED_TEST_P(StorageBackendSuite, PutReplacesTheWholeObject) {
  ASSERT_TRUE(this->store().put("manifest.json", this->pattern(9000, 1)));
  const Bytes shorter = this->pattern(10, 2);
  ASSERT_TRUE(this->store().put("manifest.json", shorter));
  EXPECT_TRUE(*this->store().get("manifest.json") == this->stored(shorter));
}

TYPED_TEST_P(StorageBackendSuite, MissingObjectIsCheckpointNotFoundWithItsKey) {
  const std::string key = "snapshots/none/rank_0.pack";
  const Result<Bytes> whole = this->store().get(key);
  const Result<Bytes> range = this->store().get_range(key, 0, 16);
  for (const Result<Bytes>* read : {&whole, &range}) {
    ASSERT_FALSE(*read);
    EXPECT_EQ(read->error().kind(), TarnwickError::Kind::CheckpointNotFound);
    EXPECT_EQ(read->error().display(), "Checkpoint not found: " + key);
  }
}

TYPED_TEST_P(StorageBackendSuite, GetRangeReturnsAtMostTheBytesThatExist) {
  const Bytes data = this->pattern(10000);
  ASSERT_TRUE(this->store().put("blob", data));
  const Bytes whole = this->stored(data);
  struct Case {
    std::uint64_t offset, length;
  };
  const Case cases[] = {
      {0, 10}, {9990, 10}, {4000, 200}, {whole.size() - 5, 100}, {0, whole.size() + 1}, {0, 0},
  };
  for (const Case& c : cases) {
    const Result<Bytes> got = this->store().get_range("blob", c.offset, c.length);
    ASSERT_TRUE(got) << c.offset << " " << got.error().display();
    const std::size_t end = std::min<std::uint64_t>(whole.size(), c.offset + c.length);
    EXPECT_TRUE(*got == Bytes(whole.begin() + c.offset, whole.begin() + end))
        << c.offset << "+" << c.length;
  }
}

TYPED_TEST_P(StorageBackendSuite, ExistsAndRemoveFollowTheObject) {
  EXPECT_FALSE(*this->store().exists("a/key"));
  EXPECT_TRUE(this->store().remove("a/key")) << "removing a missing object succeeds";
  ASSERT_TRUE(this->store().put("a/key", this->pattern(5)));
  ASSERT_TRUE(this->store().put("a/other", this->pattern(5)));
  EXPECT_TRUE(*this->store().exists("a/key"));
  ASSERT_TRUE(this->store().remove("a/key"));
  EXPECT_FALSE(*this->store().exists("a/key"));
  EXPECT_TRUE(*this->store().exists("a/other"));
  EXPECT_EQ(this->store().get("a/key").error().kind(), TarnwickError::Kind::CheckpointNotFound);
}

TYPED_TEST_P(StorageBackendSuite, ListGivesStoreKeysUnderAPrefix) {
  const std::vector<std::string> keys = {
      "manifest.json", "snapshots/a/rank_0.pack", "snapshots/a/rank_1.pack",
      "snapshots/b/rank_0.pack", "other/x"};
  for (const std::string& key : keys) ASSERT_TRUE(this->store().put(key, this->pattern(3)));
  using Keys = std::set<std::string>;
  EXPECT_EQ(this->as_set(*this->store().list("")), Keys(keys.begin(), keys.end()));
  EXPECT_EQ(this->as_set(*this->store().list("snapshots")),
            (Keys{"snapshots/a/rank_0.pack", "snapshots/a/rank_1.pack", "snapshots/b/rank_0.pack"}));
  EXPECT_EQ(this->as_set(*this->store().list("snapshots/a")),
            (Keys{"snapshots/a/rank_0.pack", "snapshots/a/rank_1.pack"}));
  EXPECT_TRUE(this->store().list("nowhere")->empty());
  EXPECT_EQ(this->store().list("").value().size(), keys.size()) << "no key listed twice";
}

TYPED_TEST_P(StorageBackendSuite, ConcurrentWritersOfOneKeyLeaveOneWholeVersion) {
  // Two writers replace one object with versions of different lengths and
  // bytes; a reader must only ever see one of them whole.
  const Bytes first = this->pattern(6000, 1), second = this->pattern(9000, 2);
  const Bytes first_stored = this->stored(first), second_stored = this->stored(second);
  ASSERT_TRUE(this->store().put("shared", first));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, failed{0};
  auto writer = [&](const Bytes& version) {
    for (int i = 0; i < 40; ++i) {
      if (!this->store().put("shared", version)) ++failed;
    }
  };
  std::thread reader([&] {
    while (!done) {
      const Result<Bytes> seen = this->store().get("shared");
      if (!seen) {
        ++failed;
      } else if (*seen != first_stored && *seen != second_stored) {
        ++torn;
      }
    }
  });
  std::thread a(writer, std::cref(first)), b(writer, std::cref(second));
  a.join();
  b.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(failed, 0);
  const Bytes last = *this->store().get("shared");
  EXPECT_TRUE(last == first_stored || last == second_stored);
}

REGISTER_TYPED_TEST_SUITE_P(StorageBackendSuite, GetReturnsWhatPutWrote,
                            PutPartsWritesThePartsInOrder,
                            StartPutStoresItsPiecesWithTheHeadReplaced,
                            StartPutWithoutCommitLeavesNothing, PutReplacesTheWholeObject,
                            MissingObjectIsCheckpointNotFoundWithItsKey,
                            GetRangeReturnsAtMostTheBytesThatExist, ExistsAndRemoveFollowTheObject,
                            ListGivesStoreKeysUnderAPrefix,
                            ConcurrentWritersOfOneKeyLeaveOneWholeVersion);

}  // namespace tarnwick
