#pragma once
// A rank's pack written while its tensors are still being encoded.
//
// 1. start opens the pack's object (its temporary file) and writes 32 zero
//    bytes where the header goes.
// 2. Encoding tasks deliver each payload as soon as it is compressed, in any
//    order; a thread of the stream's own appends them in record order and
//    frees each one once written, so compressing and writing overlap and
//    payload buffers are reused while the save is still running.
// 3. finish waits for the last payload, lays out the descriptor from the
//    records, appends it and commits the object with the real header. The
//    bytes are those of a pack written in one piece.
// Dropping the stream before finish succeeds discards the object.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "format/bytes.h"
#include "format/error.h"
#include "format/pack.h"
#include "storage/storage.h"

namespace tarnwick {

class PackStream {
 public:
  // Starts the "tarnwick-writer" thread.
  static Result<std::unique_ptr<PackStream>> start(StorageBackend& storage, std::string key);

  PackStream(const PackStream&) = delete;
  PackStream& operator=(const PackStream&) = delete;
  ~PackStream();

  // The payload of record index (records without one deliver an empty
  // payload so the order can move on). Each index once, from any thread.
  // Fails with the write's error once writing has failed.
  Result<void> deliver(std::size_t index, Bytes payload);

  // Waits until the payload of every record but the aliases (which come
  // last) is written, then writes the descriptor and commits the pack. The
  // descriptor's records must carry the sizes of the payloads delivered.
  Result<PackLayout> finish(PackDescriptor descriptor);

 private:
  PackStream(std::unique_ptr<ObjectWriter> writer, std::string key);
  void write_in_order();

  std::unique_ptr<ObjectWriter> writer_;  // used by the thread until it ends, then by finish
  std::string key_;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_: payloads delivered and not yet written, by index;
  // the next index to write; how many records finish waits for; whether
  // the stream is being dropped; the first write error; payload bytes
  // written.
  std::map<std::size_t, Bytes> waiting_;
  std::size_t next_ = 0;
  std::optional<std::size_t> expected_;
  bool dropping_ = false;
  std::optional<TarnwickError> error_;
  std::uint64_t payload_bytes_ = 0;

  std::thread thread_;
};

}  // namespace tarnwick
