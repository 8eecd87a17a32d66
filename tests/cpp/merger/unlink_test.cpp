#include "merger/unlink.h"

#include <gtest/gtest.h>

#include <thread>

#include "format/pack.h"
#include "storage/local_storage.h"
#include "storage/scratch_dir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

struct Store {
  ScratchDir dir;
  LocalStorage storage{dir.path()};
  PendingDeletes pending{true};
  std::shared_ptr<InFlight> inflight = InFlight::create();

  // A snapshot with a pack on disk (and, if legacy, a per-tensor object).
  Snapshot add(bool legacy = false) {
    Snapshot s;
    s.id = *Uuid::new_v4();
    RankEntry rank;
    const std::uint8_t byte = 7;
    if (legacy) {
      TensorEntry t;
      t.name = "w";
      t.filename = snapshot_directory(s.id) + "/w.bin";
      EXPECT_TRUE(storage.put(*t.filename, ByteSpan(&byte, 1)));
      rank.tensors.push_back(t);
    } else {
      rank.pack_file = pack_key(s.id, 0);
      EXPECT_TRUE(storage.put(*rank.pack_file, ByteSpan(&byte, 1)));
    }
    s.ranks.emplace(0, rank);
    return s;
  }

  bool directory_exists(const Snapshot& s) { return *storage.exists(snapshot_directory(s.id)); }
};

TEST(Unlink, DeletesFilesQueuesKeysAndRemovesDirectories) {
  Store store;
  const std::vector<Snapshot> snapshots{store.add(), store.add(/*legacy=*/true), store.add()};
  // A pack already deleted by hand is still queued for the remote.
  ASSERT_TRUE(store.storage.remove(*snapshots[2].ranks.at(0).pack_file));
  unlink_snapshots(store.storage, store.pending, *store.inflight, snapshots, 30s);
  for (const Snapshot& s : snapshots) EXPECT_FALSE(store.directory_exists(s));
  EXPECT_EQ(store.pending.take_all(),
            (std::vector<std::string>{*snapshots[0].ranks.at(0).pack_file,
                                      *snapshots[1].ranks.at(0).tensors[0].filename,
                                      *snapshots[2].ranks.at(0).pack_file}));
}

TEST(Unlink, ReadersThatOutlastTheBudgetKeepEveryFile) {
  Store store;
  const std::vector<Snapshot> snapshots{store.add(), store.add(), store.add()};
  const PinGuard reader = store.inflight->pin({snapshots[1].id});
  testing::internal::CaptureStderr();
  unlink_snapshots(store.storage, store.pending, *store.inflight, snapshots, 1s);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[Tarnwick] 3 dropped snapshot(s) are still being read after 1s; leaving their files "
            "rather than unlinking under the reader\n");
  for (const Snapshot& s : snapshots) EXPECT_TRUE(store.directory_exists(s));
  EXPECT_TRUE(store.pending.take_all().empty());
}

TEST(Unlink, DeletesAsSoonAsTheLastReaderLetsGo) {
  Store store;
  const std::vector<Snapshot> snapshots{store.add()};
  auto reader = std::make_optional(store.inflight->pin({snapshots[0].id}));
  std::thread release([&] {
    std::this_thread::sleep_for(200ms);
    reader.reset();
  });
  unlink_snapshots(store.storage, store.pending, *store.inflight, snapshots, 600s);
  release.join();
  EXPECT_FALSE(store.directory_exists(snapshots[0]));
}

TEST(Unlink, DisabledQueueDropsKeys) {
  Store store;
  PendingDeletes disabled(false);
  unlink_snapshots(store.storage, disabled, *store.inflight, {store.add()}, 1s);
  EXPECT_TRUE(disabled.take_all().empty());
}

}  // namespace
}  // namespace tarnwick
