#include "encoding/save_pipeline.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "encoding/cast.h"
#include "encoding/compression.h"
#include "encoding/delta.h"
#include "encoding/hash.h"
#include "encoding/shuffle.h"
#include "runtime/pool.h"
#include "runtime/profile.h"

namespace tarnwick {
namespace {

// The first at most kSampleDecodeBytes stored bytes of a base record, read
// from a prefix of its payload. None on any failure: a missing sample only
// means the probe waits for the whole base.
std::optional<Bytes> sample_prefix(const BaseCache& base, const TensorEntry& record) {
  const std::uint64_t wanted = std::min(record.compressed_size, kSampleReadBytes);
  Bytes head;
  if (base.pack_file) {
    Result<Bytes> read = base.storage->get_range(*base.pack_file, record.offset, wanted);
    if (!read) return std::nullopt;
    head = std::move(*read);
  } else {
    if (!record.filename) return std::nullopt;
    Result<Bytes> read = base.storage->get(*record.filename);
    if (!read) return std::nullopt;
    head = std::move(*read);
    if (head.size() > wanted) head.resize(wanted);
  }
  if (base.compression.is_zstd()) {
    Bytes sample = decompress_prefix(head, kSampleDecodeBytes);
    if (sample.empty()) return std::nullopt;
    return sample;
  }
  if (head.size() > kSampleDecodeBytes) head.resize(kSampleDecodeBytes);
  return head;
}

// The base record's whole stored bytes, or none when they cannot be had (the
// tensor is then stored Full). A failed read of the base pack, and a base
// payload that does not decompress, fail the save.
Result<std::optional<Bytes>> read_base_bytes(const BaseCache& base, const TensorEntry& record) {
  Bytes compressed;
  if (base.pack_file) {
    TRY(compressed, base.storage->get_range(*base.pack_file, record.offset, record.compressed_size));
    if (compressed.size() != record.compressed_size) return std::nullopt;
  } else {
    if (!record.filename) return std::nullopt;
    Result<Bytes> read = base.storage->get(*record.filename);
    if (!read) return std::nullopt;
    compressed = std::move(*read);
    if (record.compressed_size != 0 && record.compressed_size <= compressed.size()) {
      compressed.resize(record.compressed_size);
    }
  }
  TRY(Bytes raw, decompress(compressed, base.compression));
  // A delta is only as good as its base: one made against damaged base
  // bytes could never be loaded, so a base that does not match its own hash
  // is not used.
  if (raw.size() != record.raw_size || hash_hex(raw) != record.hash_raw) return std::nullopt;
  return std::optional<Bytes>(std::move(raw));
}

// The XOR of the tensor's stored bytes with its base counterpart when a
// delta is the better way to store them; none when it should be Full.
Result<std::optional<Bytes>> delta_against_base(const BaseCache& base, const TensorEntry& record,
                                                ByteSpan stored, std::string_view dtype,
                                                const SaveSettings& settings) {
  if (record.raw_size != stored.size() || stored.size() < kMinDedupBytes ||
      record.storage != TensorStorage::Full) {
    return std::nullopt;
  }
  const std::size_t elem = element_size(dtype);
  auto probe = [&](ByteSpan base_bytes) {
    return timed(Phase::PaysOffProbe, [&] {
      return pays_off(base_bytes, stored, settings.compression, elem, settings.delta_max_ratio);
    });
  };

  const Bytes* retained = nullptr;
  if (base.retained) {
    auto found = base.retained->tensors.find(record.name);
    if (found != base.retained->tensors.end()) retained = &found->second;
  }
  bool probed = false;
  if (retained == nullptr) {
    std::optional<Bytes> sample = timed(Phase::SamplePrefix, [&] { return sample_prefix(base, record); });
    if (sample && sample->size() >= kMinSampleBytes) {
      if (!probe(*sample)) return std::nullopt;
      probed = true;
    }
  }

  std::optional<Bytes> read;
  ByteSpan base_bytes;
  if (retained != nullptr) {
    base_bytes = *retained;
  } else {
    TRY(read, timed(Phase::BaseDecompress, [&] { return read_base_bytes(base, record); }));
    if (!read) return std::nullopt;
    base_bytes = *read;
  }
  if (base_bytes.size() != stored.size()) return std::nullopt;
  if (!probed && !probe(base_bytes)) return std::nullopt;

  return timed(Phase::XorDelta, [&]() -> Result<std::optional<Bytes>> {
    if (buffers_equal(base_bytes, stored)) return std::nullopt;
    TRY(Bytes delta, xor_bytes(base_bytes, stored));
    return std::optional<Bytes>(std::move(delta));
  });
}

// A record the load path can follow: Full bytes, or an alias chain that
// leads to them. Anything else in a base could not be loaded without its
// own base, so nothing may point at it.
bool can_serve_as_base(const TensorEntry& record) {
  return record.storage == TensorStorage::Full || record.storage == TensorStorage::Alias;
}

// One processed tensor: its complete record (offset 0 until the pack is
// laid out) and its payload, empty unless the record is Full or DeltaXor.
struct ProcessedTensor {
  TensorEntry entry;
  Bytes payload;
};

Result<ProcessedTensor> process_tensor(const TensorData& tensor, const BaseCache* base,
                                       const SaveSettings& settings) {
  TRY(CastResult cast, cast_for_save(tensor.data, tensor.dtype,
                                     settings.save_dtype.target_for(tensor.name)));
  const ByteSpan stored = cast.bytes ? ByteSpan(*cast.bytes) : ByteSpan(tensor.data);

  ProcessedTensor out;
  TensorEntry& entry = out.entry;
  entry.name = tensor.name;
  entry.shape = tensor.shape;
  entry.dtype = std::move(cast.dtype);
  entry.original_dtype = std::move(cast.original_dtype);
  entry.quant_scale = cast.quant_scale;
  entry.raw_size = stored.size();
  entry.hash_raw = timed(Phase::RawHash, [&] { return hash_hex(stored); });

  const TensorEntry* base_record = nullptr;
  if (base != nullptr) {
    auto found = base->entries.find(tensor.name);
    if (found != base->entries.end()) base_record = &found->second;
  }
  if (base_record != nullptr && base_record->hash_raw == entry.hash_raw &&
      can_serve_as_base(*base_record)) {
    entry.storage = TensorStorage::Skipped;
    return out;
  }

  std::optional<Bytes> delta;
  if (base_record != nullptr) {
    TRY(delta, delta_against_base(*base, *base_record, stored, entry.dtype, settings));
  }
  if (delta) {
    entry.storage = TensorStorage::DeltaXor;
    const std::size_t elem = element_size(entry.dtype);
    if (elem >= 2) {
      TRY(delta, timed(Phase::Shuffle, [&] { return shuffle(*delta, elem); }));
      entry.shuffled = true;
    }
    TRY(out.payload, timed(Phase::CompressDelta, [&] { return compress(*delta, settings.compression); }));
  } else {
    entry.storage = TensorStorage::Full;
    TRY(out.payload, timed(Phase::CompressFull, [&] { return compress(stored, settings.compression); }));
  }
  entry.compressed_size = out.payload.size();
  entry.hash_compressed = hash_hex(out.payload);
  return out;
}

// The Alias records of the plan, in input order, built from their targets'
// processed records.
std::vector<TensorEntry> alias_records(const std::vector<TensorData>& tensors,
                                       const DedupPlan& plan,
                                       const std::vector<TensorEntry>& processed) {
  std::unordered_map<std::string_view, const TensorEntry*> by_name;
  for (const TensorEntry& entry : processed) by_name.emplace(entry.name, &entry);
  std::vector<TensorEntry> aliases;
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    if (!plan.alias_of[i]) continue;
    auto found = by_name.find(*plan.alias_of[i]);
    if (found == by_name.end()) continue;
    const TensorEntry& target = *found->second;
    TensorEntry alias;
    alias.name = tensors[i].name;
    alias.shape = tensors[i].shape;
    alias.dtype = target.dtype;
    alias.original_dtype = target.original_dtype;
    alias.quant_scale = target.quant_scale;
    alias.storage = TensorStorage::Alias;
    alias.alias_of = target.name;
    alias.raw_size = target.raw_size;
    alias.hash_raw = target.hash_raw;
    aliases.push_back(std::move(alias));
  }
  return aliases;
}

}  // namespace

