#pragma once
// Pack files: all payloads one rank saves into one snapshot, in a single
// self-describing object at "snapshots/<id>/rank_<r>.pack".
//
// Layout (integers little-endian):
//   0   "TARNPACK"
//   8   version, 64-bit, 1 (readers check only the low 32 bits)
//   16  descriptor offset, 64-bit
//   24  descriptor length, 64-bit
//   32  the payloads of the Full and DeltaXor records, back to back, in
//       record order
//   ... the descriptor: compact JSON of the PackDescriptor
// The store may pad the object with zeros; readers go by the header.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/bytes.h"
#include "format/error.h"
#include "format/manifest.h"
#include "format/uuid.h"
#include "storage/storage.h"

namespace tarnwick {

inline constexpr std::size_t kPackHeaderSize = 32;

// "snapshots/<id>", the directory of a snapshot's packs.
std::string snapshot_directory(const Uuid& id);
// "<directory>/rank_<rank>.pack".
std::string pack_key(std::string_view directory, std::uint32_t rank);
// "snapshots/<id>/rank_<rank>.pack".
std::string pack_key(const Uuid& id, std::uint32_t rank);

// The header and descriptor of a pack. Its payloads are the records'
// payloads in record order; how they reach the store is up to the writer.
struct PackLayout {
  // The descriptor as written: the rank's records carry their final
  // offsets, pack_file is the key, totals and counts are filled in.
  PackDescriptor descriptor;
  std::array<std::uint8_t, kPackHeaderSize> header{};
  std::string descriptor_json;

  const std::string& key() const { return *descriptor.rank.pack_file; }
  ByteSpan descriptor_bytes() const {
    return {reinterpret_cast<const std::uint8_t*>(descriptor_json.data()), descriptor_json.size()};
  }
};

// Lays out the pack of key from descriptor, whose rank.tensors are the
// records in order with compressed_size set to their payload lengths.
// Skipped and Alias records get offset 0 and compressed_size 0; the others
// get offsets from 32 on. Fails (Serialization) when the descriptor cannot
// be written as JSON.
Result<PackLayout> lay_out_pack(std::string key, PackDescriptor descriptor);

// A pack laid out with its payloads at hand, views of the caller's
// buffers, which must outlive it.
struct BuiltPack : PackLayout {
  std::vector<ByteSpan> payloads;  // only the records that have one, in order

  // The parts for put_parts: header, payloads, descriptor. They point into
  // this value and the caller's buffers; nothing is copied.
  std::vector<ByteSpan> parts() const;
};

// lay_out_pack with each record's compressed_size taken from payloads[i],
// the stored bytes of record i (ignored for Skipped and Alias). Also fails
// on a payload count that differs from the record count.
Result<BuiltPack> build_pack(std::string key, PackDescriptor descriptor, std::span<const ByteSpan> payloads);

// Writes the pack with one put_parts call; the payloads are never joined.
Result<void> write_pack(StorageBackend& storage, const BuiltPack& pack);

// Checks the header and reads the descriptor with two ranged reads,
// whatever the payload size. Errors: "{key} has no pack header" and
// "{key} is truncated: the rank that wrote it did not finish" (Storage
// backend), "{key}: {reader's message}" (Serialization); errors of the
// storage calls pass through unchanged.
Result<PackDescriptor> read_pack_descriptor(StorageBackend& storage, std::string_view key);

// read_pack_descriptor, then "{key} belongs to snapshot {found}, not
// {expected}" (Storage backend) when the descriptor names another snapshot.
Result<PackDescriptor> check_pack(StorageBackend& storage, std::string_view key, const Uuid& expected);

// The record's payload inside the bytes of its pack, or none when the
// range [offset, offset + compressed_size) does not fit inside them.
std::optional<ByteSpan> payload_in(ByteSpan pack, const TensorEntry& entry);

}  // namespace tarnwick
