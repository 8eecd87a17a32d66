#include "format/manifest_json.h"

#include <array>
#include <bitset>
#include <cerrno>
#include <new>
#include <string_view>

#include "format/json_reader.h"
#include "format/json_writer.h"

namespace tarnwick {
namespace {

// ---- writing ----

void write_optional(JsonWriter& out, const std::optional<std::string>& text) {
  if (text) {
    out.string(*text);
  } else {
    out.null();
  }
}

void write_optional(JsonWriter& out, const std::optional<Uuid>& id) {
  if (id) {
    out.string(id->to_string());
  } else {
    out.null();
  }
}

void write_compression(JsonWriter& out, const CompressionAlgo& compression) {
  if (!compression.is_zstd()) {
    out.string("None");
    return;
  }
  out.begin_object();
  out.key("Zstd");
  out.begin_object();
  out.key("level");
  out.number(std::int64_t{compression.level});
  out.end_object();
  out.end_object();
}

void write_metadata(JsonWriter& out, const Metadata& metadata) {
  out.begin_object();
  for (const auto& [key, value] : metadata) {
    out.key(key);
    out.string(value);
  }
  out.end_object();
}

void write_tensor(JsonWriter& out, const TensorEntry& tensor) {
  out.begin_object();
  out.key("name");
  out.string(tensor.name);
  out.key("shape");
  out.begin_array();
  for (const std::uint64_t dim : tensor.shape) out.number(dim);
  out.end_array();
  out.key("dtype");
  out.string(tensor.dtype);
  out.key("original_dtype");
  write_optional(out, tensor.original_dtype);
  out.key("quant_scale");
  if (tensor.quant_scale) {
    out.number(*tensor.quant_scale);
  } else {
    out.null();
  }
  out.key("storage");
  out.string(tensor_storage_name(tensor.storage));
  out.key("alias_of");
  write_optional(out, tensor.alias_of);
  out.key("filename");
  write_optional(out, tensor.filename);
  out.key("offset");
  out.number(tensor.offset);
  out.key("compressed_size");
  out.number(tensor.compressed_size);
  out.key("raw_size");
  out.number(tensor.raw_size);
  out.key("hash_raw");
  out.string(tensor.hash_raw);
  out.key("hash_compressed");
  write_optional(out, tensor.hash_compressed);
  out.key("shuffled");
  out.boolean(tensor.shuffled);
  out.end_object();
}

void write_rank(JsonWriter& out, const RankEntry& rank) {
  out.begin_object();
  out.key("rank");
  out.number(std::uint64_t{rank.rank});
  out.key("tensors");
  out.begin_array();
  for (const TensorEntry& tensor : rank.tensors) write_tensor(out, tensor);
  out.end_array();
  out.key("pack_file");
  write_optional(out, rank.pack_file);
  out.key("total_compressed");
  out.number(rank.total_compressed);
  out.key("total_raw");
  out.number(rank.total_raw);
  out.key("skipped_count");
  out.number(rank.skipped_count);
  out.key("delta_count");
  out.number(rank.delta_count);
  out.key("full_count");
  out.number(rank.full_count);
  out.end_object();
}

void write_snapshot(JsonWriter& out, const Snapshot& snapshot) {
  out.begin_object();
  out.key("id");
  out.string(snapshot.id.to_string());
  out.key("step");
  out.number(snapshot.step);
  out.key("created_at");
  out.string(format_rfc3339(snapshot.created_at));
  out.key("ranks");
  out.begin_object();
  for (const auto& [number, rank] : snapshot.ranks) {
    out.key(std::to_string(number));
    write_rank(out, rank);
  }
  out.end_object();
  out.key("base_snapshot_id");
  write_optional(out, snapshot.base_snapshot_id);
  out.key("metadata");
  write_metadata(out, snapshot.metadata);
  out.key("compression");
  write_compression(out, snapshot.compression);
  out.key("finalized");
  out.boolean(snapshot.finalized);
  out.end_object();
}

void write_retention(JsonWriter& out, const RetentionPolicy& retention) {
  out.begin_object();
  out.key("max_full_snapshots");
  out.number(retention.max_full_snapshots);
  out.key("max_deltas_per_full");
  out.number(retention.max_deltas_per_full);
  out.key("full_snapshot_every_steps");
  out.number(retention.full_snapshot_every_steps);
  out.key("max_total_snapshots");
  if (retention.max_total_snapshots) {
    out.number(*retention.max_total_snapshots);
  } else {
    out.null();
  }
  out.end_object();
}

void write_lineage(JsonWriter& out, const LineageConfig& lineage) {
  out.begin_object();
  out.key("rollback_interval_steps");
  out.number(lineage.rollback_interval_steps);
  out.key("max_rollback_snapshots");
  out.number(lineage.max_rollback_snapshots);
  out.end_object();
}

// ---- reading ----

struct Field {
  std::string_view name;
  bool required;
};

// Reads one object: each known member through on_field(its index), unknown
// members skipped. A known member seen twice, or a required one never seen,
// is an error.
template <std::size_t N, class OnField>
Result<void> read_members(JsonReader& in, const std::array<Field, N>& fields, OnField&& on_field) {
  TRY_VOID(in.begin_object());
  std::bitset<N> seen;
  while (true) {
    TRY(const std::optional<std::string_view> key, in.next_key());
    if (!key) break;
    std::size_t i = 0;
    while (i < N && fields[i].name != *key) ++i;
    if (i == N) {
      TRY_VOID(in.skip_value());
      continue;
    }
    if (seen[i]) return Err(in.error("duplicate field `" + std::string(fields[i].name) + "`"));
    seen[i] = true;
    TRY_VOID(on_field(i));
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (fields[i].required && !seen[i]) {
      return Err(in.error("missing field `" + std::string(fields[i].name) + "`"));
    }
  }
  return {};
}

template <class T>
Result<void> assign(T& target, Result<T> value) {
  if (!value) return Err(std::move(value).error());
  target = std::move(*value);
  return {};
}

// Null or absent leaves target none.
template <class T, class Read>
Result<void> assign_optional(JsonReader& in, std::optional<T>& target, Read read) {
  if (in.take_null()) {
    target.reset();
    return {};
  }
  TRY(T value, read());
  target = std::move(value);
  return {};
}

Result<Uuid> read_uuid(JsonReader& in) {
  TRY(const std::string text, in.string());
  auto id = Uuid::parse(text);
  if (!id) {
    return Err(in.error("invalid value: string \"" + text + "\", expected a UUID (" + id.error().text() + ")"));
  }
  return *id;
}

Result<Timestamp> read_timestamp(JsonReader& in) {
  TRY(const std::string text, in.string());
  const std::optional<Timestamp> time = parse_rfc3339(text);
  if (!time) return Err(in.error("invalid value: string \"" + text + "\", expected an RFC 3339 timestamp"));
  return *time;
}

Result<TensorStorage> read_storage(JsonReader& in) {
  TRY(const char next, in.peek_value());
  if (next != '"') return Err(in.invalid_type("a tensor storage name"));
  TRY(const std::string name, in.string());
  for (const TensorStorage storage :
       {TensorStorage::Full, TensorStorage::DeltaXor, TensorStorage::Skipped, TensorStorage::Alias}) {
    if (name == tensor_storage_name(storage)) return storage;
  }
  return Err(in.error("unknown variant `" + name + "`, expected one of `Full`, `DeltaXor`, `Skipped`, `Alias`"));
}

Result<CompressionAlgo> read_compression(JsonReader& in) {
  auto unknown = [&in](std::string_view variant) {
    return in.error("unknown variant `" + std::string(variant) + "`, expected `None` or `Zstd`");
  };
  TRY(const char next, in.peek_value());
  if (next == '"') {
    TRY(const std::string name, in.string());
    if (name != "None") return Err(unknown(name));
    return CompressionAlgo::none();
  }
  if (next != '{') return Err(in.invalid_type("`None` or an object with member `Zstd`"));
  TRY_VOID(in.begin_object());
  TRY(const std::optional<std::string_view> key, in.next_key());
  if (!key) return Err(in.error("invalid value: empty map, expected `None` or `Zstd`"));
  CompressionAlgo compression;
  if (*key == "Zstd") {
    static constexpr std::array<Field, 1> kFields = {{{"level", true}}};
    std::int32_t level = 0;
    TRY_VOID(read_members(in, kFields, [&](std::size_t) { return assign(level, in.i32()); }));
    compression = CompressionAlgo::zstd(level);
  } else if (*key == "None") {
    // The variant in object form carries no data.
    if (!in.take_null()) return Err(in.invalid_type("null"));
    compression = CompressionAlgo::none();
  } else {
    return Err(unknown(*key));
  }
  TRY(const std::optional<std::string_view> extra, in.next_key());
  if (extra) return Err(in.error("invalid value: map with more than one member, expected `None` or `Zstd`"));
  return compression;
}

Result<Metadata> read_metadata(JsonReader& in) {
  Metadata metadata;
  TRY_VOID(in.begin_object());
  while (true) {
    TRY(const std::optional<std::string_view> key, in.next_key());
    if (!key) return metadata;
    std::string name(*key);
    TRY(std::string value, in.string());
    if (!metadata.try_emplace(std::move(name), std::move(value)).second) {
      return Err(in.error("duplicate field `" + name + "`"));  // name is kept when insertion fails
    }
  }
}

Result<std::vector<std::uint64_t>> read_shape(JsonReader& in) {
  std::vector<std::uint64_t> shape;
  TRY_VOID(in.begin_array());
  while (true) {
    TRY(const bool more, in.next_element());
    if (!more) return shape;
    TRY(const std::uint64_t dim, in.u64());
    shape.push_back(dim);
  }
}

Result<TensorEntry> read_tensor(JsonReader& in) {
  static constexpr std::array<Field, 14> kFields = {{
      {"name", true}, {"shape", true}, {"dtype", true}, {"original_dtype", false},
      {"quant_scale", false}, {"storage", true}, {"alias_of", false}, {"filename", false},
      {"offset", false}, {"compressed_size", true}, {"raw_size", true}, {"hash_raw", true},
      {"hash_compressed", false}, {"shuffled", false},
  }};
  TensorEntry t;
  auto text = [&in] { return in.string(); };
  TRY_VOID(read_members(in, kFields, [&](std::size_t i) -> Result<void> {
    switch (i) {
      case 0: return assign(t.name, in.string());
      case 1: return assign(t.shape, read_shape(in));
      case 2: return assign(t.dtype, in.string());
      case 3: return assign_optional(in, t.original_dtype, text);
      case 4: return assign_optional(in, t.quant_scale, [&in] { return in.f32(); });
      case 5: return assign(t.storage, read_storage(in));
      case 6: return assign_optional(in, t.alias_of, text);
      case 7: return assign_optional(in, t.filename, text);
      case 8: return assign(t.offset, in.u64());
      case 9: return assign(t.compressed_size, in.u64());
      case 10: return assign(t.raw_size, in.u64());
      case 11: return assign(t.hash_raw, in.string());
      case 12: return assign_optional(in, t.hash_compressed, text);
      default: return assign(t.shuffled, in.boolean());
    }
  }));
  return t;
}

Result<std::vector<TensorEntry>> read_tensors(JsonReader& in) {
  std::vector<TensorEntry> tensors;
  TRY_VOID(in.begin_array());
  while (true) {
    TRY(const bool more, in.next_element());
    if (!more) return tensors;
    TRY(TensorEntry tensor, read_tensor(in));
    tensors.push_back(std::move(tensor));
  }
}

Result<RankEntry> read_rank(JsonReader& in) {
  static constexpr std::array<Field, 8> kFields = {{
      {"rank", true}, {"tensors", true}, {"pack_file", false}, {"total_compressed", true},
      {"total_raw", true}, {"skipped_count", true}, {"delta_count", true}, {"full_count", true},
  }};
  RankEntry r;
  TRY_VOID(read_members(in, kFields, [&](std::size_t i) -> Result<void> {
    switch (i) {
      case 0: return assign(r.rank, in.u32());
      case 1: return assign(r.tensors, read_tensors(in));
      case 2: return assign_optional(in, r.pack_file, [&in] { return in.string(); });
      case 3: return assign(r.total_compressed, in.u64());
      case 4: return assign(r.total_raw, in.u64());
      case 5: return assign(r.skipped_count, in.u64());
      case 6: return assign(r.delta_count, in.u64());
      default: return assign(r.full_count, in.u64());
    }
  }));
  return r;
}

// A rank number as a map key: plain decimal, no sign, no leading zeros.
std::optional<std::uint32_t> parse_rank_key(std::string_view key) {
  if (key.empty() || key.size() > 10 || (key.size() > 1 && key[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : key) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

Result<std::map<std::uint32_t, RankEntry>> read_ranks(JsonReader& in) {
  std::map<std::uint32_t, RankEntry> ranks;
  TRY_VOID(in.begin_object());
  while (true) {
    TRY(const std::optional<std::string_view> key, in.next_key());
    if (!key) return ranks;
    const std::optional<std::uint32_t> number = parse_rank_key(*key);
    if (!number) return Err(in.error("invalid type: string \"" + std::string(*key) + "\", expected u32"));
    if (ranks.contains(*number)) return Err(in.error("duplicate field `" + std::string(*key) + "`"));
    TRY(RankEntry rank, read_rank(in));
    ranks.emplace(*number, std::move(rank));
  }
}

Result<Snapshot> read_snapshot(JsonReader& in) {
  static constexpr std::array<Field, 8> kFields = {{
      {"id", true}, {"step", true}, {"created_at", true}, {"ranks", true},
      {"base_snapshot_id", false}, {"metadata", true}, {"compression", true}, {"finalized", true},
  }};
  Snapshot s;
  TRY_VOID(read_members(in, kFields, [&](std::size_t i) -> Result<void> {
    switch (i) {
      case 0: return assign(s.id, read_uuid(in));
      case 1: return assign(s.step, in.u64());
      case 2: return assign(s.created_at, read_timestamp(in));
      case 3: return assign(s.ranks, read_ranks(in));
      case 4: return assign_optional(in, s.base_snapshot_id, [&in] { return read_uuid(in); });
      case 5: return assign(s.metadata, read_metadata(in));
      case 6: return assign(s.compression, read_compression(in));
      default: return assign(s.finalized, in.boolean());
    }
  }));
  return s;
}

Result<std::vector<Snapshot>> read_snapshots(JsonReader& in) {
  std::vector<Snapshot> snapshots;
  TRY_VOID(in.begin_array());
  while (true) {
    TRY(const bool more, in.next_element());
    if (!more) return snapshots;
    TRY(Snapshot snapshot, read_snapshot(in));
    snapshots.push_back(std::move(snapshot));
  }
}

Result<RetentionPolicy> read_retention(JsonReader& in) {
  static constexpr std::array<Field, 4> kFields = {{
      {"max_full_snapshots", true}, {"max_deltas_per_full", true},
      {"full_snapshot_every_steps", true}, {"max_total_snapshots", false},
  }};
  RetentionPolicy r;
  TRY_VOID(read_members(in, kFields, [&](std::size_t i) -> Result<void> {
    switch (i) {
      case 0: return assign(r.max_full_snapshots, in.u64());
      case 1: return assign(r.max_deltas_per_full, in.u64());
      case 2: return assign(r.full_snapshot_every_steps, in.u64());
      default: return assign_optional(in, r.max_total_snapshots, [&in] { return in.u64(); });
    }
  }));
  return r;
}

Result<LineageConfig> read_lineage(JsonReader& in) {
  static constexpr std::array<Field, 2> kFields = {{
      {"rollback_interval_steps", true}, {"max_rollback_snapshots", true},
  }};
  LineageConfig l;
  TRY_VOID(read_members(in, kFields, [&](std::size_t i) -> Result<void> {
    if (i == 0) return assign(l.rollback_interval_steps, in.u64());
    return assign(l.max_rollback_snapshots, in.u64());
  }));
  return l;
}

Result<Manifest> read_manifest(JsonReader& in) {
  static constexpr std::array<Field, 5> kFields = {{
      {"format_version", true}, {"world_size", true}, {"snapshots", true},
      {"retention", true}, {"lineage", true},
  }};
  Manifest m;
  TRY_VOID(read_members(in, kFields, [&](std::size_t i) -> Result<void> {
    switch (i) {
      case 0: return assign(m.format_version, in.u32());
      case 1: return assign(m.world_size, in.u32());
      case 2: return assign(m.snapshots, read_snapshots(in));
      case 3: return assign(m.retention, read_retention(in));
      default: return assign(m.lineage, read_lineage(in));
    }
  }));
  return m;
}

Result<PackDescriptor> read_descriptor(JsonReader& in) {
  static constexpr std::array<Field, 8> kFields = {{
      {"snapshot_id", true}, {"step", true}, {"created_at", true}, {"base_snapshot_id", false},
      {"metadata", true}, {"compression", true}, {"world_size", true}, {"rank", true},
  }};
  PackDescriptor d;
  TRY_VOID(read_members(in, kFields, [&](std::size_t i) -> Result<void> {
    switch (i) {
      case 0: return assign(d.snapshot_id, read_uuid(in));
      case 1: return assign(d.step, in.u64());
      case 2: return assign(d.created_at, read_timestamp(in));
      case 3: return assign_optional(in, d.base_snapshot_id, [&in] { return read_uuid(in); });
      case 4: return assign(d.metadata, read_metadata(in));
      case 5: return assign(d.compression, read_compression(in));
      case 6: return assign(d.world_size, in.u32());
      default: return assign(d.rank, read_rank(in));
    }
  }));
  return d;
}

// Parses one whole document with read, after dropping trailing zero bytes.
// Running out of memory on a huge document is reported, not thrown.
template <class T>
Result<T> read_document(ByteSpan bytes, Result<T> (*read)(JsonReader&)) {
  std::size_t size = bytes.size();
  while (size > 0 && bytes[size - 1] == 0) --size;
  try {
    JsonReader in(std::string_view(reinterpret_cast<const char*>(bytes.data()), size));
    TRY(T value, read(in));
    TRY_VOID(in.finish());
    return value;
  } catch (const std::bad_alloc&) {
    return Err(TarnwickError::io(ENOMEM));
  }
}

// Room for a rank's records: about 700 bytes per tensor in the pretty
// layout, less in the compact one; reserving unused room costs nothing.
std::size_t size_estimate(const RankEntry& rank) { return 1024 + 768 * rank.tensors.size(); }

std::size_t size_estimate(const Manifest& manifest) {
  std::size_t bytes = 1024;
  for (const Snapshot& snapshot : manifest.snapshots) {
    bytes += 1024;
    for (const auto& [number, rank] : snapshot.ranks) bytes += size_estimate(rank);
  }
  return bytes;
}

std::size_t size_estimate(const PackDescriptor& descriptor) { return 1024 + size_estimate(descriptor.rank); }

template <class T>
Result<std::string> write_document(JsonWriter::Layout layout, const T& value,
                                   void (*write)(JsonWriter&, const T&)) {
  try {
    JsonWriter out(layout);
    out.reserve(size_estimate(value));
    write(out, value);
    return std::move(out).finish();
  } catch (const std::bad_alloc&) {
    return Err(TarnwickError::io(ENOMEM));
  }
}

void write_manifest(JsonWriter& out, const Manifest& manifest) {
  out.begin_object();
  out.key("format_version");
  out.number(std::uint64_t{manifest.format_version});
  out.key("world_size");
  out.number(std::uint64_t{manifest.world_size});
  out.key("snapshots");
  out.begin_array();
  for (const Snapshot& snapshot : manifest.snapshots) write_snapshot(out, snapshot);
  out.end_array();
  out.key("retention");
  write_retention(out, manifest.retention);
  out.key("lineage");
  write_lineage(out, manifest.lineage);
  out.end_object();
}

void write_descriptor(JsonWriter& out, const PackDescriptor& descriptor) {
  out.begin_object();
  out.key("snapshot_id");
  out.string(descriptor.snapshot_id.to_string());
  out.key("step");
  out.number(descriptor.step);
  out.key("created_at");
  out.string(format_rfc3339(descriptor.created_at));
  out.key("base_snapshot_id");
  write_optional(out, descriptor.base_snapshot_id);
  out.key("metadata");
  write_metadata(out, descriptor.metadata);
  out.key("compression");
  write_compression(out, descriptor.compression);
  out.key("world_size");
  out.number(std::uint64_t{descriptor.world_size});
  out.key("rank");
  write_rank(out, descriptor.rank);
  out.end_object();
}

}  // namespace

Result<std::string> manifest_to_json(const Manifest& manifest) {
  return write_document(JsonWriter::Layout::Pretty, manifest, write_manifest);
}

Result<Manifest> manifest_from_json(ByteSpan bytes) { return read_document(bytes, read_manifest); }

Result<std::string> pack_descriptor_to_json(const PackDescriptor& descriptor) {
  return write_document(JsonWriter::Layout::Compact, descriptor, write_descriptor);
}

Result<PackDescriptor> pack_descriptor_from_json(ByteSpan bytes) {
  return read_document(bytes, read_descriptor);
}

}  // namespace tarnwick
