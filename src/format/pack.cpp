#include "format/pack.h"

#include <cstring>

#include "format/manifest_json.h"

namespace tarnwick {
namespace {

constexpr char kMagic[8] = {'T', 'A', 'R', 'N', 'P', 'A', 'C', 'K'};
constexpr std::uint64_t kVersion = 1;

void store_le64(std::uint8_t* out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t load_le(const std::uint8_t* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
  return value;
}

}  // namespace

std::string snapshot_directory(const Uuid& id) { return "snapshots/" + id.to_string(); }

std::string pack_key(std::string_view directory, std::uint32_t rank) {
  return std::string(directory) + "/rank_" + std::to_string(rank) + ".pack";
}

std::string pack_key(const Uuid& id, std::uint32_t rank) { return pack_key(snapshot_directory(id), rank); }

std::vector<ByteSpan> BuiltPack::parts() const {
  std::vector<ByteSpan> parts;
  parts.reserve(payloads.size() + 2);
  parts.emplace_back(header);
  parts.insert(parts.end(), payloads.begin(), payloads.end());
  parts.push_back(descriptor_bytes());
  return parts;
}

Result<PackLayout> lay_out_pack(std::string key, PackDescriptor descriptor) {
  RankEntry& rank = descriptor.rank;
  rank.pack_file = std::move(key);
  rank.total_compressed = rank.total_raw = 0;
  rank.skipped_count = rank.delta_count = rank.full_count = 0;
  std::uint64_t offset = kPackHeaderSize;
  for (TensorEntry& tensor : rank.tensors) {
    rank.total_raw += tensor.raw_size;
    if (!has_payload(tensor.storage)) {
      tensor.offset = 0;
      tensor.compressed_size = 0;
      ++rank.skipped_count;
      continue;
    }
    ++(tensor.storage == TensorStorage::Full ? rank.full_count : rank.delta_count);
    tensor.offset = offset;
    offset += tensor.compressed_size;
    rank.total_compressed += tensor.compressed_size;
  }
  PackLayout layout;
  TRY(layout.descriptor_json, pack_descriptor_to_json(descriptor));
  std::memcpy(layout.header.data(), kMagic, sizeof kMagic);
  store_le64(layout.header.data() + 8, kVersion);
  store_le64(layout.header.data() + 16, offset);
  store_le64(layout.header.data() + 24, layout.descriptor_json.size());
  layout.descriptor = std::move(descriptor);
  return layout;
}

Result<BuiltPack> build_pack(std::string key, PackDescriptor descriptor, std::span<const ByteSpan> payloads) {
  std::vector<TensorEntry>& records = descriptor.rank.tensors;
  if (payloads.size() != records.size()) {
    return Err(TarnwickError::storage(key + ": " + std::to_string(payloads.size()) + " payloads for " +
                                      std::to_string(records.size()) + " tensor records"));
  }
  BuiltPack pack;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!has_payload(records[i].storage)) continue;
    records[i].compressed_size = payloads[i].size();
    pack.payloads.push_back(payloads[i]);
  }
  TRY(PackLayout layout, lay_out_pack(std::move(key), std::move(descriptor)));
  static_cast<PackLayout&>(pack) = std::move(layout);
  return pack;
}

Result<void> write_pack(StorageBackend& storage, const BuiltPack& pack) {
  const std::vector<ByteSpan> parts = pack.parts();
  return storage.put_parts(pack.key(), parts);
}

Result<PackDescriptor> read_pack_descriptor(StorageBackend& storage, std::string_view key) {
  const std::string name(key);
  TRY(const Bytes header, storage.get_range(key, 0, kPackHeaderSize));
  const auto no_header = [&name] { return Err(TarnwickError::storage(name + " has no pack header")); };
  if (header.size() < kPackHeaderSize || std::memcmp(header.data(), kMagic, sizeof kMagic) != 0 ||
      load_le(header.data() + 8, 4) != kVersion) {
    return no_header();
  }
  const std::uint64_t offset = load_le(header.data() + 16, 8);
  const std::uint64_t length = load_le(header.data() + 24, 8);
  // A descriptor inside the header, or one that ends past 2^64, cannot
  // have been written by anyone: the header itself is damaged.
  if (offset < kPackHeaderSize || length > UINT64_MAX - offset) return no_header();
  TRY(const Bytes descriptor, storage.get_range(key, offset, length));
  if (descriptor.size() != length) {
    return Err(TarnwickError::storage(name + " is truncated: the rank that wrote it did not finish"));
  }
  auto parsed = pack_descriptor_from_json(descriptor);
  if (!parsed && parsed.error().kind() == TarnwickError::Kind::Serialization) {
    return Err(TarnwickError::serialization(name + ": " + parsed.error().text()));
  }
  return parsed;
}

Result<PackDescriptor> check_pack(StorageBackend& storage, std::string_view key, const Uuid& expected) {
  TRY(PackDescriptor descriptor, read_pack_descriptor(storage, key));
  if (descriptor.snapshot_id != expected) {
    return Err(TarnwickError::storage(std::string(key) + " belongs to snapshot " +
                                      descriptor.snapshot_id.to_string() + ", not " + expected.to_string()));
  }
  return descriptor;
}

std::optional<ByteSpan> payload_in(ByteSpan pack, const TensorEntry& entry) {
  if (entry.offset > pack.size() || entry.compressed_size > pack.size() - entry.offset) return std::nullopt;
  return pack.subspan(entry.offset, entry.compressed_size);
}

}  // namespace tarnwick
