// The shared backend suite, run against the local store and against the
// fault-injecting wrapper with no faults set (which must be transparent).

#include "storage/local_storage.h"
#include "storage/faulty_storage.h"
#include "storage/scratch_dir.h"
#include "storage/storage_suite.h"

namespace tarnwick {
namespace {

// The root does not exist yet: the first write creates it.
struct LocalEnv {
  static constexpr std::uint64_t kAlignment = LocalStorage::kAlignment;
  ScratchDir dir;
  LocalStorage local{dir / "store"};
  StorageBackend& storage() { return local; }
};

struct FaultyLocalEnv {
  static constexpr std::uint64_t kAlignment = LocalStorage::kAlignment;
  ScratchDir dir;
  FaultyStorage faulty{std::make_shared<LocalStorage>(dir / "store")};
  StorageBackend& storage() { return faulty; }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Local, StorageBackendSuite, LocalEnv);
INSTANTIATE_TYPED_TEST_SUITE_P(FaultyWithoutFaults, StorageBackendSuite, FaultyLocalEnv);

}  // namespace
}  // namespace tarnwick