Result<DedupPlan> dedup_plan(const std::vector<TensorData>& tensors, const DTypePolicy& policy) {
  return timed(Phase::DedupHash, [&]() -> Result<DedupPlan> {
    DedupPlan plan;
    TRY(plan.hashes, parallel_map<std::string>(tensors.size(), [&](std::size_t i) -> Result<std::string> {
      return hash_hex(tensors[i].data);
    }));
    plan.alias_of.resize(tensors.size());
    using Key = std::tuple<std::string_view, std::string_view, DType::Value>;
    std::map<Key, std::string_view> first_of;
    for (std::size_t i = 0; i < tensors.size(); ++i) {
      const TensorData& tensor = tensors[i];
      if (tensor.data.size() < kMinDedupBytes) continue;
      const Key key{plan.hashes[i], tensor.dtype, policy.target_for(tensor.name).value};
      auto [slot, inserted] = first_of.try_emplace(key, tensor.name);
      if (!inserted) plan.alias_of[i] = std::string(slot->second);
    }
    return plan;
  });
}

Result<std::vector<TensorEntry>> encode_rank(const std::vector<TensorData>& tensors,
                                             const BaseCache* base, const SaveSettings& settings,
                                             const PayloadSink& sink) {
  TRY(DedupPlan plan, dedup_plan(tensors, settings.save_dtype));
  std::vector<const TensorData*> to_process;
  to_process.reserve(tensors.size());
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    if (!plan.alias_of[i]) to_process.push_back(&tensors[i]);
  }
  TRY(std::vector<TensorEntry> records,
      parallel_map<TensorEntry>(to_process.size(), [&](std::size_t i) -> Result<TensorEntry> {
        TRY(ProcessedTensor processed, process_tensor(*to_process[i], base, settings));
        TRY_VOID(sink(i, std::move(processed.payload)));
        return std::move(processed.entry);
      }));
  std::vector<TensorEntry> aliases = alias_records(tensors, plan, records);
  records.reserve(records.size() + aliases.size());
  for (TensorEntry& alias : aliases) records.push_back(std::move(alias));
  return records;
}

Result<EncodedRank> encode_rank(const std::vector<TensorData>& tensors, const BaseCache* base,
                                const SaveSettings& settings) {
  std::mutex mutex;
  std::vector<std::pair<std::size_t, Bytes>> delivered;  // guarded by mutex
  EncodedRank rank;
  TRY(rank.records, encode_rank(tensors, base, settings, [&](std::size_t record, Bytes payload) -> Result<void> {
        std::lock_guard lock(mutex);
        delivered.emplace_back(record, std::move(payload));
        return {};
      }));
  rank.payloads.resize(rank.records.size());
  for (auto& [record, payload] : delivered) rank.payloads[record] = std::move(payload);
  return rank;
}

std::shared_ptr<const RetainedBase> retain_base(std::vector<TensorData>& tensors,
                                                const std::vector<TensorEntry>& records) {
  std::unordered_set<std::string_view> kept;
  for (const TensorEntry& record : records) {
    if (record.storage == TensorStorage::Full && !record.original_dtype) kept.insert(record.name);
  }
  auto retained = std::make_shared<RetainedBase>();
  for (TensorData& tensor : tensors) {
    if (kept.contains(tensor.name)) retained->tensors[tensor.name] = std::move(tensor.data);
  }
  return retained;
}

}  // namespace tarnwick
